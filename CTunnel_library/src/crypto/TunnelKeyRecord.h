#pragma once

#include <array>
#include <cstdint>

namespace zan {

// One key of the authenticated packet format, or the traffic keys derived
// from one. Buffers are fixed-width and zero beyond their stored length: the
// derivation always reads 32 bytes of master key and 16 of master salt, and
// the packet cipher reads the 32 bytes that start at the traffic key.
// Key material is wiped when a record is overwritten or destroyed.
struct TunnelKeyRecord {
    static constexpr uint32_t kBufferSize = 64;
    static constexpr uint32_t kTrafficSaltSize = 14;

    TunnelKeyRecord() = default;
    TunnelKeyRecord(const TunnelKeyRecord& other) = default;
    TunnelKeyRecord& operator=(const TunnelKeyRecord& other);
    ~TunnelKeyRecord();

    // Stores id, master key and master salt, each clamped to 64 bytes; the
    // rest of every buffer is zeroed.
    void SetMaster(uint32_t keyId, const uint8_t* key, uint32_t keyLength, const uint8_t* salt,
                   uint32_t saltLength);

    // Zeroes every buffer and restores the default lengths.
    void Wipe();

    uint32_t id = 0;
    std::array<uint8_t, kBufferSize> masterKey{};
    uint32_t masterKeyLength = 32;
    std::array<uint8_t, kBufferSize> masterSalt{};
    uint32_t masterSaltLength = 14;
    std::array<uint8_t, kBufferSize> trafficKey{};
    uint32_t trafficKeyLength = 16;
    std::array<uint8_t, kBufferSize> authKey{};
    uint32_t authKeyLength = 16;
    std::array<uint8_t, kTrafficSaltSize> trafficSalt{};
    uint32_t trafficSaltLength = kTrafficSaltSize;
};

} // namespace zan
