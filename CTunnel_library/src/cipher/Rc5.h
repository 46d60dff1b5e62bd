#pragma once

#include "IBlockCipher.h"

#include <cstdint>
#include <span>

namespace zan {

// RC5-32/12/16: 32-bit words, 12 rounds, 26 subkeys expanded from a 16-byte
// key; the block is two little-endian words.
class Rc5 final : public IBlockCipher {
public:
    static constexpr uint32_t kBlockSize = 8;
    static constexpr uint32_t kKeySize = 16;
    static constexpr uint32_t kRounds = 12;
    static constexpr uint32_t kSubkeys = 2 * kRounds + 2;

    Rc5() = default;
    ~Rc5() override;

    void SetKey(std::span<const uint8_t, kKeySize> key);

    uint32_t BlockSize() const override { return kBlockSize; }
    void EncryptBlock(const uint8_t* in, uint8_t* out) override;
    void DecryptBlock(const uint8_t* in, uint8_t* out) override;
    void Wipe() override;

private:
    uint32_t s[kSubkeys] = {};
};

} // namespace zan
