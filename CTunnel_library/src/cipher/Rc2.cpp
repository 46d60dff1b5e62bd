#include "Rc2.h"

#include "CipherWords.h"
#include "Rc2Tables.h"

#include <openssl/crypto.h>

#include <bit>

namespace zan {

namespace {

// Rounds in order: 5 mixing, 1 mashing, 6 mixing, 1 mashing, 5 mixing.
constexpr int kMixRuns[3] = {5, 6, 5};

// One word of a mixing round: r0 is the word mixed, r1..r3 the words before
// it (R[i-1], R[i-2], R[i-3]).
template <int Shift>
void MixWord(uint16_t& r0, uint16_t r1, uint16_t r2, uint16_t r3, uint16_t key)
{
    r0 = std::rotl(uint16_t(r0 + key + (r1 & r2) + (~r1 & r3)), Shift);
}

template <int Shift>
void UnmixWord(uint16_t& r0, uint16_t r1, uint16_t r2, uint16_t r3, uint16_t key)
{
    r0 = uint16_t(std::rotr(r0, Shift) - key - (r1 & r2) - (~r1 & r3));
}

void Mix(uint16_t (&r)[4], const uint16_t* keys, int& j)
{
    MixWord<1>(r[0], r[3], r[2], r[1], keys[j]);
    MixWord<2>(r[1], r[0], r[3], r[2], keys[j + 1]);
    MixWord<3>(r[2], r[1], r[0], r[3], keys[j + 2]);
    MixWord<5>(r[3], r[2], r[1], r[0], keys[j + 3]);
    j += 4;
}

void Mash(uint16_t (&r)[4], const uint16_t* keys)
{
    for (int i = 0; i < 4; ++i)
        r[i] = uint16_t(r[i] + keys[r[(i + 3) % 4] & 63]);
}

void Unmix(uint16_t (&r)[4], const uint16_t* keys, int& j)
{
    j -= 4;
    UnmixWord<5>(r[3], r[2], r[1], r[0], keys[j + 3]);
    UnmixWord<3>(r[2], r[1], r[0], r[3], keys[j + 2]);
    UnmixWord<2>(r[1], r[0], r[3], r[2], keys[j + 1]);
    UnmixWord<1>(r[0], r[3], r[2], r[1], keys[j]);
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

} // namespace zan
