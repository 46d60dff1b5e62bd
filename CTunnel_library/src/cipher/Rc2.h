#pragma once

#include "IBlockCipher.h"

#include <cstdint>
#include <span>

namespace zan {

// RC2: 64 16-bit subkeys expanded from a key of 1 to 128 bytes with an
// effective key length in bits; 16 mixing and 2 mashing rounds over a block
// of four little-endian 16-bit words.
class Rc2 final : public IBlockCipher {
public:
    static constexpr uint32_t kBlockSize = 8;
    static constexpr uint32_t kMaxKeySize = 128;
    static constexpr uint32_t kMaxEffectiveBits = 1024;

    Rc2() = default;
    ~Rc2() override;

    // Refuses (and leaves the cipher as it was) an empty or longer key and an
    // effective length outside 1..1024 bits.
    [[nodiscard]] bool SetKey(std::span<const uint8_t> key, uint32_t effectiveBits);

    uint32_t BlockSize() const override { return kBlockSize; }
    void EncryptBlock(const uint8_t* in, uint8_t* out) override;
    void DecryptBlock(const uint8_t* in, uint8_t* out) override;
    void Wipe() override;

private:
    uint16_t keys[64] = {};
};

} // namespace zan
