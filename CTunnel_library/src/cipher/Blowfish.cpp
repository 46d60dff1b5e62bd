#include "Blowfish.h"

#include "BlowfishTables.h"
#include "CipherWords.h"

#include <openssl/crypto.h>

#include <cstring>
#include <utility>

namespace zan {

Blowfish::~Blowfish() { Wipe(); }

bool Blowfish::SetKey(std::span<const uint8_t> key)
{
    if (key.empty() || key.size() > kMaxKeySize)
        return false;
    std::memcpy(p, kBlowfishInitP, sizeof(p));
    std::memcpy(s, kBlowfishInitS, sizeof(s));
    // XOR the key, cycled as big-endian words, into the P-array.
    size_t k = 0;
    for (uint32_t& word : p) {
        uint32_t keyWord = 0;
        for (int i = 0; i < 4; ++i, k = (k + 1) % key.size())
            keyWord = keyWord << 8 | key[k];
        word ^= keyWord;
    }
    // Replace the P-array and then the S-boxes, two words at a time, with the
    // running encryption of an all-zero block.
    uint32_t left = 0;
    uint32_t right = 0;
    auto refill = [&](uint32_t* words, size_t count) {
        for (size_t i = 0; i < count; i += 2) {
            Encrypt(left, right);
            words[i] = left;
            words[i + 1] = right;
        }
    };
    refill(p, 18);
    for (auto& box : s)
        refill(box, 256);
    return true;
}

uint32_t Blowfish::F(uint32_t x) const
{
    return ((s[0][x >> 24] + s[1][(x >> 16) & 0xFF]) ^ s[2][(x >> 8) & 0xFF]) + s[3][x & 0xFF];
}

void Blowfish::Encrypt(uint32_t& left, uint32_t& right, bool reverse) const
{
    // Decryption is the same network with the P-array taken backwards.
    auto key = [&](int i) { return p[reverse ? 17 - i : i]; };
    for (int i = 0; i < 16; ++i) {
        left ^= key(i);
        right ^= F(left);
        std::swap(left, right);
    }
    std::swap(left, right);
    right ^= key(16);
    left ^= key(17);
}

void Blowfish::Block(const uint8_t* in, uint8_t* out, bool reverse) const
{
    using namespace CipherWords;
    uint32_t left = LoadBe32(in);
    uint32_t right = LoadBe32(in + 4);
    Encrypt(left, right, reverse);
    StoreBe32(out, left);
    StoreBe32(out + 4, right);
}

void Blowfish::EncryptBlock(const uint8_t* in, uint8_t* out) { Block(in, out, false); }

void Blowfish::DecryptBlock(const uint8_t* in, uint8_t* out) { Block(in, out, true); }

void Blowfish::Wipe()
{
    OPENSSL_cleanse(p, sizeof(p));
    OPENSSL_cleanse(s, sizeof(s));
}

} // namespace zan
