// Building and opening tunnel packets: the worked examples byte for byte,
// round trips of every crypto type, and every drop rule.

#include "TunnelPacketFormat.h"

#include "packet_test_data.h"
#include "reference_crypto.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace packet_test_data;
using namespace TunnelPacketFormat;
using Bytes = std::vector<uint8_t>;

constexpr const char* kLegacyKeyText = "tunnel key text";

void Configure(TunnelCrypto& crypto, int32_t type, int64_t sourceTag = 0x1234)
{
    crypto.SetCryptoType(type);
    crypto.SetSourceTag(sourceTag);
    if (type > 0 && type < 8)
        (void)crypto.SetLegacyKey(kLegacyKeyText);
}

void AddKey(TunnelCrypto& crypto, uint32_t id, std::span<const uint8_t> key,
            std::span<const uint8_t> salt, uint32_t period = 0)
{
    crypto.AddKey(id, key.data(), static_cast<uint32_t>(key.size()), salt.data(),
                  static_cast<uint32_t>(salt.size()), period);
}

Bytes Payload(size_t size, uint8_t seed = 1)
{
    Bytes payload(size);
    for (size_t i = 0; i < size; ++i)
        payload[i] = static_cast<uint8_t>(seed + i * 13);
    return payload;
}

// Builds into a buffer of the size the sender reserves; empty on failure.
Bytes Build(TunnelCrypto& crypto, std::span<const uint8_t> payload, uint16_t port = 5004,
            uint8_t kind = kDataKind, int32_t* result = nullptr)
{
    Bytes out(SendBufferSize(crypto.CryptoType(), static_cast<uint32_t>(payload.size()), false));
    const int32_t size = BuildPacket(crypto, payload, port, kind, out);
    if (result != nullptr)
        *result = size;
    out.resize(size > 0 ? static_cast<size_t>(size) : 0);
    return out;
}

// Opens a copy of exactly the datagram's size, so a read past its end is
// an AddressSanitizer error rather than a silent success.
OpenResult Open(TunnelCrypto& crypto, const Bytes& datagram, TunnelPacket& packet,
                bool loopFilter = false)
{
    const Bytes exact(datagram);
    return OpenPacket(crypto, exact, loopFilter, packet);
}

Bytes Contents(const TunnelPacket& packet)
{
    return Bytes(packet.data, packet.data + packet.length);
}

// --- Worked examples -----------------------------------------------------------

TEST(WorkedExample, LegacyTypeZeroIsHeaderThenPayload)
{
    TunnelCrypto sender(0);
    Configure(sender, 0, kExampleSourceTag);
    const Bytes packet = Build(sender, kExamplePayload);
    Bytes expected(kLegacyExampleHeader.begin(), kLegacyExampleHeader.end());
    expected.insert(expected.end(), kExamplePayload.begin(), kExamplePayload.end());
    EXPECT_EQ(packet, expected);
    EXPECT_EQ(packet.size(), 17u);

    TunnelCrypto receiver(0);
    Configure(receiver, 0, 99);
    TunnelPacket opened;
    ASSERT_EQ(Open(receiver, packet, opened), OpenResult::kOpened);
    EXPECT_EQ(opened.endpoint.port, kExamplePort);
    EXPECT_EQ(opened.kind, kDataKindByte);
    EXPECT_EQ(Contents(opened), Bytes(kExamplePayload.begin(), kExamplePayload.end()));
}

TEST(WorkedExample, AuthenticatedPacketKeysIvAndBytes)
{
    TunnelCrypto sender(kExampleCounter);
    Configure(sender, 8, kExampleSourceTag);
    AddKey(sender, kExampleKeyId, kMasterKey, kMasterSalt);
    const Bytes packet = Build(sender, kExamplePayload);
    ASSERT_EQ(packet.size(), 75u);
    EXPECT_TRUE(std::equal(kAuthExampleHeader.begin(), kAuthExampleHeader.end(), packet.begin()));

    // Every derived key, the IV, and the whole packet against the reference.
    const reference::TrafficKeys keys = reference::Derive(kMasterKey, kMasterSalt, 0);
    const TunnelKeyRecord& traffic = sender.SendTrafficRecord();
    EXPECT_TRUE(std::equal(keys.encryption.begin(), keys.encryption.end(), traffic.trafficKey.begin()));
    EXPECT_TRUE(std::all_of(traffic.trafficKey.begin() + 16, traffic.trafficKey.begin() + 32,
                            [](uint8_t b) { return b == 0; }))
        << "the AES key is the 16 derived bytes followed by 16 zero bytes";
    EXPECT_TRUE(std::equal(keys.authentication.begin(), keys.authentication.end(), traffic.authKey.begin()));
    EXPECT_TRUE(std::equal(keys.salt.begin(), keys.salt.end(), traffic.trafficSalt.begin()));

    const std::array<uint8_t, 14> noSalt{};
    EXPECT_EQ(TunnelCrypto::BuildIv(noSalt, kExampleSourceTag, kExampleCounter), kAuthExampleIvBeforeSalt);
    EXPECT_EQ(TunnelCrypto::BuildIv(std::span(traffic.trafficSalt), kExampleSourceTag, kExampleCounter),
              reference::Iv(keys, kExampleSourceTag, kExampleCounter));

    EXPECT_EQ(packet, reference::AuthenticatedPacket(keys, kExampleKeyId, kExampleSourceTag,
                                                     kExampleCounter, 2, kExamplePort, kExamplePayload));

    TunnelCrypto receiver(0);
    Configure(receiver, 8, 99);
    AddKey(receiver, kExampleKeyId, kMasterKey, kMasterSalt);
    TunnelPacket opened;
    ASSERT_EQ(Open(receiver, packet, opened), OpenResult::kOpened);
    EXPECT_EQ(opened.endpoint.port, kExamplePort);
    EXPECT_EQ(Contents(opened), Bytes(kExamplePayload.begin(), kExamplePayload.end()));
}

TEST(WorkedExample, AuthenticatedFrameOnTcp)
{
    TunnelCrypto sender(kExampleCounter);
    Configure(sender, 8, kExampleSourceTag);
    AddKey(sender, kExampleKeyId, kMasterKey, kMasterSalt);
    Bytes frame(SendBufferSize(8, kExamplePayload.size(), true));
    ASSERT_EQ(BuildFrame(sender, kExamplePayload, kExamplePort, kDataKind, frame), 77);
    EXPECT_EQ(frame[0], kAuthExampleFramePrefix[0]);
    EXPECT_EQ(frame[1], kAuthExampleFramePrefix[1]);
    EXPECT_TRUE(std::equal(kAuthExampleHeader.begin(), kAuthExampleHeader.end(), frame.begin() + 2));
}

TEST(WorkedExample, KeepAliveSizes)
{
    for (int32_t type = 0; type <= 8; ++type) {
        TunnelCrypto sender(0);
        Configure(sender, type);
        AddKey(sender, 1, kMasterKey, kMasterSalt);
        const Bytes packet = Build(sender, kKeepAlivePayload, 5004, kKeepAliveKind);
        const size_t block = CipherEngine::BlockSize(type);
        const size_t expected = type == 8 ? 71 : type == 0 ? 13 : 16 + block;
        EXPECT_EQ(packet.size(), expected) << "type " << type;
        ASSERT_GE(packet.size(), 2u);
        EXPECT_EQ(packet[1], 3) << "type " << type;
    }
}

// --- Round trips ---------------------------------------------------------------

std::vector<size_t> BoundarySizes(size_t block)
{
    std::set<size_t> sizes = {1, block, block + 1, 2 * block, 65535};
    if (block > 1)
        sizes.insert(block - 1);
    return {sizes.begin(), sizes.end()};
}

TEST(RoundTrip, EveryLegacyTypeAroundBlockBoundaries)
{
    for (int32_t type = 0; type <= 7; ++type) {
        TunnelCrypto sender(0);
        TunnelCrypto receiver(0);
        Configure(sender, type);
        Configure(receiver, type);
        const size_t block = CipherEngine::BlockSize(type);
        for (size_t size : BoundarySizes(block)) {
            const Bytes payload = Payload(size);
            const Bytes packet = Build(sender, payload, 40000);
            ASSERT_EQ(packet.size(), PacketSize(type, size)) << "type " << type << " size " << size;
            if (type >= 1 && type <= 6) {
                EXPECT_FALSE(std::equal(payload.begin(), payload.end(), packet.begin() + 14))
                    << "type " << type << " sent its payload in clear";
            }
            TunnelPacket opened;
            ASSERT_EQ(Open(receiver, packet, opened), OpenResult::kOpened)
                << "type " << type << " size " << size;
            EXPECT_EQ(opened.endpoint.port, 40000u);
            EXPECT_EQ(Contents(opened), payload) << "type " << type << " size " << size;
        }
    }
}

TEST(RoundTrip, AuthenticatedAroundBlockBoundaries)
{
    TunnelCrypto sender(77);
    TunnelCrypto receiver(0);
    Configure(sender, 8);
    Configure(receiver, 8);
    AddKey(sender, 3, kMasterKey, kMasterSalt, 2);  // a new epoch every other packet
    AddKey(receiver, 3, kMasterKey, kMasterSalt, 2);
    for (size_t size : {size_t{0}, size_t{1}, size_t{13}, size_t{14}, size_t{15}, size_t{16},
                        size_t{17}, size_t{32}, size_t{1200}, size_t{65535}}) {
        const Bytes payload = Payload(size, static_cast<uint8_t>(size));
        const Bytes packet = Build(sender, payload, 65535);
        ASSERT_EQ(packet.size(), size + 70);
        TunnelPacket opened;
        ASSERT_EQ(Open(receiver, packet, opened), OpenResult::kOpened) << "size " << size;
        EXPECT_EQ(opened.endpoint.port, 65535u);
        EXPECT_EQ(Contents(opened), payload);
    }
}

TEST(RoundTrip, LegacyCipherIvRestartsAndShortKeysRepeat)
{
    for (int32_t type = 1; type <= 6; ++type) {
        TunnelCrypto shortKey(0);
        TunnelCrypto repeatedKey(0);
        shortKey.SetCryptoType(type);
        repeatedKey.SetCryptoType(type);
        ASSERT_EQ(shortKey.SetLegacyKey("k3y"), CipherEngine::kKeyOk);
        std::string repeated;
        while (repeated.size() < 256)
            repeated += "k3y";
        ASSERT_EQ(repeatedKey.SetLegacyKey(repeated.c_str()), CipherEngine::kKeyOk);

        const Bytes payload = Payload(37);
        const Bytes first = Build(shortKey, payload);
        EXPECT_EQ(Build(shortKey, payload), first) << "type " << type << ": the IV restarts per packet";
        EXPECT_EQ(Build(repeatedKey, payload), first) << "type " << type;
    }
}

TEST(RoundTrip, KeepAliveIsOpenedButNotAsData)
{
    for (int32_t type : {0, 2, 8}) {
        TunnelCrypto sender(0);
        TunnelCrypto receiver(0);
        Configure(sender, type);
        Configure(receiver, type);
        AddKey(sender, 1, kMasterKey, kMasterSalt);
        AddKey(receiver, 1, kMasterKey, kMasterSalt);
        const Bytes packet = Build(sender, kKeepAlivePayload, 6000, kKeepAliveKind);
        TunnelPacket opened;
        ASSERT_EQ(Open(receiver, packet, opened), OpenResult::kOpened) << "type " << type;
        EXPECT_EQ(opened.kind, 3) << "type " << type;
        // The authenticated keep-alive is not decrypted: everything after
        // the 2 bytes read as its port counts as its payload.
        EXPECT_EQ(opened.length, type == 8 ? packet.size() - 22 : 1u) << "type " << type;
    }
}

// --- Build failures ------------------------------------------------------------

TEST(BuildFailure, ResultsForMissingKeysBadInputAndSmallBuffers)
{
    TunnelCrypto noKey(0);
    Configure(noKey, 8);
    int32_t result = 0;
    (void)Build(noKey, Payload(10), 5004, kDataKind, &result);
    EXPECT_EQ(result, kCryptoError);

    TunnelCrypto typeNine(0);
    Configure(typeNine, 9);
    AddKey(typeNine, 1, kMasterKey, kMasterSalt);
    (void)Build(typeNine, Payload(10), 5004, kDataKind, &result);
    EXPECT_EQ(result, kCryptoError) << "no key can be added above type 8";

    TunnelCrypto legacy(0);
    Configure(legacy, 4);
    (void)Build(legacy, {}, 5004, kDataKind, &result);
    EXPECT_EQ(result, kBuildRefused) << "an enciphered packet needs a payload";
    (void)Build(legacy, Payload(4), 5004, 2, &result);
    EXPECT_EQ(result, kBuildRefused) << "kinds are 0 and 1";
    Bytes tooSmall(PacketSize(4, 9) - 1);
    EXPECT_EQ(BuildPacket(legacy, Payload(9), 1, kDataKind, tooSmall), kBuildRefused);
    const Bytes tooLong = Payload(65536);
    Bytes big(70000);
    EXPECT_EQ(BuildPacket(legacy, tooLong, 1, kDataKind, big), kBuildRefused);

    TunnelCrypto unkeyed(0);
    unkeyed.SetCryptoType(3);  // engines never keyed for type 3
    (void)Build(unkeyed, Payload(9), 5004, kDataKind, &result);
    EXPECT_EQ(result, kBuildRefused);
}

TEST(BuildFailure, TcpFramesStopAt32767Bytes)
{
    TunnelCrypto plain(0);
    Configure(plain, 0);
    Bytes frame(40000);
    EXPECT_EQ(BuildFrame(plain, Payload(32767 - 12), 1, kDataKind, frame), 32769);
    EXPECT_EQ(frame[0], 0xFF);
    EXPECT_EQ(frame[1], 0x7F);
    EXPECT_EQ(BuildFrame(plain, Payload(32768 - 12), 1, kDataKind, frame), kBuildRefused);

    TunnelCrypto sealed(500);
    Configure(sealed, 8);
    AddKey(sealed, 1, kMasterKey, kMasterSalt);
    EXPECT_EQ(BuildFrame(sealed, Payload(32767 - 69), 1, kDataKind, frame), kBuildRefused);
    EXPECT_EQ(sealed.PacketCounter(), 500u) << "a refused frame uses no counter value";
    EXPECT_EQ(BuildFrame(sealed, Payload(32767 - 70), 1, kDataKind, frame), 32769);
}

// --- Drop rules: authenticated ---------------------------------------------------

class AuthenticatedDrops : public ::testing::Test {
protected:
    void SetUp() override
    {
        Configure(sender, 8, 0x0102030405060708);
        Configure(receiver, 8, 0x1111);
        AddKey(sender, 7, kMasterKey, kMasterSalt);
        AddKey(receiver, 7, kMasterKey, kMasterSalt);
        packet = Build(sender, Payload(48));
        ASSERT_EQ(packet.size(), 48u + 70u);
    }

    TunnelCrypto sender{1000};
    TunnelCrypto receiver{0};
    Bytes packet;
    TunnelPacket opened;
};

TEST_F(AuthenticatedDrops, AnyFlippedBitBeforeTheDigestNeverYieldsData)
{
    const size_t signedBytes = packet.size() - 32;
    for (size_t bit = 0; bit < signedBytes * 8; ++bit) {
        Bytes bad = packet;
        bad[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        const OpenResult result = Open(receiver, bad, opened);
        // A flipped kind bit turns the packet into a non-data kind, which is
        // opened unchecked but never delivered as data.
        const bool delivered = result == OpenResult::kOpened && opened.kind == kDataKindByte;
        EXPECT_FALSE(delivered) << "bit " << bit;
        const size_t byte = bit / 8;
        const OpenResult expected = byte == 0 ? OpenResult::kFormat
                                    : byte == 1 ? result
                                    : byte < 4  ? OpenResult::kNoKey
                                                : OpenResult::kDigest;
        EXPECT_EQ(result, expected) << "bit " << bit;
    }
}

TEST_F(AuthenticatedDrops, DigestAndTagTampering)
{
    Bytes bad = packet;
    bad.back() ^= 0x80;
    EXPECT_EQ(Open(receiver, bad, opened), OpenResult::kDigest);
    EXPECT_EQ(opened.length, 0u);

    // A tag that is wrong under a digest that is right: only GCM catches it.
    bad = packet;
    bad[packet.size() - 40] ^= 1;
    const reference::TrafficKeys keys = reference::Derive(kMasterKey, kMasterSalt, 0);
    const Bytes digest = reference::Hmac(keys.authentication, std::span(bad).first(bad.size() - 32));
    std::copy(digest.begin(), digest.end(), bad.end() - 32);
    EXPECT_EQ(Open(receiver, bad, opened), OpenResult::kGcmTag);

    EXPECT_EQ(Open(receiver, packet, opened), OpenResult::kOpened);
}

TEST_F(AuthenticatedDrops, KeyIdsAndKeys)
{
    // A receiver holding two keys accepts packets under either.
    TunnelCrypto second(0);
    Configure(second, 8);
    AddKey(second, 9, kOtherMasterKey, kOtherMasterSalt);
    AddKey(receiver, 9, kOtherMasterKey, kOtherMasterSalt);
    EXPECT_EQ(Open(receiver, packet, opened), OpenResult::kOpened);
    EXPECT_EQ(Open(receiver, Build(second, Payload(5)), opened), OpenResult::kOpened);

    // Only the low 16 bits of an id travel: 0x10009 arrives as 9.
    TunnelCrypto highId(0);
    Configure(highId, 8);
    AddKey(highId, 0x10009, kMasterKey, kMasterSalt);
    const Bytes highPacket = Build(highId, Payload(5));
    EXPECT_EQ(highPacket[2], 9);
    EXPECT_EQ(highPacket[3], 0);
    EXPECT_EQ(Open(receiver, highPacket, opened), OpenResult::kDigest) << "key 9 is another key";

    TunnelCrypto holdsHighId(0);
    Configure(holdsHighId, 8);
    AddKey(holdsHighId, 0x10009, kMasterKey, kMasterSalt);
    EXPECT_EQ(Open(holdsHighId, highPacket, opened), OpenResult::kNoKey);

    TunnelCrypto noKeys(0);
    Configure(noKeys, 8);
    EXPECT_EQ(Open(noKeys, packet, opened), OpenResult::kNoKey);
}

TEST_F(AuthenticatedDrops, RekeyedPacketsOpenAtTheReceiverAcrossEpochs)
{
    TunnelCrypto rekeying(2998);
    Configure(rekeying, 8);
    AddKey(rekeying, 7, kMasterKey, kMasterSalt, 1000);
    AddKey(receiver, 8, kOtherMasterKey, kOtherMasterSalt, 1000);  // the period is per object
    for (uint64_t counter = 2998; counter <= 3001; ++counter) {
        const Bytes sealed = Build(rekeying, Payload(20));
        const reference::TrafficKeys keys =
            reference::Derive(kMasterKey, kMasterSalt, counter < 3000 ? 2 : 3);
        EXPECT_EQ(sealed, reference::AuthenticatedPacket(keys, 7, 0x1234, counter, 2, 5004, Payload(20)))
            << "counter " << counter;
        EXPECT_EQ(Open(receiver, sealed, opened), OpenResult::kOpened) << "counter " << counter;
    }
}

TEST_F(AuthenticatedDrops, LengthsAndFormats)
{
    for (size_t size = 0; size < 70; ++size) {
        Bytes cut(packet.begin(), packet.begin() + static_cast<long>(size));
        EXPECT_NE(Open(receiver, cut, opened), OpenResult::kOpened) << "size " << size;
    }
    EXPECT_EQ(Open(receiver, {}, opened), OpenResult::kNothing);
    EXPECT_EQ(Open(receiver, Bytes(packet.begin(), packet.begin() + 50), opened), OpenResult::kLength);

    Bytes kind4 = packet;
    kind4[1] = 4;
    EXPECT_EQ(Open(receiver, kind4, opened), OpenResult::kKind);

    TunnelCrypto legacy(0);
    Configure(legacy, 0);
    EXPECT_EQ(Open(legacy, packet, opened), OpenResult::kFormat);
    EXPECT_EQ(Open(receiver, Build(legacy, Payload(60)), opened), OpenResult::kFormat);

    TunnelCrypto typeNine(0);
    Configure(typeNine, 9);
    AddKey(typeNine, 7, kMasterKey, kMasterSalt);
    EXPECT_EQ(Open(typeNine, packet, opened), OpenResult::kNoKey);
}

TEST_F(AuthenticatedDrops, LoopFilterDropsOnlyOurOwnTag)
{
    receiver.SetSourceTag(0x0102030405060708);
    EXPECT_EQ(Open(receiver, packet, opened, true), OpenResult::kLoopFilter);
    EXPECT_EQ(Open(receiver, packet, opened, false), OpenResult::kOpened);
    receiver.SetSourceTag(0x0102030405060709);
    EXPECT_EQ(Open(receiver, packet, opened, true), OpenResult::kOpened);
}

// --- Drop rules: legacy --------------------------------------------------------

TEST(LegacyDrops, LengthFieldBeyondTheDataIsDropped)
{
    TunnelCrypto plain(0);
    Configure(plain, 0);
    Bytes packet = Build(plain, Payload(10));
    packet[10] = 11;
    TunnelPacket opened;
    EXPECT_EQ(Open(plain, packet, opened), OpenResult::kLength);
    packet[10] = 9;
    ASSERT_EQ(Open(plain, packet, opened), OpenResult::kOpened);
    EXPECT_EQ(opened.length, 9u);

    // Enciphered: 10 bytes in two 8-byte blocks plus 2 trailing bytes. A
    // length reaching into the trailing bytes claims bytes that were never
    // deciphered from whole blocks of the datagram.
    TunnelCrypto cast(0);
    Configure(cast, 3);
    Bytes sealed = Build(cast, Payload(10));
    ASSERT_EQ(sealed.size(), 14u + 16u + 2u);
    for (uint16_t length : {17, 18, 65535}) {
        sealed[12] = static_cast<uint8_t>(length);
        sealed[13] = static_cast<uint8_t>(length >> 8);
        EXPECT_EQ(Open(cast, sealed, opened), OpenResult::kLength) << "length " << length;
    }
    sealed[12] = 16;
    sealed[13] = 0;
    ASSERT_EQ(Open(cast, sealed, opened), OpenResult::kOpened);
    EXPECT_EQ(opened.length, 16u);
    EXPECT_TRUE(std::equal(opened.data, opened.data + 10, Payload(10).begin()));
    EXPECT_TRUE(std::all_of(opened.data + 10, opened.data + 16, [](uint8_t b) { return b == 0; }))
        << "the padding of the last block deciphers to zeros";
}

TEST(LegacyDrops, EveryTruncationIsOpenedWithinItsBytesOrDropped)
{
    for (int32_t type : {0, 1, 2, 5, 7}) {
        TunnelCrypto crypto(0);
        Configure(crypto, type);
        const Bytes payload = Payload(21);
        const Bytes packet = Build(crypto, payload);
        for (size_t size = 0; size <= packet.size(); ++size) {
            TunnelPacket opened;
            const OpenResult result = Open(crypto, Bytes(packet.begin(), packet.begin() + static_cast<long>(size)), opened);
            if (result == OpenResult::kOpened) {
                EXPECT_EQ(Contents(opened), payload) << "type " << type << " size " << size;
            }
        }
    }
}

TEST(LegacyDrops, TypesFormatsKindsAndLoopFilter)
{
    TunnelCrypto crypto(0);
    Configure(crypto, 2, 0x7788);
    Bytes packet = Build(crypto, Payload(30));
    TunnelPacket opened;
    EXPECT_EQ(Open(crypto, packet, opened, true), OpenResult::kLoopFilter);
    crypto.SetSourceTag(0x1'0000'7788);  // high bits set: a legacy tag cannot be ours
    EXPECT_EQ(Open(crypto, packet, opened, true), OpenResult::kOpened);

    packet[1] = 0xFF;
    EXPECT_EQ(Open(crypto, packet, opened), OpenResult::kKind);
    packet[1] = 0;
    EXPECT_EQ(Open(crypto, packet, opened), OpenResult::kOpened) << "kind bytes 0 to 3 are received";
    EXPECT_EQ(opened.kind, 0);

    // The legacy format carries no authentication: another cipher opens
    // the packet, but to other bytes.
    TunnelCrypto otherType(0);
    Configure(otherType, 3);
    ASSERT_EQ(Open(otherType, packet, opened), OpenResult::kOpened);
    EXPECT_NE(Contents(opened), Payload(30));

    TunnelCrypto unkeyed(0);
    unkeyed.SetCryptoType(2);
    EXPECT_EQ(Open(unkeyed, packet, opened), OpenResult::kNoKey);

    TunnelCrypto negative(0);
    negative.SetCryptoType(-1);
    EXPECT_EQ(Open(negative, packet, opened), OpenResult::kFormat);
}

// --- Packet buffer growth -------------------------------------------------------

TEST(PacketGrowth, GrowsToTheOpeningSizeAndKeepsLargerBuffers)
{
    TunnelCrypto sealed(0);
    Configure(sealed, 8);
    AddKey(sealed, 1, kMasterKey, kMasterSalt);
    TunnelCrypto cast(0);
    Configure(cast, 3);

    TunnelPacket small;
    small.Reserve(8);
    const Bytes authPacket = Build(sealed, Payload(300));
    ASSERT_EQ(Open(sealed, authPacket, small), OpenResult::kOpened);
    EXPECT_EQ(small.capacity, authPacket.size() + 148);

    TunnelPacket legacy;
    legacy.Reserve(8);
    const Bytes castPacket = Build(cast, Payload(300));
    ASSERT_EQ(Open(cast, castPacket, legacy), OpenResult::kOpened);
    EXPECT_EQ(legacy.capacity, castPacket.size() + 100);

    TunnelPacket large;
    large.Reserve(65535);
    const uint8_t* block = large.data;
    ASSERT_EQ(Open(cast, castPacket, large), OpenResult::kOpened);
    EXPECT_EQ(large.data, block);
    EXPECT_EQ(large.capacity, 65535u);

    TunnelPacket grown;
    grown.Reserve(4);
    grown.length = 3;
    grown.kind = 0;
    GrowForOpen(grown, 500);
    EXPECT_EQ(grown.capacity, 500u);
    EXPECT_EQ(grown.length, 0u);
    EXPECT_EQ(grown.kind, TunnelPacket::kDataKind);
}

}  // namespace

namespace {

// --- Threads ---------------------------------------------------------------------

// One socket's crypto is used by the sending threads, the receiver thread
// and the engine adding keys, all at once (ThreadSanitizer checks the locks).
TEST(Threads, SendReceiveAndAddKeyOnOneObject)
{
    TunnelCrypto crypto(0);
    Configure(crypto, 8);
    AddKey(crypto, 1, kMasterKey, kMasterSalt, 16);
    TunnelCrypto peer(0);
    Configure(peer, 8);
    AddKey(peer, 1, kMasterKey, kMasterSalt, 16);

    constexpr int kPackets = 200;
    std::vector<Bytes> fromPeer;
    for (int i = 0; i < kPackets; ++i)
        fromPeer.push_back(Build(peer, Payload(64, static_cast<uint8_t>(i))));

    std::atomic<int> sent{0};
    std::thread sender([&] {
        for (int i = 0; i < kPackets; ++i)
            sent += Build(crypto, Payload(64)).size() == 64 + 70 ? 1 : 0;
    });
    std::thread keys([&] {
        for (uint32_t id = 2; id < 6; ++id)
            AddKey(crypto, id, kOtherMasterKey, kOtherMasterSalt, 16);
    });
    int opened = 0;
    TunnelPacket packet;
    for (const Bytes& datagram : fromPeer)
        opened += Open(crypto, datagram, packet) == OpenResult::kOpened ? 1 : 0;
    sender.join();
    keys.join();
    EXPECT_EQ(sent.load(), kPackets);
    EXPECT_EQ(opened, kPackets);
}

}  // namespace
