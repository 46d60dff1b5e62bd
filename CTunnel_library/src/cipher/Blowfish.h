#pragma once

#include "IBlockCipher.h"

#include <cstdint>
#include <span>

namespace zan {

// Blowfish: 16 Feistel rounds over a big-endian 64-bit block; the P-array and
// S-boxes start from the digits of pi and are then keyed by the standard key
// set-up (1042 encryptions of the running block).
class Blowfish final : public IBlockCipher {
public:
    static constexpr uint32_t kBlockSize = 8;
    static constexpr uint32_t kMaxKeySize = 56;

    Blowfish() = default;
    ~Blowfish() override;

    // Keys of 1 to 56 bytes; any other length is refused and leaves the
    // cipher as it was.
    [[nodiscard]] bool SetKey(std::span<const uint8_t> key);

    uint32_t BlockSize() const override { return kBlockSize; }
    void EncryptBlock(const uint8_t* in, uint8_t* out) override;
    void DecryptBlock(const uint8_t* in, uint8_t* out) override;
    void Wipe() override;

private:
    uint32_t F(uint32_t x) const;
    void Encrypt(uint32_t& left, uint32_t& right, bool reverse = false) const;
    void Block(const uint8_t* in, uint8_t* out, bool reverse) const;

    uint32_t p[18] = {};
    uint32_t s[4][256] = {};
};

} // namespace zan
