#include "Aes128.h"

#include <openssl/evp.h>

#include <cstring>
#include <new>
#include <stdexcept>

namespace zan {

namespace {

bool InitContext(EVP_CIPHER_CTX* ctx, const uint8_t* key, bool encrypt)
{
    return EVP_CipherInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0) == 1 &&
           EVP_CIPHER_CTX_set_padding(ctx, 0) == 1;
}

void RunBlock(EVP_CIPHER_CTX* ctx, bool keyed, const uint8_t* in, uint8_t* out)
{
    int written = 0;
    uint8_t block[Aes128::kBlockSize];
    if (keyed && EVP_CipherUpdate(ctx, block, &written, in, Aes128::kBlockSize) == 1 &&
        written == int(Aes128::kBlockSize)) {
        std::memcpy(out, block, sizeof(block));
        return;
    }
    std::memset(out, 0, Aes128::kBlockSize);
}

}  // namespace

Aes128::~Aes128()
{
    EVP_CIPHER_CTX_free(encryptCtx);  // frees the schedule cleansed
    EVP_CIPHER_CTX_free(decryptCtx);
}

void Aes128::SetKey(std::span<const uint8_t, kKeySize> key)
{
    Wipe();
    if (encryptCtx == nullptr)
        encryptCtx = EVP_CIPHER_CTX_new();
    if (decryptCtx == nullptr)
        decryptCtx = EVP_CIPHER_CTX_new();
    if (encryptCtx == nullptr || decryptCtx == nullptr)
        throw std::bad_alloc();
    if (!InitContext(encryptCtx, key.data(), true) || !InitContext(decryptCtx, key.data(), false)) {
        Wipe();
        throw std::runtime_error("AES-128 key set-up failed");
    }
    keyed = true;
}

void Aes128::EncryptBlock(const uint8_t* in, uint8_t* out) { RunBlock(encryptCtx, keyed, in, out); }

void Aes128::DecryptBlock(const uint8_t* in, uint8_t* out) { RunBlock(decryptCtx, keyed, in, out); }

void Aes128::Wipe()
{
    // Reset frees the contexts' key schedules with their memory cleansed.
    if (encryptCtx != nullptr)
        EVP_CIPHER_CTX_reset(encryptCtx);
    if (decryptCtx != nullptr)
        EVP_CIPHER_CTX_reset(decryptCtx);
    keyed = false;
}

} // namespace zan
