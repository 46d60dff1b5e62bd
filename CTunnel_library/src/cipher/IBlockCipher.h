#pragma once

#include <cstdint>

namespace zan {

// One keyed block cipher as the CBC chaining sees it: a whole block in, a
// whole block out. `in` and `out` may be the same block.
class IBlockCipher {
public:
    virtual ~IBlockCipher() = default;

    virtual uint32_t BlockSize() const = 0;
    virtual void EncryptBlock(const uint8_t* in, uint8_t* out) = 0;
    virtual void DecryptBlock(const uint8_t* in, uint8_t* out) = 0;
    // Clears the key schedule (the cipher is then unkeyed).
    virtual void Wipe() = 0;
};

} // namespace zan
