#pragma once

#include "IBlockCipher.h"

#include <cstdint>
#include <span>

namespace zan {

// IDEA: 128-bit key, 64-bit block of four big-endian 16-bit words, 8 rounds
// and an output transform. Decryption runs the same rounds over the inverse
// schedule (multiplicative inverses modulo 65537, additive modulo 65536).
class Idea final : public IBlockCipher {
public:
    static constexpr uint32_t kBlockSize = 8;
    static constexpr uint32_t kKeySize = 16;
    static constexpr uint32_t kSubkeys = 52;

    Idea() = default;
    ~Idea() override;

    void SetKey(std::span<const uint8_t, kKeySize> key);

    uint32_t BlockSize() const override { return kBlockSize; }
    void EncryptBlock(const uint8_t* in, uint8_t* out) override;
    void DecryptBlock(const uint8_t* in, uint8_t* out) override;
    void Wipe() override;

private:
    uint16_t encryptKeys[kSubkeys] = {};
    uint16_t decryptKeys[kSubkeys] = {};
};

} // namespace zan
