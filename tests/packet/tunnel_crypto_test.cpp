// Key handling of the authenticated format: primitives against public
// vectors, the key schedule against the reference, the counter's start,
// AddKey, rekey epochs, key switches and the receive-side key choice.

#include "TrafficCipher.h"
#include "TunnelCrypto.h"

#include "fake_clock.h"
#include "packet_test_data.h"
#include "reference_crypto.h"

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace packet_test_data;
using reference::Bytes;

template <typename A, typename B>
bool SameBytes(const A& a, const B& b, size_t count)
{
    return std::memcmp(a.data(), b.data(), count) == 0;
}

void AddKey(TunnelCrypto& crypto, uint32_t id, std::span<const uint8_t> key,
            std::span<const uint8_t> salt, uint32_t period)
{
    crypto.AddKey(id, key.data(), static_cast<uint32_t>(key.size()), salt.data(),
                  static_cast<uint32_t>(salt.size()), period);
}

TunnelCrypto& Authenticated(TunnelCrypto& crypto)
{
    crypto.SetCryptoType(TunnelCrypto::kAuthenticatedType);
    return crypto;
}

// Seals one plaintext and returns the counter value it was sealed with.
uint64_t SealOne(TunnelCrypto& crypto, uint32_t* outLength = nullptr)
{
    std::lock_guard guard(crypto.SendLock());
    const uint64_t counter = crypto.PacketCounter();
    uint8_t plain[4] = {1, 2, 3, 4};
    uint8_t sealed[4 + 16];
    uint32_t length = 0;
    crypto.EncryptPacket(plain, sizeof plain, sealed, &length);
    if (outLength != nullptr)
        *outLength = length;
    return counter;
}

void ExpectKeysOf(const TunnelKeyRecord& traffic, std::span<const uint8_t> key,
                  std::span<const uint8_t> salt, uint8_t epoch)
{
    const reference::TrafficKeys expected = reference::Derive(key, salt, epoch);
    EXPECT_TRUE(SameBytes(traffic.trafficKey, expected.encryption, 16)) << "epoch " << int(epoch);
    EXPECT_TRUE(SameBytes(traffic.authKey, expected.authentication, 16)) << "epoch " << int(epoch);
    EXPECT_TRUE(SameBytes(traffic.trafficSalt, expected.salt, 14)) << "epoch " << int(epoch);
}

// --- Primitives --------------------------------------------------------------

TEST(Primitives, ReferenceGcmMatchesPublishedVectors)
{
    // GCM specification test cases 13 and 14 (SP 800-38D submission).
    const std::array<uint8_t, 32> zeroKey{};
    const std::array<uint8_t, 12> zeroIv{};
    const Bytes empty = reference::GcmSeal(zeroKey, zeroIv, {});
    EXPECT_TRUE(SameBytes(empty, kGcmCase13Tag, 16));
    const std::array<uint8_t, 16> zeroBlock{};
    const Bytes sealed = reference::GcmSeal(zeroKey, zeroIv, zeroBlock);
    EXPECT_TRUE(SameBytes(sealed, kGcmCase14Cipher, 16));
    EXPECT_TRUE(std::memcmp(sealed.data() + 16, kGcmCase14Tag.data(), 16) == 0);
}

TEST(Primitives, TrafficMacMatchesRfc4231AndRestartsCleanly)
{
    TrafficCipher cipher(TrafficCipher::Direction::kSeal);
    TunnelKeyRecord traffic;
    std::memcpy(traffic.authKey.data(), kHmacCase1Key.data(), kHmacCase1Key.size());
    traffic.authKeyLength = kHmacCase1Key.size();
    ASSERT_TRUE(cipher.Load(traffic));
    std::array<uint8_t, 32> mac{};
    const auto data1 = std::span(reinterpret_cast<const uint8_t*>(kHmacCase1Data), 8);
    // The MAC context is reused: every computation must restart from the key.
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(cipher.Mac(data1, mac));
        EXPECT_EQ(mac, kHmacCase1Mac) << "round " << round;
    }

    traffic.authKey.fill(0);
    std::memcpy(traffic.authKey.data(), kHmacCase2Key, 4);
    traffic.authKeyLength = 4;
    ASSERT_TRUE(cipher.Load(traffic));
    ASSERT_TRUE(cipher.Mac(std::span(reinterpret_cast<const uint8_t*>(kHmacCase2Data), 28), mac));
    EXPECT_EQ(mac, kHmacCase2Mac);
}

TEST(Primitives, ReusedGcmContextsMatchFreshOnesAcrossIvsAndSplits)
{
    TunnelKeyRecord traffic;
    for (size_t i = 0; i < 16; ++i)
        traffic.trafficKey[i] = static_cast<uint8_t>(0x40 + i);
    TrafficCipher sealer(TrafficCipher::Direction::kSeal);
    TrafficCipher opener(TrafficCipher::Direction::kOpen);
    ASSERT_TRUE(sealer.Load(traffic));
    ASSERT_TRUE(opener.Load(traffic));
    std::array<uint8_t, 32> aesKey{};  // 16 key bytes then 16 zero bytes
    std::memcpy(aesKey.data(), traffic.trafficKey.data(), 16);

    std::vector<uint8_t> body(100);
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<uint8_t>(i * 7);
    const uint8_t head[2] = {0x13, 0x8C};
    for (uint8_t round = 0; round < 3; ++round) {
        std::array<uint8_t, 16> iv{};
        iv[0] = round;
        std::vector<uint8_t> plain(head, head + 2);
        plain.insert(plain.end(), body.begin(), body.end());
        const Bytes expected = reference::GcmSeal(aesKey, iv, plain);

        std::vector<uint8_t> sealed(plain.size() + 16);
        ASSERT_TRUE(sealer.Seal(iv, head, body, sealed.data()));
        EXPECT_EQ(sealed, expected) << "round " << int(round);

        std::array<uint8_t, 2> headOut{};
        std::vector<uint8_t> bodyOut(body.size());
        const auto tag = std::span<const uint8_t>(sealed).subspan(plain.size()).first<16>();
        EXPECT_EQ(opener.Open(iv, std::span(sealed).first(plain.size()), tag, headOut, bodyOut.data()),
                  TrafficCipher::OpenStatus::kOpened);
        EXPECT_TRUE(SameBytes(headOut, std::span(head), 2));
        EXPECT_EQ(bodyOut, body);

        iv[15] ^= 1;
        EXPECT_EQ(opener.Open(iv, std::span(sealed).first(plain.size()), tag, headOut, bodyOut.data()),
                  TrafficCipher::OpenStatus::kTagMismatch);
    }
}

// --- Key schedule ------------------------------------------------------------

TEST(KeySchedule, DerivationMatchesReferenceForEveryEpochByteWeTry)
{
    TunnelCrypto crypto(0);
    Authenticated(crypto);
    AddKey(crypto, 1, kMasterKey, kMasterSalt, 1000);
    TunnelKeyRecord record;
    record.SetMaster(1, kMasterKey.data(), 32, kMasterSalt.data(), 14);
    for (uint64_t counter : {0ull, 999ull, 1000ull, 3000ull, 255'999ull, 256'000ull, 1'000'000ull}) {
        TunnelKeyRecord traffic;
        ASSERT_TRUE(crypto.DeriveTrafficKeys(record, counter, traffic));
        ExpectKeysOf(traffic, kMasterKey, kMasterSalt, static_cast<uint8_t>(counter / 1000));
        EXPECT_EQ(traffic.id, 1u);
        EXPECT_EQ(traffic.trafficKeyLength, 16u);
        EXPECT_EQ(traffic.authKeyLength, 16u);
        EXPECT_EQ(traffic.trafficSaltLength, 14u);
    }
}

TEST(KeySchedule, ShortMaterialIsZeroExtendedAndLongMaterialClamped)
{
    TunnelCrypto crypto(0);
    std::vector<uint8_t> longKey(80);
    std::vector<uint8_t> longSalt(70);
    for (size_t i = 0; i < longKey.size(); ++i)
        longKey[i] = static_cast<uint8_t>(i + 1);
    for (size_t i = 0; i < longSalt.size(); ++i)
        longSalt[i] = static_cast<uint8_t>(0x80 + i);

    TunnelKeyRecord clamped;
    clamped.SetMaster(3, longKey.data(), 80, longSalt.data(), 70);
    EXPECT_EQ(clamped.masterKeyLength, 64u);
    EXPECT_EQ(clamped.masterSaltLength, 64u);
    TunnelKeyRecord traffic;
    ASSERT_TRUE(crypto.DeriveTrafficKeys(clamped, 0, traffic));
    // Only the first 32 key bytes and 16 salt bytes count.
    ExpectKeysOf(traffic, std::span(longKey).first(32), std::span(longSalt).first(16), 0);

    TunnelKeyRecord shortOne;
    shortOne.SetMaster(4, longKey.data(), 5, longSalt.data(), 3);
    ASSERT_TRUE(crypto.DeriveTrafficKeys(shortOne, 0, traffic));
    ExpectKeysOf(traffic, std::span(longKey).first(5), std::span(longSalt).first(3), 0);
}

// --- Counter -----------------------------------------------------------------

TEST(PacketCounter, StartsFromSixRandomBytesMinusOneIn48Bits)
{
    const std::array<uint8_t, 6> one = {1, 0, 0, 0, 0, 0};
    const std::array<uint8_t, 6> zero{};
    const std::array<uint8_t, 6> mixed = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA};
    EXPECT_EQ(TunnelCrypto::CounterStartFromBytes(one), 0u);
    EXPECT_EQ(TunnelCrypto::CounterStartFromBytes(zero), TunnelCrypto::kCounterMask);
    EXPECT_EQ(TunnelCrypto::CounterStartFromBytes(mixed), 0xBA987654320Full);

    TunnelCrypto a;
    TunnelCrypto b;
    EXPECT_LE(a.PacketCounter(), TunnelCrypto::kCounterMask);
    EXPECT_NE(a.PacketCounter(), b.PacketCounter()) << "two 48-bit random starts collided";
    EXPECT_EQ(TunnelCrypto(0xFFFF'0000'0000'0005ull).PacketCounter(), 5u);
}

TEST(PacketCounter, AdvancesOnlyForSealedPackets)
{
    TunnelCrypto crypto(41);
    Authenticated(crypto);
    uint32_t length = 1;
    SealOne(crypto, &length);
    EXPECT_EQ(length, 0u) << "no key yet";
    EXPECT_EQ(crypto.PacketCounter(), 41u);

    AddKey(crypto, 1, kMasterKey, kMasterSalt, 0);
    EXPECT_EQ(SealOne(crypto, &length), 41u);
    EXPECT_EQ(length, 4u + 16u);
    EXPECT_EQ(crypto.PacketCounter(), 42u);
}

// --- AddKey ------------------------------------------------------------------

TEST(AddKey, OnlyTypeEightTakesKeysAndPeriodZeroKeepsThePeriod)
{
    FakeClock clock;
    clock.Set(50'000);
    for (int32_t type : {0, 2, 7, 9}) {
        TunnelCrypto crypto(0);
        crypto.SetCryptoType(type);
        AddKey(crypto, 1, kMasterKey, kMasterSalt, 100);
        EXPECT_EQ(crypto.KeyCount(), 0u) << "type " << type;
        EXPECT_EQ(crypto.RekeyPeriod(), 0u) << "type " << type;
    }

    TunnelCrypto crypto(0);
    Authenticated(crypto);
    AddKey(crypto, 1, kMasterKey, kMasterSalt, 100);
    EXPECT_EQ(crypto.KeySwitchDeadline(), 0) << "the first key arms no switch";
    clock.Set(60'000);
    AddKey(crypto, 2, kOtherMasterKey, kOtherMasterSalt, 0);
    EXPECT_EQ(crypto.RekeyPeriod(), 100u);
    EXPECT_EQ(crypto.KeySwitchDeadline(), 70'000);
    AddKey(crypto, 3, kOtherMasterKey, kOtherMasterSalt, 250);
    EXPECT_EQ(crypto.RekeyPeriod(), 250u);
    EXPECT_EQ(crypto.KeyCount(), 3u);
}

// --- Send-side key choice ----------------------------------------------------

TEST(SendKeys, RekeyEpochFollowsTheCounterAcrossAPeriodBoundary)
{
    TunnelCrypto crypto(2998);
    Authenticated(crypto);
    AddKey(crypto, 5, kMasterKey, kMasterSalt, 1000);
    for (uint64_t expected : {2998ull, 2999ull, 3000ull, 3001ull}) {
        EXPECT_EQ(SealOne(crypto), expected);
        std::lock_guard guard(crypto.SendLock());
        ExpectKeysOf(crypto.SendTrafficRecord(), kMasterKey, kMasterSalt,
                     expected < 3000 ? 2 : 3);
    }
}

TEST(SendKeys, PeriodZeroNeverRekeys)
{
    TunnelCrypto crypto(999);
    Authenticated(crypto);
    AddKey(crypto, 5, kMasterKey, kMasterSalt, 0);
    for (int i = 0; i < 3; ++i) {
        SealOne(crypto);
        ExpectKeysOf(crypto.SendTrafficRecord(), kMasterKey, kMasterSalt, 0);
    }
}

TEST(SendKeys, PeriodChangeMidEpochKeepsSenderOnTheReceiversEpoch)
{
    // A receiver derives the epoch from the header's counter with its own
    // period; after the period changes the sender must not keep keys of an
    // epoch the new period no longer gives.
    TunnelCrypto crypto(2500);
    Authenticated(crypto);
    AddKey(crypto, 5, kMasterKey, kMasterSalt, 1000);
    SealOne(crypto);
    ExpectKeysOf(crypto.SendTrafficRecord(), kMasterKey, kMasterSalt, 2);
    AddKey(crypto, 6, kOtherMasterKey, kOtherMasterSalt, 700);
    EXPECT_EQ(SealOne(crypto), 2501u);
    ExpectKeysOf(crypto.SendTrafficRecord(), kMasterKey, kMasterSalt, 3);  // 2501 / 700
}

TEST(SendKeys, EachDeadlineMovesOneRecordAlongTheList)
{
    FakeClock clock;
    clock.Set(100'000);
    TunnelCrypto crypto(0);
    Authenticated(crypto);
    const std::array<uint8_t, 32> key3 = {3};
    const std::array<uint8_t, 32> key4 = {4};
    AddKey(crypto, 1, kMasterKey, kMasterSalt, 0);
    SealOne(crypto);
    EXPECT_EQ(crypto.CurrentSendKeyId(), 1u);

    clock.Set(101'000);
    AddKey(crypto, 2, kOtherMasterKey, kOtherMasterSalt, 0);
    clock.Set(105'000);
    AddKey(crypto, 3, key3, kMasterSalt, 0);  // deadline now 115 000
    clock.Set(114'999);
    SealOne(crypto);
    EXPECT_EQ(crypto.CurrentSendKeyId(), 1u);
    clock.Set(115'000);
    SealOne(crypto);
    EXPECT_EQ(crypto.CurrentSendKeyId(), 2u);
    ExpectKeysOf(crypto.SendTrafficRecord(), kOtherMasterKey, kOtherMasterSalt, 0);
    EXPECT_EQ(crypto.KeySwitchDeadline(), 0);

    clock.Set(200'000);
    SealOne(crypto);
    EXPECT_EQ(crypto.CurrentSendKeyId(), 2u) << "key 3 waits for a further key";

    AddKey(crypto, 4, key4, kMasterSalt, 0);
    clock.Set(210'000);
    SealOne(crypto);
    EXPECT_EQ(crypto.CurrentSendKeyId(), 3u);
    ExpectKeysOf(crypto.SendTrafficRecord(), key3, kMasterSalt, 0);
}

TEST(SendKeys, DeadlinePassedBeforeTheFirstPacketStillStartsAtTheFirstKey)
{
    FakeClock clock;
    clock.Set(0);
    TunnelCrypto crypto(0);
    Authenticated(crypto);
    AddKey(crypto, 1, kMasterKey, kMasterSalt, 0);
    AddKey(crypto, 2, kOtherMasterKey, kOtherMasterSalt, 0);
    clock.Set(20'000);
    SealOne(crypto);
    EXPECT_EQ(crypto.CurrentSendKeyId(), 2u) << "first key, then one step for the passed deadline";
}

// --- Receive-side key choice -------------------------------------------------

TEST(ReceiveKeys, KeyIdIsMatchedOnAll32BitsAgainstThe16BitField)
{
    TunnelCrypto crypto(0);
    Authenticated(crypto);
    AddKey(crypto, 0x10007, kOtherMasterKey, kOtherMasterSalt, 0);
    {
        std::lock_guard guard(crypto.ReceiveLock());
        EXPECT_FALSE(crypto.SelectReceiveKeys(7, 0));
        EXPECT_FALSE(crypto.ReceiveKeysValid());
    }
    AddKey(crypto, 7, kMasterKey, kMasterSalt, 0);
    std::lock_guard guard(crypto.ReceiveLock());
    ASSERT_TRUE(crypto.SelectReceiveKeys(7, 0));
    EXPECT_EQ(crypto.ReceiveTrafficRecord().id, 7u);
    ExpectKeysOf(crypto.ReceiveTrafficRecord(), kMasterKey, kMasterSalt, 0);
}

TEST(ReceiveKeys, KeptKeysEqualFreshDerivationsThroughEvictionAndNewKeys)
{
    TunnelCrypto crypto(0);
    Authenticated(crypto);
    AddKey(crypto, 1, kMasterKey, kMasterSalt, 10);
    AddKey(crypto, 2, kOtherMasterKey, kOtherMasterSalt, 0);
    // More (key, epoch) pairs than the receive side keeps, revisited, and
    // epoch bytes that wrap (2560 / 10 = 256 -> epoch byte 0).
    const std::vector<std::pair<uint16_t, uint64_t>> sequence = {
        {1, 0},  {2, 5},  {1, 15}, {2, 25}, {1, 35}, {2, 45}, {1, 5},
        {1, 2560}, {2, 0}, {1, 9}, {2, 2569}, {1, 2570}, {2, 15}, {1, 0}};
    for (const auto& [id, counter] : sequence) {
        std::lock_guard guard(crypto.ReceiveLock());
        ASSERT_TRUE(crypto.SelectReceiveKeys(id, counter));
        const uint8_t epoch = static_cast<uint8_t>(counter / 10);
        if (id == 1)
            ExpectKeysOf(crypto.ReceiveTrafficRecord(), kMasterKey, kMasterSalt, epoch);
        else
            ExpectKeysOf(crypto.ReceiveTrafficRecord(), kOtherMasterKey, kOtherMasterSalt, epoch);
    }
    // A new period changes the epoch of the same counter.
    AddKey(crypto, 3, kMasterKey, kOtherMasterSalt, 7);
    std::lock_guard guard(crypto.ReceiveLock());
    ASSERT_TRUE(crypto.SelectReceiveKeys(1, 35));
    ExpectKeysOf(crypto.ReceiveTrafficRecord(), kMasterKey, kMasterSalt, 5);
}

TEST(ReceiveKeys, DecryptPacketResults)
{
    TunnelCrypto crypto(0);
    Authenticated(crypto);
    uint8_t sealed[40] = {};
    uint8_t out[40];
    uint32_t length = 99;
    {
        std::lock_guard guard(crypto.ReceiveLock());
        EXPECT_EQ(crypto.DecryptPacket(1, 0, sealed, sizeof sealed, out, &length),
                  TunnelCrypto::kDecryptFailed);
        EXPECT_EQ(length, 0u);
    }
    AddKey(crypto, 1, kMasterKey, kMasterSalt, 0);
    std::lock_guard guard(crypto.ReceiveLock());
    EXPECT_EQ(crypto.DecryptPacket(1, 0, sealed, sizeof sealed, out, &length),
              TunnelCrypto::kDecryptFailed) << "no keys selected";
    ASSERT_TRUE(crypto.SelectReceiveKeys(1, 0));
    EXPECT_EQ(crypto.DecryptPacket(1, 0, sealed, sizeof sealed, out, &length),
              TunnelCrypto::kDecryptTagMismatch);
    crypto.SetCryptoType(2);
    EXPECT_EQ(crypto.DecryptPacket(1, 0, sealed, sizeof sealed, out, &length),
              TunnelCrypto::kDecryptWrongType);
}

// --- Legacy keys ---------------------------------------------------------------

TEST(LegacyKey, KeysBothEnginesAndKeepsTheText)
{
    TunnelCrypto crypto(0);
    EXPECT_EQ(crypto.KeyText(), TunnelCrypto::kDefaultKeyText);
    crypto.SetCryptoType(3);
    EXPECT_EQ(crypto.SetLegacyKey("abc"), CipherEngine::kKeyOk);
    EXPECT_EQ(crypto.SendCipher().Type(), 3);
    EXPECT_EQ(crypto.ReceiveCipher().Type(), 3);
    EXPECT_EQ(crypto.KeyText(), "abc");
    crypto.SetCryptoType(8);
    EXPECT_EQ(crypto.SetLegacyKey("xyz"), CipherEngine::kKeyRefused);
    EXPECT_EQ(crypto.SendCipher().Type(), 3) << "type 8 leaves the engines as they were";
}

}  // namespace
