// Key handling of the authenticated format: primitives against public
// vectors, the key schedule against the reference, the counter's start,
// AddKey, key switches and the receive-side key choice and key cache.

#include "TrafficCipher.h"
#include "TunnelCrypto.h"

#include "FakeClock.h"
#include "packet_test_data.h"
#include "reference_crypto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace zan {

namespace {

using namespace packet_test_data;
using reference::Bytes;

void AddKey(TunnelCrypto& crypto, uint32_t id, std::span<const uint8_t> key,
            std::span<const uint8_t> salt, uint32_t period = 0)
{
    crypto.AddKey(id, key.data(), static_cast<uint32_t>(key.size()), salt.data(),
                  static_cast<uint32_t>(salt.size()), period);
}

// Seals one 4-byte plaintext; returns the output length.
uint32_t SealOne(TunnelCrypto& crypto)
{
    std::lock_guard guard(crypto.SendLock());
    const uint8_t plain[4] = {1, 2, 3, 4};
    uint8_t sealed[4 + 16];
    uint32_t length = 0;
    crypto.EncryptPacket(plain, sizeof plain, sealed, &length);
    return length;
}

void ExpectKeysOf(const TunnelKeyRecord& traffic, std::span<const uint8_t> key,
                  std::span<const uint8_t> salt, uint8_t epoch)
{
    const reference::TrafficKeys expected = reference::Derive(key, salt, epoch);
    EXPECT_EQ(0, std::memcmp(traffic.trafficKey.data(), expected.encryption.data(), 16)) << int(epoch);
    EXPECT_EQ(0, std::memcmp(traffic.authKey.data(), expected.authentication.data(), 16)) << int(epoch);
    EXPECT_EQ(0, std::memcmp(traffic.trafficSalt.data(), expected.salt.data(), 14)) << int(epoch);
}

// Context reuse (new IV per seal, MAC restarted rather than re-keyed) is
// checked whole-packet against the reference in the packet format tests.
TEST(CryptoPrimitives, PublishedVectors)
{
    const std::array<uint8_t, 32> zeroKey{};
    const std::array<uint8_t, 12> zeroIv{};
    const std::array<uint8_t, 16> zeroBlock{};
    EXPECT_EQ(reference::GcmSeal(zeroKey, zeroIv, zeroBlock),
              Bytes(kGcmCase14CipherAndTag.begin(), kGcmCase14CipherAndTag.end()));

    TunnelKeyRecord traffic;
    std::memcpy(traffic.authKey.data(), kHmacKey, 4);
    traffic.authKeyLength = 4;
    TrafficCipher cipher(TrafficCipher::Direction::kSeal);
    ASSERT_TRUE(cipher.Load(traffic));
    std::array<uint8_t, 32> mac{};
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(cipher.Mac(std::span(reinterpret_cast<const uint8_t*>(kHmacData), 28), mac));
        EXPECT_EQ(mac, kHmacMac) << "use " << i;
    }
}

TEST(CryptoKeySchedule, MatchesReferenceWithZeroExtensionAndClamping)
{
    TunnelCrypto crypto(0);
    crypto.SetCryptoType(8);
    AddKey(crypto, 1, kMasterKey, kMasterSalt, 1000);
    TunnelKeyRecord record;
    record.SetMaster(1, kMasterKey.data(), 32, kMasterSalt.data(), 14);
    TunnelKeyRecord traffic;
    for (uint64_t counter : {0ull, 2999ull, 3000ull, 256'000ull}) {  // epoch bytes 0, 2, 3, 0
        ASSERT_TRUE(crypto.DeriveTrafficKeys(record, counter, traffic));
        ExpectKeysOf(traffic, kMasterKey, kMasterSalt, static_cast<uint8_t>(counter / 1000));
    }

    // Only the first 32 key bytes and 16 salt bytes count; shorter material
    // counts as zero-extended; the record keeps at most 64 bytes.
    const Bytes material = Pattern(80);
    record.SetMaster(3, material.data(), 80, material.data(), 70);
    EXPECT_EQ(record.masterKeyLength, 64u);
    EXPECT_EQ(record.masterSaltLength, 64u);
    ASSERT_TRUE(crypto.DeriveTrafficKeys(record, 0, traffic));
    ExpectKeysOf(traffic, std::span(material).first(32), std::span(material).first(16), 0);
    record.SetMaster(4, material.data(), 5, material.data(), 3);
    ASSERT_TRUE(crypto.DeriveTrafficKeys(record, 0, traffic));
    ExpectKeysOf(traffic, std::span(material).first(5), std::span(material).first(3), 0);
}

TEST(CryptoPacketCounter, StartsFromSixRandomBytesMinusOneIn48Bits)
{
    EXPECT_EQ(TunnelCrypto::CounterStartFromBytes(std::array<uint8_t, 6>{1}), 0u);
    EXPECT_EQ(TunnelCrypto::CounterStartFromBytes(std::array<uint8_t, 6>{}), TunnelCrypto::kCounterMask);
    EXPECT_EQ(TunnelCrypto::CounterStartFromBytes(std::array<uint8_t, 6>{0x10, 0x32, 0x54, 0x76, 0x98, 0xBA}),
              0xBA987654320Full);
    TunnelCrypto a;
    TunnelCrypto b;
    EXPECT_LE(a.PacketCounter(), TunnelCrypto::kCounterMask);
    EXPECT_NE(a.PacketCounter(), b.PacketCounter()) << "two random 48-bit starts collided";

    TunnelCrypto fixed(0xFFFF'0000'0000'0029ull);
    fixed.SetCryptoType(8);
    EXPECT_EQ(SealOne(fixed), 0u) << "no key yet";
    AddKey(fixed, 1, kMasterKey, kMasterSalt);
    EXPECT_EQ(SealOne(fixed), 20u);
    EXPECT_EQ(fixed.PacketCounter(), 42u) << "masked to 48 bits, advanced once";
}

TEST(CryptoSendKeys, EachDeadlineMovesOneRecordAlongTheList)
{
    FakeClock clock;
    clock.Set(100'000);
    TunnelCrypto crypto(0);
    crypto.SetCryptoType(8);
    const std::array<uint8_t, 32> key3 = {3};
    AddKey(crypto, 1, kMasterKey, kMasterSalt, 100);
    EXPECT_EQ(crypto.KeySwitchDeadline(), 0) << "the first key arms no switch";
    SealOne(crypto);
    EXPECT_EQ(crypto.CurrentSendKeyId(), 1u);
    AddKey(crypto, 2, kOtherMasterKey, kOtherMasterSalt);
    EXPECT_EQ(crypto.RekeyPeriod(), 100u) << "period 0 keeps the period";
    clock.Set(105'000);
    AddKey(crypto, 3, key3, kMasterSalt);
    EXPECT_EQ(crypto.KeySwitchDeadline(), 115'000);
    clock.Set(114'999);
    SealOne(crypto);
    EXPECT_EQ(crypto.CurrentSendKeyId(), 1u);
    clock.Set(115'000);
    SealOne(crypto);
    EXPECT_EQ(crypto.CurrentSendKeyId(), 2u);
    ExpectKeysOf(crypto.SendTrafficRecord(), kOtherMasterKey, kOtherMasterSalt, 0);
    clock.Set(200'000);
    SealOne(crypto);
    EXPECT_EQ(crypto.CurrentSendKeyId(), 2u) << "key 3 waits for a further key";
    AddKey(crypto, 4, key3, kOtherMasterSalt);
    clock.Set(210'000);
    SealOne(crypto);
    EXPECT_EQ(crypto.CurrentSendKeyId(), 3u);
    ExpectKeysOf(crypto.SendTrafficRecord(), key3, kMasterSalt, 0);
}

TEST(CryptoSendKeys, PeriodChangeMidEpochKeepsSenderOnTheReceiversEpoch)
{
    // The receiver takes the epoch from the header's counter and its own
    // period, so after a period change the sender must not stay on keys of
    // an epoch the new period no longer gives.
    TunnelCrypto crypto(2500);
    crypto.SetCryptoType(8);
    AddKey(crypto, 5, kMasterKey, kMasterSalt, 1000);
    SealOne(crypto);
    ExpectKeysOf(crypto.SendTrafficRecord(), kMasterKey, kMasterSalt, 2);
    AddKey(crypto, 6, kOtherMasterKey, kOtherMasterSalt, 700);
    SealOne(crypto);
    ExpectKeysOf(crypto.SendTrafficRecord(), kMasterKey, kMasterSalt, 3);  // 2501 / 700
}

TEST(CryptoReceiveKeys, IdMatchesAll32BitsAndKeptKeysEqualFreshOnes)
{
    TunnelCrypto crypto(0);
    crypto.SetCryptoType(8);
    AddKey(crypto, 0x10002, kMasterKey, kOtherMasterSalt, 10);
    {
        std::lock_guard guard(crypto.ReceiveLock());
        EXPECT_FALSE(crypto.SelectReceiveKeys(2, 0)) << "0x10002 arrives as 2 and must not match";
    }
    AddKey(crypto, 1, kMasterKey, kMasterSalt);
    AddKey(crypto, 2, kOtherMasterKey, kOtherMasterSalt);
    // More (key, epoch) pairs than are kept, revisited, and an epoch byte
    // that wraps (2560 / 10 = 256).
    const std::vector<std::pair<uint16_t, uint64_t>> sequence = {
        {1, 0}, {2, 5}, {1, 15}, {2, 25}, {1, 35}, {2, 45}, {1, 5}, {1, 2560}, {2, 2569}, {1, 0}};
    for (const auto& [id, counter] : sequence) {
        std::lock_guard guard(crypto.ReceiveLock());
        ASSERT_TRUE(crypto.SelectReceiveKeys(id, counter));
        EXPECT_EQ(crypto.ReceiveTrafficRecord().id, id);
        const auto epoch = static_cast<uint8_t>(counter / 10);
        ExpectKeysOf(crypto.ReceiveTrafficRecord(), id == 1 ? kMasterKey : kOtherMasterKey,
                     id == 1 ? kMasterSalt : kOtherMasterSalt, epoch);
    }
    AddKey(crypto, 3, kMasterKey, kOtherMasterSalt, 7);  // the same counter, another epoch
    std::lock_guard guard(crypto.ReceiveLock());
    ASSERT_TRUE(crypto.SelectReceiveKeys(1, 35));
    ExpectKeysOf(crypto.ReceiveTrafficRecord(), kMasterKey, kMasterSalt, 5);
}

}  // namespace

} // namespace zan
