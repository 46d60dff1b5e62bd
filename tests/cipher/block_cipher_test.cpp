// Each block cipher against the published known-answer vectors, in both
// directions, plus the key-size rules of the variable-key ciphers.

#include "Aes128.h"
#include "Blowfish.h"
#include "Cast128.h"
#include "Idea.h"
#include "Rc2.h"
#include "Rc5.h"
#include "cipher_test_vectors.h"
#include "hex.h"

#include <gtest/gtest.h>

#include <span>
#include <type_traits>

namespace zan {

namespace {

// Encrypts and decrypts one vector with a cipher already keyed by the caller.
void CheckBlock(IBlockCipher& cipher, const char* plainHex, const char* cipherHex)
{
    const auto plain = FromHex(plainHex);
    const auto expected = FromHex(cipherHex);
    ASSERT_EQ(plain.size(), cipher.BlockSize());
    uint8_t out[16] = {};
    cipher.EncryptBlock(plain.data(), out);
    EXPECT_EQ(ToHex(out, plain.size()), cipherHex);
    cipher.DecryptBlock(expected.data(), out);
    EXPECT_EQ(ToHex(out, plain.size()), plainHex);
    // In place, as the CBC chaining uses it.
    std::copy(plain.begin(), plain.end(), out);
    cipher.EncryptBlock(out, out);
    EXPECT_EQ(ToHex(out, plain.size()), cipherHex);
}

// Keys a fresh cipher with each vector's key and checks its block.
template <class Cipher, class Vector, size_t N>
void CheckVectors(const Vector (&vectors)[N])
{
    for (const Vector& v : vectors) {
        SCOPED_TRACE(v.key);
        Cipher cipher;
        const auto key = FromHex(v.key);
        if constexpr (std::is_same_v<Vector, Rc2Vector>) {
            ASSERT_TRUE(cipher.SetKey(key, v.effectiveBits));
        } else if constexpr (std::is_same_v<Cipher, Blowfish>) {
            ASSERT_TRUE(cipher.SetKey(key));
        } else {
            ASSERT_EQ(key.size(), Cipher::kKeySize);
            cipher.SetKey(std::span<const uint8_t, Cipher::kKeySize>(key.data(), Cipher::kKeySize));
        }
        CheckBlock(cipher, v.plain, v.cipher);
    }
}

// Rekeying each cipher is checked through the cipher engine, which keeps one
// object per cipher and keys it again.
TEST(BlockCipherVectors, PublishedVectorsOfEveryCipher)
{
    CheckVectors<Idea>(kIdeaVectors);
    CheckVectors<Aes128>(kAesVectors);
    CheckVectors<Cast128>(kCast128Vectors);
    CheckVectors<Rc5>(kRc5Vectors);
    CheckVectors<Blowfish>(kBlowfishVectors);
    CheckVectors<Rc2>(kRc2Vectors);
}

TEST(BlockCipherKeys, VariableKeyCiphersRefuseBadSizesAndKeepTheirKey)
{
    const std::vector<uint8_t> tooLong(Blowfish::kMaxKeySize + 1, 0x11);
    Blowfish blowfish;
    ASSERT_TRUE(blowfish.SetKey(FromHex(kBlowfishVectors[1].key)));
    EXPECT_FALSE(blowfish.SetKey({}));
    EXPECT_FALSE(blowfish.SetKey(tooLong));
    EXPECT_TRUE(blowfish.SetKey(std::span(tooLong).first(Blowfish::kMaxKeySize)));
    ASSERT_TRUE(blowfish.SetKey(FromHex(kBlowfishVectors[1].key)));
    EXPECT_FALSE(blowfish.SetKey(tooLong));
    CheckBlock(blowfish, kBlowfishVectors[1].plain, kBlowfishVectors[1].cipher);

    const Rc2Vector& v = kRc2Vectors[4];
    Rc2 rc2;
    ASSERT_TRUE(rc2.SetKey(FromHex(v.key), v.effectiveBits));
    const std::vector<uint8_t> rc2TooLong(Rc2::kMaxKeySize + 1, 0x22);
    EXPECT_FALSE(rc2.SetKey({}, 64));
    EXPECT_FALSE(rc2.SetKey(rc2TooLong, 64));
    EXPECT_FALSE(rc2.SetKey(FromHex("88"), 0));
    EXPECT_FALSE(rc2.SetKey(FromHex("88"), Rc2::kMaxEffectiveBits + 1));
    CheckBlock(rc2, v.plain, v.cipher);
    // The largest key with the largest effective length is accepted.
    EXPECT_TRUE(rc2.SetKey(std::span(rc2TooLong).first(Rc2::kMaxKeySize), Rc2::kMaxEffectiveBits));
}

}  // namespace

} // namespace zan
