#include "Rc5.h"

#include "CipherWords.h"

#include <openssl/crypto.h>

#include <bit>

namespace zan {

namespace {

// The magic constants for 32-bit words: Odd((e - 2) * 2^32) and
// Odd((phi - 1) * 2^32).
constexpr uint32_t kP32 = 0xB7E15163;
constexpr uint32_t kQ32 = 0x9E3779B9;

// Rotation by the low five bits of `by`, as RC5 defines it.
uint32_t Rotl(uint32_t x, uint32_t by) { return std::rotl(x, int(by & 31)); }
uint32_t Rotr(uint32_t x, uint32_t by) { return std::rotr(x, int(by & 31)); }

}  // namespace

Rc5::~Rc5() { Wipe(); }

void Rc5::SetKey(std::span<const uint8_t, kKeySize> key)
{
    constexpr uint32_t kKeyWords = kKeySize / 4;
    uint32_t l[kKeyWords];
    for (uint32_t i = 0; i < kKeyWords; ++i)
        l[i] = CipherWords::LoadLe32(key.data() + 4 * i);
    s[0] = kP32;
    for (uint32_t i = 1; i < kSubkeys; ++i)
        s[i] = s[i - 1] + kQ32;
    // Mix the key into the table: three passes over the longer of the two.
    uint32_t a = 0, b = 0;
    for (uint32_t n = 0, i = 0, j = 0; n < 3 * kSubkeys; ++n, i = (i + 1) % kSubkeys, j = (j + 1) % kKeyWords) {
        a = s[i] = Rotl(s[i] + a + b, 3);
        b = l[j] = Rotl(l[j] + a + b, a + b);
    }
    OPENSSL_cleanse(l, sizeof(l));
}

void Rc5::EncryptBlock(const uint8_t* in, uint8_t* out)
{
    using namespace CipherWords;
    uint32_t a = LoadLe32(in) + s[0];
    uint32_t b = LoadLe32(in + 4) + s[1];
    for (uint32_t r = 1; r <= kRounds; ++r) {
        a = Rotl(a ^ b, b) + s[2 * r];
        b = Rotl(b ^ a, a) + s[2 * r + 1];
    }
    StoreLe32(out, a);
    StoreLe32(out + 4, b);
}

void Rc5::DecryptBlock(const uint8_t* in, uint8_t* out)
{
    using namespace CipherWords;
    uint32_t a = LoadLe32(in);
    uint32_t b = LoadLe32(in + 4);
    for (uint32_t r = kRounds; r >= 1; --r) {
        b = Rotr(b - s[2 * r + 1], a) ^ a;
        a = Rotr(a - s[2 * r], b) ^ b;
    }
    StoreLe32(out, a - s[0]);
    StoreLe32(out + 4, b - s[1]);
}

void Rc5::Wipe() { OPENSSL_cleanse(s, sizeof(s)); }

} // namespace zan
