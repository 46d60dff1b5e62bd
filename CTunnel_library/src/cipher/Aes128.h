#pragma once

#include "IBlockCipher.h"

#include <openssl/types.h>

#include <cstdint>
#include <span>

namespace zan {

// AES with a 128-bit key as a bare block function, on OpenSSL's AES-128 in
// ECB mode without padding (the chaining is ours, CbcMode). One encryption
// and one decryption context are kept and reused for every block.
class Aes128 final : public IBlockCipher {
public:
    static constexpr uint32_t kBlockSize = 16;
    static constexpr uint32_t kKeySize = 16;

    Aes128() = default;
    ~Aes128() override;

    Aes128(const Aes128&) = delete;
    Aes128& operator=(const Aes128&) = delete;

    // Throws std::bad_alloc when a context cannot be had and
    // std::runtime_error when OpenSSL refuses the key; the cipher is then
    // unkeyed.
    void SetKey(std::span<const uint8_t, kKeySize> key);

    uint32_t BlockSize() const override { return kBlockSize; }
    // An unkeyed cipher (or a failing OpenSSL call) yields a zero block.
    void EncryptBlock(const uint8_t* in, uint8_t* out) override;
    void DecryptBlock(const uint8_t* in, uint8_t* out) override;
    void Wipe() override;

private:
    EVP_CIPHER_CTX* encryptCtx = nullptr;
    EVP_CIPHER_CTX* decryptCtx = nullptr;
    bool keyed = false;
};

} // namespace zan
