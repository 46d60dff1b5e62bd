#include "Rc2.h"

#include "CipherWords.h"
#include "Rc2Tables.h"

#include <openssl/crypto.h>

#include <bit>

namespace {

constexpr int kShift[4] = {1, 2, 3, 5};

// Rounds in order: 5 mixing, 1 mashing, 6 mixing, 1 mashing, 5 mixing.
constexpr int kMixRuns[3] = {5, 6, 5};

void Mix(uint16_t (&r)[4], const uint16_t* keys, int& j)
{
    for (int i = 0; i < 4; ++i) {
        const uint16_t a = r[(i + 3) % 4], b = r[(i + 2) % 4], c = r[(i + 1) % 4];
        r[i] = uint16_t(r[i] + keys[j++] + (a & b) + (~a & c));
        r[i] = std::rotl(r[i], kShift[i]);
    }
}

void Mash(uint16_t (&r)[4], const uint16_t* keys)
{
    for (int i = 0; i < 4; ++i)
        r[i] = uint16_t(r[i] + keys[r[(i + 3) % 4] & 63]);
}

void Unmix(uint16_t (&r)[4], const uint16_t* keys, int& j)
{
    for (int i = 3; i >= 0; --i) {
        r[i] = std::rotr(r[i], kShift[i]);
        const uint16_t a = r[(i + 3) % 4], b = r[(i + 2) % 4], c = r[(i + 1) % 4];
        r[i] = uint16_t(r[i] - keys[--j] - (a & b) - (~a & c));
    }
}

void Unmash(uint16_t (&r)[4], const uint16_t* keys)
{
    for (int i = 3; i >= 0; --i)
        r[i] = uint16_t(r[i] - keys[r[(i + 3) % 4] & 63]);
}

void Load(const uint8_t* in, uint16_t (&r)[4])
{
    for (int i = 0; i < 4; ++i)
        r[i] = CipherWords::LoadLe16(in + 2 * i);
}

void Store(const uint16_t (&r)[4], uint8_t* out)
{
    for (int i = 0; i < 4; ++i)
        CipherWords::StoreLe16(out + 2 * i, r[i]);
}

}  // namespace

Rc2::~Rc2() { Wipe(); }

bool Rc2::SetKey(std::span<const uint8_t> key, uint32_t effectiveBits)
{
    if (key.empty() || key.size() > kMaxKeySize || effectiveBits == 0 || effectiveBits > kMaxEffectiveBits)
        return false;
    uint8_t l[128];
    const size_t t = key.size();
    for (size_t i = 0; i < t; ++i)
        l[i] = key[i];
    for (size_t i = t; i < 128; ++i)
        l[i] = kRc2PiTable[uint8_t(l[i - 1] + l[i - t])];
    // Reduce the search space to the effective key length.
    const uint32_t t8 = (effectiveBits + 7) / 8;
    const uint8_t tm = uint8_t(0xFF >> (8 * t8 - effectiveBits));
    l[128 - t8] = kRc2PiTable[l[128 - t8] & tm];
    for (size_t i = 128 - t8; i-- > 0;)
        l[i] = kRc2PiTable[l[i + 1] ^ l[i + t8]];
    for (int i = 0; i < 64; ++i)
        keys[i] = CipherWords::LoadLe16(l + 2 * i);
    OPENSSL_cleanse(l, sizeof(l));
    return true;
}

void Rc2::EncryptBlock(const uint8_t* in, uint8_t* out)
{
    uint16_t r[4];
    Load(in, r);
    int j = 0;
    for (int run = 0; run < 3; ++run) {
        if (run > 0)
            Mash(r, keys);
        for (int n = 0; n < kMixRuns[run]; ++n)
            Mix(r, keys, j);
    }
    Store(r, out);
}

void Rc2::DecryptBlock(const uint8_t* in, uint8_t* out)
{
    uint16_t r[4];
    Load(in, r);
    int j = 64;
    for (int run = 2; run >= 0; --run) {
        for (int n = 0; n < kMixRuns[run]; ++n)
            Unmix(r, keys, j);
        if (run > 0)
            Unmash(r, keys);
    }
    Store(r, out);
}

void Rc2::Wipe() { OPENSSL_cleanse(keys, sizeof(keys)); }
