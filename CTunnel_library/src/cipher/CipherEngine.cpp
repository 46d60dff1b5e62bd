#include "CipherEngine.h"

#include "Aes128.h"
#include "Blowfish.h"
#include "Cast128.h"
#include "CbcMode.h"
#include "Idea.h"
#include "Rc2.h"
#include "Rc5.h"

#include <openssl/crypto.h>

#include <cstring>
#include <span>

namespace zan {

namespace {

constexpr int32_t kMaxType = 7;

// The key text repeated to fill this many bytes; the 16-byte ciphers take
// the first 16, RC2 the first 128.
constexpr size_t kKeyBufferSize = 256;
constexpr size_t kShortKey = 16;
constexpr size_t kRc2KeyBytes = 128;
constexpr uint32_t kRc2EffectiveBits = 128;

constexpr size_t kMaxBlock = 16;

bool IsCopyType(int32_t type) { return type == 0 || type == 7; }

}  // namespace

struct CipherEngine::State {
    Idea idea;
    Aes128 aes;
    Cast128 cast;
    Blowfish blowfish;
    Rc2 rc2;
    Rc5 rc5;
    // The keyed cipher of the current type; null for the copying types and
    // when no schedule was built (empty key text).
    IBlockCipher* active = nullptr;

    IBlockCipher* const all[6] = {&idea, &aes, &cast, &blowfish, &rc2, &rc5};

    void WipeAll()
    {
        for (IBlockCipher* c : all)
            c->Wipe();
        active = nullptr;
    }

    IBlockCipher* Build(int32_t type, std::span<const uint8_t, kKeyBufferSize> key)
    {
        const auto key16 = key.first<kShortKey>();
        switch (type) {
        case 1:
            idea.SetKey(key16);
            return &idea;
        case 2:
            aes.SetKey(key16);
            return &aes;
        case 3:
            cast.SetKey(key16);
            return &cast;
        case 4:
            return blowfish.SetKey(key16) ? &blowfish : nullptr;
        case 5:
            return rc2.SetKey(key.first<kRc2KeyBytes>(), kRc2EffectiveBits) ? &rc2 : nullptr;
        case 6:
            rc5.SetKey(key16);
            return &rc5;
        default:
            return nullptr;
        }
    }
};

CipherEngine::CipherEngine() : state(new State) {}

CipherEngine::~CipherEngine() { delete state; }  // each cipher wipes its schedule

int32_t CipherEngine::SetKey(const char* keyText, int32_t type)
{
    // Negative types are refused like those above 7: neither names a cipher.
    if (keyText == nullptr || type < 0 || type > kMaxType)
        return kKeyRefused;
    this->type = type;
    // The old key's schedules go whatever happens next.
    state->WipeAll();
    if (type == 0)
        return kKeyOk;
    const size_t n = strnlen(keyText, kKeyBufferSize);
    if (n == 0)
        return kKeyEmpty;
    if (IsCopyType(type))
        return kKeyOk;

    uint8_t key[kKeyBufferSize];
    for (size_t i = 0; i < kKeyBufferSize; ++i)
        key[i] = uint8_t(keyText[i % n]);
    try {
        state->active = state->Build(type, key);
    } catch (...) {
        OPENSSL_cleanse(key, sizeof(key));
        throw;
    }
    OPENSSL_cleanse(key, sizeof(key));
    return kKeyOk;
}

void CipherEngine::Crypt(const uint8_t* in, uint8_t* out, uint32_t length, int32_t mode)
{
    if (IsCopyType(type)) {
        if (length != 0 && in != out)
            std::memmove(out, in, length);
        return;
    }
    const bool encrypt = mode == kEncrypt;
    const uint32_t rounded = CipherLength(type, length);
    const uint32_t written = encrypt ? rounded : length;
    if (state->active == nullptr) {
        // No schedule for this type (empty key text): write zeros rather than
        // anything derived from the input.
        if (written != 0)
            std::memset(out, 0, written);
        return;
    }
    // Every call starts from the same initial vector 00 01 02 ...
    uint8_t chain[kMaxBlock];
    for (size_t i = 0; i < kMaxBlock; ++i)
        chain[i] = uint8_t(i);
    if (encrypt)
        CbcEncrypt(*state->active, chain, {in, length}, {out, rounded});
    else
        CbcDecrypt(*state->active, chain, {in, rounded}, {out, length});
}

uint32_t CipherEngine::BlockSize(int32_t type)
{
    switch (type) {
    case 2:
        return Aes128::kBlockSize;
    case 1:
    case 3:
    case 4:
    case 5:
    case 6:
        return 8;
    default:
        return 1;
    }
}

uint32_t CipherEngine::CipherLength(int32_t type, uint32_t length)
{
    const uint32_t block = BlockSize(type);
    return (length + block - 1) / block * block;
}

} // namespace zan
