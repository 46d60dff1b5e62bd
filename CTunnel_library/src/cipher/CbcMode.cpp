#include "CbcMode.h"

#include <algorithm>
#include <cassert>
#include <cstring>

namespace zan {

namespace {

constexpr uint32_t kMaxBlock = 16;

}  // namespace

void CbcEncrypt(IBlockCipher& cipher, std::span<uint8_t> chain, std::span<const uint8_t> in,
                std::span<uint8_t> out)
{
    const size_t block = cipher.BlockSize();
    assert(block <= kMaxBlock && chain.size() >= block);
    assert(out.size() >= (in.size() + block - 1) / block * block);
    for (size_t pos = 0; pos < in.size(); pos += block) {
        // A short final block is padded with zeros: the chain bytes past its
        // end go into the cipher unchanged.
        const size_t take = std::min(block, in.size() - pos);
        for (size_t i = 0; i < take; ++i)
            chain[i] ^= in[pos + i];
        cipher.EncryptBlock(chain.data(), chain.data());
        std::memcpy(out.data() + pos, chain.data(), block);
    }
}

void CbcDecrypt(IBlockCipher& cipher, std::span<uint8_t> chain, std::span<const uint8_t> in,
                std::span<uint8_t> out)
{
    const size_t block = cipher.BlockSize();
    assert(block <= kMaxBlock && chain.size() >= block);
    assert(in.size() >= (out.size() + block - 1) / block * block);
    uint8_t sealed[kMaxBlock];
    uint8_t plain[kMaxBlock];
    for (size_t pos = 0; pos < out.size(); pos += block) {
        const size_t give = std::min(block, out.size() - pos);
        // Keep the ciphertext block for the chain before `out` (which may be
        // `in` itself) is written.
        std::memcpy(sealed, in.data() + pos, block);
        cipher.DecryptBlock(sealed, plain);
        for (size_t i = 0; i < give; ++i)
            out[pos + i] = plain[i] ^ chain[i];
        std::memcpy(chain.data(), sealed, block);
    }
}

} // namespace zan
