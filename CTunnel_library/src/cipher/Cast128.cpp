#include "Cast128.h"

#include "Cast128Tables.h"
#include "CipherWords.h"

#include <openssl/crypto.h>

#include <bit>

namespace zan {

namespace {

const auto& S = kCast128SBox;  // S[0] is S1, ..., S[7] is S8

// One 4-byte group of the schedule's working text: dst word = src word ^
// S5[a] ^ S6[b] ^ S7[c] ^ S8[d] ^ S<extraBox>[extra]. The first group of each
// pass looks its bytes a..d up in the source text, the later groups in the
// destination text as written so far; `extra` always indexes the source.
struct MixLine {
    uint8_t dstWord, srcWord;
    uint8_t a, b, c, d;
    uint8_t extraBox, extra;
};

// z = f(x): the z0..zF lines.
constexpr MixLine kXToZ[4] = {
    {0, 0, 0xD, 0xF, 0xC, 0xE, 6, 0x8},
    {1, 2, 0x0, 0x2, 0x1, 0x3, 7, 0xA},
    {2, 3, 0x7, 0x6, 0x5, 0x4, 4, 0x9},
    {3, 1, 0xA, 0x9, 0xB, 0x8, 5, 0xB},
};
// x = f(z): the x0..xF lines.
constexpr MixLine kZToX[4] = {
    {0, 2, 0x5, 0x7, 0x4, 0x6, 6, 0x0},
    {1, 0, 0x0, 0x2, 0x1, 0x3, 7, 0x2},
    {2, 1, 0x7, 0x6, 0x5, 0x4, 4, 0x1},
    {3, 3, 0xA, 0x9, 0xB, 0x8, 5, 0x3},
};

// Subkey i of a group of four: S5[a] ^ S6[b] ^ S7[c] ^ S8[d] ^ S<5+i>[e],
// all bytes of the text just mixed (z for groups 0 and 2, x for 1 and 3).
constexpr uint8_t kKeyBytes[4][4][5] = {
    {{0x8, 0x9, 0x7, 0x6, 0x2}, {0xA, 0xB, 0x5, 0x4, 0x6}, {0xC, 0xD, 0x3, 0x2, 0x9}, {0xE, 0xF, 0x1, 0x0, 0xC}},
    {{0x3, 0x2, 0xC, 0xD, 0x8}, {0x1, 0x0, 0xE, 0xF, 0xD}, {0x7, 0x6, 0x8, 0x9, 0x3}, {0x5, 0x4, 0xA, 0xB, 0x7}},
    {{0x3, 0x2, 0xC, 0xD, 0x9}, {0x1, 0x0, 0xE, 0xF, 0xC}, {0x7, 0x6, 0x8, 0x9, 0x2}, {0x5, 0x4, 0xA, 0xB, 0x6}},
    {{0x8, 0x9, 0x7, 0x6, 0x3}, {0xA, 0xB, 0x5, 0x4, 0x7}, {0xC, 0xD, 0x3, 0x2, 0x8}, {0xE, 0xF, 0x1, 0x0, 0xD}},
};

void Mix(const MixLine (&lines)[4], const uint8_t* src, uint8_t* dst)
{
    using namespace CipherWords;
    for (const MixLine& l : lines) {
        const uint8_t* look = &l == &lines[0] ? src : dst;
        const uint32_t word = LoadBe32(src + 4 * l.srcWord) ^ S[4][look[l.a]] ^ S[5][look[l.b]] ^
                              S[6][look[l.c]] ^ S[7][look[l.d]] ^ S[l.extraBox][src[l.extra]];
        StoreBe32(dst + 4 * l.dstWord, word);
    }
}

// 32 schedule words: the first 16 mask the rounds, the low five bits of the
// last 16 rotate them.
void Schedule(std::span<const uint8_t, Cast128::kKeySize> key, uint32_t (&words)[32])
{
    uint8_t x[16];
    uint8_t z[16];
    for (uint32_t i = 0; i < 16; ++i)
        x[i] = key[i];
    for (uint32_t group = 0; group < 8; ++group) {
        const bool fromX = group % 2 == 0;
        if (fromX)
            Mix(kXToZ, x, z);
        else
            Mix(kZToX, z, x);
        const uint8_t* t = fromX ? z : x;
        for (uint32_t i = 0; i < 4; ++i) {
            const uint8_t* k = kKeyBytes[group % 4][i];
            words[4 * group + i] =
                S[4][t[k[0]]] ^ S[5][t[k[1]]] ^ S[6][t[k[2]]] ^ S[7][t[k[3]]] ^ S[4 + i][t[k[4]]];
        }
    }
    OPENSSL_cleanse(x, sizeof(x));
    OPENSSL_cleanse(z, sizeof(z));
}

// The three round functions, chosen by round number modulo 3.
uint32_t Round(uint32_t round, uint32_t data, uint32_t mask, uint8_t rotate)
{
    uint32_t i;
    switch (round % 3) {
    case 0:
        i = std::rotl(mask + data, rotate);
        return ((S[0][i >> 24] ^ S[1][(i >> 16) & 0xFF]) - S[2][(i >> 8) & 0xFF]) + S[3][i & 0xFF];
    case 1:
        i = std::rotl(mask ^ data, rotate);
        return ((S[0][i >> 24] - S[1][(i >> 16) & 0xFF]) + S[2][(i >> 8) & 0xFF]) ^ S[3][i & 0xFF];
    default:
        i = std::rotl(mask - data, rotate);
        return ((S[0][i >> 24] + S[1][(i >> 16) & 0xFF]) ^ S[2][(i >> 8) & 0xFF]) - S[3][i & 0xFF];
    }
}

}  // namespace

Cast128::~Cast128() { Wipe(); }

void Cast128::SetKey(std::span<const uint8_t, kKeySize> key)
{
    uint32_t words[32];
    Schedule(key, words);
    for (uint32_t r = 0; r < kRounds; ++r) {
        maskKeys[r] = words[r];
        rotateKeys[r] = uint8_t(words[16 + r] & 31);
    }
    OPENSSL_cleanse(words, sizeof(words));
}

void Cast128::Block(const uint8_t* in, uint8_t* out, bool reverse) const
{
    // Decryption is the same network with the subkeys taken backwards.
    using namespace CipherWords;
    uint32_t left = LoadBe32(in);
    uint32_t right = LoadBe32(in + 4);
    for (uint32_t i = 0; i < kRounds; ++i) {
        const uint32_t r = reverse ? kRounds - 1 - i : i;
        const uint32_t next = left ^ Round(r, right, maskKeys[r], rotateKeys[r]);
        left = right;
        right = next;
    }
    StoreBe32(out, right);
    StoreBe32(out + 4, left);
}

void Cast128::EncryptBlock(const uint8_t* in, uint8_t* out) { Block(in, out, false); }

void Cast128::DecryptBlock(const uint8_t* in, uint8_t* out) { Block(in, out, true); }

void Cast128::Wipe()
{
    OPENSSL_cleanse(maskKeys, sizeof(maskKeys));
    OPENSSL_cleanse(rotateKeys, sizeof(rotateKeys));
}

} // namespace zan
