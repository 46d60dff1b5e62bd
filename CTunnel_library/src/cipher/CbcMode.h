#pragma once

#include "IBlockCipher.h"

#include <cstdint>
#include <span>

namespace zan {

// Cipher-block chaining over any IBlockCipher, with the legacy format's
// handling of a final partial block. `chain` holds the initial vector on entry
// (BlockSize() bytes) and the last ciphertext block on return. Both work in
// place as well (`out` the same memory as `in`).

// Encrypts in.size() bytes. A final partial block is zero-padded and written
// whole, so `out` must hold in.size() rounded up to the block size.
void CbcEncrypt(IBlockCipher& cipher, std::span<uint8_t> chain, std::span<const uint8_t> in,
                std::span<uint8_t> out);

// Decrypts out.size() bytes. At a final partial position a whole block is
// read from `in` (which must hold out.size() rounded up to the block size)
// and only the bytes that fit are written.
void CbcDecrypt(IBlockCipher& cipher, std::span<uint8_t> chain, std::span<const uint8_t> in,
                std::span<uint8_t> out);

} // namespace zan
