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

template <size_t N>
std::span<const uint8_t, N> Fixed(const std::vector<uint8_t>& key)
{
    EXPECT_EQ(key.size(), N);
    return std::span<const uint8_t, N>(key.data(), N);
}

template <class Cipher, size_t N>
void CheckFixedKeyVectors(const BlockVector (&vectors)[N])
{
    for (const BlockVector& v : vectors) {
        SCOPED_TRACE(v.key);
        Cipher cipher;
        const auto key = FromHex(v.key);
        cipher.SetKey(Fixed<Cipher::kKeySize>(key));
        CheckBlock(cipher, v.plain, v.cipher);
    }
}

TEST(BlockCipherVectors, FixedKeyCiphers)
{
    CheckFixedKeyVectors<Idea>(kIdeaVectors);
    CheckFixedKeyVectors<Aes128>(kAesVectors);
    CheckFixedKeyVectors<Cast128>(kCast128Vectors);
    CheckFixedKeyVectors<Rc5>(kRc5Vectors);
}

TEST(BlockCipherVectors, Blowfish)
{
    for (const BlockVector& v : kBlowfishVectors) {
        SCOPED_TRACE(v.key);
        Blowfish cipher;
        ASSERT_TRUE(cipher.SetKey(FromHex(v.key)));
        CheckBlock(cipher, v.plain, v.cipher);
    }
}

TEST(BlockCipherVectors, Rc2)
{
    for (const Rc2Vector& v : kRc2Vectors) {
        SCOPED_TRACE(testing::Message() << v.key << " / " << v.effectiveBits);
        Rc2 cipher;
        ASSERT_TRUE(cipher.SetKey(FromHex(v.key), v.effectiveBits));
        CheckBlock(cipher, v.plain, v.cipher);
    }
}

// Rekeying replaces the whole schedule: a cipher keyed twice behaves like
// one keyed once with the second key (Blowfish starts again from pi).
TEST(BlockCipherVectors, RekeyingReplacesTheSchedule)
{
    Blowfish blowfish;
    ASSERT_TRUE(blowfish.SetKey(FromHex("0123456789abcdef")));
    ASSERT_TRUE(blowfish.SetKey(FromHex(kBlowfishVectors[0].key)));
    CheckBlock(blowfish, kBlowfishVectors[0].plain, kBlowfishVectors[0].cipher);

    Aes128 aes;
    const auto other = FromHex(kAesVectors[0].key);
    const auto key = FromHex(kAesVectors[1].key);
    aes.SetKey(Fixed<16>(other));
    aes.SetKey(Fixed<16>(key));
    CheckBlock(aes, kAesVectors[1].plain, kAesVectors[1].cipher);
}

TEST(BlockCipherKeys, VariableKeyCiphersRefuseBadSizesAndKeepTheirKey)
{
    const std::vector<uint8_t> tooLong(Blowfish::kMaxKeySize + 1, 0x11);
    Blowfish blowfish;
    ASSERT_TRUE(blowfish.SetKey(FromHex(kBlowfishVectors[3].key)));
    EXPECT_FALSE(blowfish.SetKey({}));
    EXPECT_FALSE(blowfish.SetKey(tooLong));
    EXPECT_TRUE(blowfish.SetKey(std::span(tooLong).first(Blowfish::kMaxKeySize)));
    ASSERT_TRUE(blowfish.SetKey(FromHex(kBlowfishVectors[3].key)));
    EXPECT_FALSE(blowfish.SetKey(tooLong));
    CheckBlock(blowfish, kBlowfishVectors[3].plain, kBlowfishVectors[3].cipher);

    const Rc2Vector& v = kRc2Vectors[6];
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
