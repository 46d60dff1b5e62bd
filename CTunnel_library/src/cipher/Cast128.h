#pragma once

#include "IBlockCipher.h"

#include <cstdint>
#include <span>

namespace zan {

// CAST-128 with a 128-bit key: 16 rounds of the three round-function types
// over a big-endian 64-bit block, masking and rotation subkeys from the key
// schedule's S-boxes S5..S8.
class Cast128 final : public IBlockCipher {
public:
    static constexpr uint32_t kBlockSize = 8;
    static constexpr uint32_t kKeySize = 16;
    static constexpr uint32_t kRounds = 16;

    Cast128() = default;
    ~Cast128() override;

    void SetKey(std::span<const uint8_t, kKeySize> key);

    uint32_t BlockSize() const override { return kBlockSize; }
    void EncryptBlock(const uint8_t* in, uint8_t* out) override;
    void DecryptBlock(const uint8_t* in, uint8_t* out) override;
    void Wipe() override;

private:
    void Block(const uint8_t* in, uint8_t* out, bool reverse) const;

    uint32_t maskKeys[kRounds] = {};
    uint8_t rotateKeys[kRounds] = {};
};

} // namespace zan
