#pragma once

#include "PacketEndpoint.h"

#include <cstdint>

namespace zan {

// The engine's in-memory datagram: a grow-only, 32-byte aligned block with
// its valid length, its end point and the kind byte of the tunnel header
// (2 = data, the value of every datagram the module queues or delivers).
class TunnelPacket {
public:
    static constexpr uint8_t kDataKind = 2;

    TunnelPacket() = default;
    TunnelPacket(const TunnelPacket& other);
    TunnelPacket& operator=(const TunnelPacket& other);
    virtual ~TunnelPacket();

    // Fills the packet from raw bytes; `endpoint.text` is not copied. The
    // block is replaced only when `length` exceeds the capacity. Throws
    // std::bad_alloc, or std::invalid_argument for null bytes with a
    // non-zero length, and leaves the packet unchanged then.
    void Assign(const void* bytes, uint32_t length, const PacketEndpoint& from, uint8_t kind);

    // Makes the block at least `size` bytes; the contents are kept only when
    // no new block is needed. Throws std::bad_alloc, leaving the packet as is.
    void Reserve(uint32_t size);

    uint8_t* data = nullptr;
    uint32_t capacity = 0;
    uint32_t length = 0;
    PacketEndpoint endpoint;
    uint8_t kind = kDataKind;

private:
    // Replaces the block with one of exactly `size` bytes.
    void ReplaceBlock(uint32_t size);
};

} // namespace zan
