#include "Idea.h"

#include "CipherWords.h"

#include <openssl/crypto.h>

namespace zan {

namespace {

// Multiplication modulo 65537, where the word 0 stands for 65536.
uint16_t Mul(uint16_t a, uint16_t b)
{
    if (a == 0)
        return uint16_t(1 - b);
    if (b == 0)
        return uint16_t(1 - a);
    const uint32_t product = uint32_t(a) * uint32_t(b);
    const uint32_t lo = product & 0xFFFF;
    const uint32_t hi = product >> 16;
    // 2^16 = -1 (mod 65537), so hi * 2^16 + lo = lo - hi.
    return uint16_t(lo - hi + (lo < hi ? 1 : 0));
}

// Multiplicative inverse modulo 65537 (0, standing for 65536 = -1, is its
// own inverse), by Fermat: x^(65537-2).
uint16_t MulInverse(uint16_t x)
{
    uint16_t result = 1;
    uint16_t base = x;
    for (uint32_t e = 65535; e != 0; e >>= 1) {
        if (e & 1)
            result = Mul(result, base);
        base = Mul(base, base);
    }
    return result;
}

uint16_t AddInverse(uint16_t x) { return uint16_t(0 - x); }

// The 16 key bits starting at bit `pos` (most significant bit first) of the
// 128-bit key read as a ring: subkey k is taken at 16*(k mod 8) after the key
// was rotated left by 25 bits k/8 times.
uint16_t KeyBits(std::span<const uint8_t, Idea::kKeySize> key, uint32_t pos)
{
    uint16_t word = 0;
    for (uint32_t i = 0; i < 16; ++i) {
        const uint32_t bit = (pos + i) % 128;
        word = uint16_t(word << 1 | ((key[bit / 8] >> (7 - bit % 8)) & 1));
    }
    return word;
}

void Transform(const uint16_t* keys, const uint8_t* in, uint8_t* out)
{
    using namespace CipherWords;
    uint16_t x1 = LoadBe16(in), x2 = LoadBe16(in + 2), x3 = LoadBe16(in + 4), x4 = LoadBe16(in + 6);
    for (int round = 0; round < 8; ++round, keys += 6) {
        x1 = Mul(x1, keys[0]);
        x2 = uint16_t(x2 + keys[1]);
        x3 = uint16_t(x3 + keys[2]);
        x4 = Mul(x4, keys[3]);
        // Multiply-add structure over the XORs of the two halves.
        const uint16_t t0 = Mul(uint16_t(x1 ^ x3), keys[4]);
        const uint16_t t1 = Mul(uint16_t(t0 + (x2 ^ x4)), keys[5]);
        const uint16_t t2 = uint16_t(t0 + t1);
        x1 ^= t1;
        x4 ^= t2;
        const uint16_t swapped = uint16_t(x2 ^ t2);
        x2 = uint16_t(x3 ^ t1);
        x3 = swapped;
    }
    // The output transform undoes the last round's swap of x2 and x3.
    StoreBe16(out, Mul(x1, keys[0]));
    StoreBe16(out + 2, uint16_t(x3 + keys[1]));
    StoreBe16(out + 4, uint16_t(x2 + keys[2]));
    StoreBe16(out + 6, Mul(x4, keys[3]));
}

}  // namespace

Idea::~Idea() { Wipe(); }

void Idea::SetKey(std::span<const uint8_t, kKeySize> key)
{
    for (uint32_t k = 0; k < kSubkeys; ++k)
        encryptKeys[k] = KeyBits(key, 25 * (k / 8) + 16 * (k % 8));

    // Decryption round r undoes encryption round 7-r: the inverses of the
    // following input (or output) transform, with the additive keys swapped
    // except at both ends, then the multiply-add keys of round 7-r.
    const uint16_t* e = encryptKeys;
    for (uint32_t r = 0; r <= 8; ++r) {
        const uint32_t src = 6 * (8 - r);
        const bool outer = r == 0 || r == 8;
        uint16_t* d = decryptKeys + 6 * r;
        d[0] = MulInverse(e[src]);
        d[1] = AddInverse(e[src + (outer ? 1 : 2)]);
        d[2] = AddInverse(e[src + (outer ? 2 : 1)]);
        d[3] = MulInverse(e[src + 3]);
        if (r < 8) {
            d[4] = e[src - 2];
            d[5] = e[src - 1];
        }
    }
}

void Idea::EncryptBlock(const uint8_t* in, uint8_t* out) { Transform(encryptKeys, in, out); }

void Idea::DecryptBlock(const uint8_t* in, uint8_t* out) { Transform(decryptKeys, in, out); }

void Idea::Wipe()
{
    OPENSSL_cleanse(encryptKeys, sizeof(encryptKeys));
    OPENSSL_cleanse(decryptKeys, sizeof(decryptKeys));
}

} // namespace zan
