// Building and opening tunnel packets: the worked examples byte for byte,
// round trips of every crypto type, and the drop rules.

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
#include <tuple>
#include <vector>

namespace zan {

namespace {

using namespace packet_test_data;
using namespace TunnelPacketFormat;
using Bytes = std::vector<uint8_t>;

// One tunnel end; type 8 ends get key 7 unless told otherwise.
struct End : TunnelCrypto {
    explicit End(int32_t type, uint64_t counter = 0, int64_t tag = 0x1234, uint32_t period = 0)
        : TunnelCrypto(counter)
    {
        SetCryptoType(type);
        SetSourceTag(tag);
        if (type > 0 && type < 8)
            (void)SetLegacyKey("tunnel key text");
        Add(7, kMasterKey, kMasterSalt, period);
    }
    void Add(uint32_t id, std::span<const uint8_t> key, std::span<const uint8_t> salt, uint32_t period = 0)
    {
        AddKey(id, key.data(), static_cast<uint32_t>(key.size()), salt.data(),
               static_cast<uint32_t>(salt.size()), period);
    }
};

// Builds into the buffer size the sender reserves; `result` gets the result.
Bytes Build(TunnelCrypto& crypto, std::span<const uint8_t> payload, uint8_t kind = kDataKind,
            int32_t* result = nullptr)
{
    Bytes out(SendBufferSize(crypto.CryptoType(), static_cast<uint32_t>(payload.size()), false));
    const int32_t size = BuildPacket(crypto, payload, kExamplePort, kind, out);
    if (result != nullptr)
        *result = size;
    out.resize(size > 0 ? static_cast<size_t>(size) : 0);
    return out;
}

// Opens an exact-size copy, so a read past the end is an ASan error.
OpenResult Open(TunnelCrypto& crypto, const Bytes& datagram, TunnelPacket& packet, bool loopFilter = false)
{
    const Bytes exact(datagram);
    return OpenPacket(crypto, exact, loopFilter, packet);
}

Bytes Contents(const TunnelPacket& packet) { return Bytes(packet.data, packet.data + packet.length); }

TEST(PacketWorkedExample, LegacyTypeZero)
{
    End sender(0, 0, kExampleSourceTag);
    Bytes expected(kLegacyExampleHeader.begin(), kLegacyExampleHeader.end());
    expected.insert(expected.end(), kExamplePayload.begin(), kExamplePayload.end());
    EXPECT_EQ(Build(sender, kExamplePayload), expected);

    End receiver(0);
    TunnelPacket opened;
    ASSERT_EQ(Open(receiver, expected, opened), OpenResult::kOpened);
    EXPECT_EQ(opened.endpoint.port, kExamplePort);
    EXPECT_EQ(Contents(opened), Bytes(kExamplePayload.begin(), kExamplePayload.end()));
}

TEST(PacketWorkedExample, AuthenticatedKeysIvBytesAndFrame)
{
    End sender(8, kExampleCounter, kExampleSourceTag);
    const Bytes packet = Build(sender, kExamplePayload);
    ASSERT_EQ(packet.size(), 75u);
    EXPECT_TRUE(std::equal(kAuthExampleHeader.begin(), kAuthExampleHeader.end(), packet.begin()));

    // The AES key (16 derived bytes, 16 zero bytes) and the salted IV are
    // checked through the whole packet.
    EXPECT_EQ(TunnelCrypto::BuildIv(std::array<uint8_t, 14>{}, 1, kExampleCounter), kAuthExampleIvBeforeSalt);
    const reference::TrafficKeys keys = reference::Derive(kMasterKey, kMasterSalt, 0);
    EXPECT_EQ(packet, reference::AuthenticatedPacket(keys, 7, 1, kExampleCounter, kExamplePort, kExamplePayload));

    End receiver(8);
    TunnelPacket opened;
    ASSERT_EQ(Open(receiver, packet, opened), OpenResult::kOpened);
    EXPECT_EQ(opened.endpoint.port, kExamplePort);
    EXPECT_EQ(Contents(opened), Bytes(kExamplePayload.begin(), kExamplePayload.end()));

    End tcp(8, kExampleCounter, kExampleSourceTag);
    Bytes frame(SendBufferSize(8, 5, true));
    ASSERT_EQ(BuildFrame(tcp, kExamplePayload, kExamplePort, kDataKind, frame), 77);
    Bytes expectedFrame = {0x4B, 0x00};
    expectedFrame.insert(expectedFrame.end(), packet.begin(), packet.end());
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 77), expectedFrame);
}

TEST(PacketKeepAlive, SizesAndNeverDeliveredAsData)
{
    for (int32_t type = 0; type <= 8; ++type) {
        End sender(type);
        End receiver(type);
        const Bytes packet = Build(sender, kKeepAlivePayload, kKeepAliveKind);
        const size_t expected = type == 8 ? 71 : type == 0 ? 13 : 16 + CipherEngine::BlockSize(type);
        EXPECT_EQ(packet.size(), expected) << type;
        TunnelPacket opened;
        ASSERT_EQ(Open(receiver, packet, opened), OpenResult::kOpened) << type;
        EXPECT_EQ(opened.kind, 3) << type;
        EXPECT_EQ(opened.endpoint.port, kExamplePort) << type;
    }
}

// A sealed-format packet of any kind counts only once it authenticates: a
// keep-alive made without the key (the forger's, which redirected a
// listening end) and a real one with one bit changed are both dropped, each
// under its reason.
TEST(PacketKeepAlive, SealedKindsMustAuthenticateLikeData)
{
    End sender(8, 5000);
    End receiver(8);
    const Bytes real = Build(sender, kKeepAlivePayload, kKeepAliveKind);
    Bytes forged(102, 0xEE);
    forged[0] = kAuthenticatedFormat;
    forged[1] = 3;
    Bytes forgedUnderKey7 = forged;
    forgedUnderKey7[2] = 7;
    forgedUnderKey7[3] = 0;
    Bytes flipped = real;
    flipped[25] ^= 0x10;
    Bytes kindZero = real;
    kindZero[1] = 0;
    const struct {
        const char* what;
        Bytes datagram;
        OpenResult expected;
    } cases[] = {
        {"real keep-alive", real, OpenResult::kOpened},
        {"forged, unknown key id", forged, OpenResult::kNoKey},
        {"forged under a known key id", forgedUnderKey7, OpenResult::kDigest},
        {"real with a flipped bit", flipped, OpenResult::kDigest},
        {"real with another kind byte", kindZero, OpenResult::kDigest},
        {"unsealed 22-byte keep-alive", Bytes{2, 3, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x13, 0x8C},
         OpenResult::kLength},
    };
    for (const auto& c : cases) {
        TunnelPacket opened;
        EXPECT_EQ(Open(receiver, c.datagram, opened), c.expected) << c.what;
        if (c.expected != OpenResult::kOpened) {
            EXPECT_EQ(opened.length, 0u) << c.what;
        }
    }
    const auto header = ReadSealedHeader(real);
    ASSERT_TRUE(header.has_value());
    using HeaderFields = std::tuple<uint16_t, int64_t, uint64_t>;
    EXPECT_EQ(HeaderFields(header->keyId, header->sourceTag, header->counter), HeaderFields(7, 0x1234, 5000));
    EXPECT_FALSE(ReadSealedHeader(Bytes(19, 2)).has_value());
}

TEST(PacketRoundTrip, EveryLegacyTypeAroundBlockBoundaries)
{
    for (int32_t type = 0; type <= 7; ++type) {
        End sender(type);
        End receiver(type);
        const size_t block = CipherEngine::BlockSize(type);
        for (size_t size : std::set<size_t>{1, block - 1 + (block == 1), block, block + 1, 2 * block, 65535}) {
            const Bytes payload = Pattern(size);
            const Bytes packet = Build(sender, payload);
            ASSERT_EQ(packet.size(), PacketSize(type, size)) << type << "/" << size;
            if (type >= 1 && type <= 6) {
                EXPECT_FALSE(std::equal(payload.begin(), payload.end(), packet.begin() + 14)) << type;
            }
            if (type != 0) {
                EXPECT_EQ(packet[packet.size() - 2] | packet[packet.size() - 1], 0) << "zero trailer " << type;
            }
            TunnelPacket opened;
            ASSERT_EQ(Open(receiver, packet, opened), OpenResult::kOpened) << type << "/" << size;
            EXPECT_EQ(Contents(opened), payload) << type << "/" << size;
        }
    }
}

// How key texts fill the key is the cipher engine's; here only that a packet
// carries no state into the next one.
TEST(PacketRoundTrip, LegacyIvRestartsWithEveryPacket)
{
    for (int32_t type = 1; type <= 6; ++type) {
        End end(type);
        EXPECT_EQ(Build(end, Pattern(37)), Build(end, Pattern(37))) << type;
    }
}

TEST(PacketRoundTrip, AuthenticatedSizesAcrossRekeyEpochs)
{
    End sender(8, 77, 0x1234, 2);  // a new epoch every other packet
    End receiver(8, 0, 0x99, 2);
    for (size_t size : {0, 1, 14, 15, 16, 17, 32, 1200, 65535}) {
        const Bytes payload = Pattern(size, static_cast<uint8_t>(size));
        TunnelPacket opened;
        ASSERT_EQ(Open(receiver, Build(sender, payload), opened), OpenResult::kOpened) << size;
        EXPECT_EQ(Contents(opened), payload) << size;
    }
}

TEST(PacketBuildFailure, ResultsForMissingKeysBadInputAndLongFrames)
{
    int32_t result = 0;
    TunnelCrypto noKey(0);
    noKey.SetCryptoType(8);
    (void)Build(noKey, Pattern(10), kDataKind, &result);
    EXPECT_EQ(result, kCryptoError);
    End typeNine(9);
    (void)Build(typeNine, Pattern(10), kDataKind, &result);
    EXPECT_EQ(result, kCryptoError) << "no key can be added above type 8";
    End legacy(4);
    (void)Build(legacy, {}, kDataKind, &result);
    EXPECT_EQ(result, kBuildRefused) << "an enciphered packet needs a payload";
    End plainSender(0);
    Bytes tooLong(kMaxPayload + 1);
    Bytes roomy(tooLong.size() + 200);
    EXPECT_EQ(BuildPacket(plainSender, tooLong, 1, kDataKind, roomy), kBuildRefused) << "longer than a length field";

    Bytes frame(40000);
    End plain(0);
    EXPECT_EQ(BuildFrame(plain, Pattern(32767 - 12), 1, kDataKind, frame), 32769);
    EXPECT_EQ(BuildFrame(plain, Pattern(32768 - 12), 1, kDataKind, frame), kBuildRefused);
    End sealed(8, 500);
    EXPECT_EQ(BuildFrame(sealed, Pattern(32767 - 69), 1, kDataKind, frame), kBuildRefused);
    EXPECT_EQ(sealed.PacketCounter(), 500u) << "a refused frame uses no counter value";
}

class PacketAuthenticatedDrops : public ::testing::Test {
protected:
    void SetUp() override { packet = Build(sender, Pattern(48)); }

    End sender{8, 1000, 0x0102030405060708};
    End receiver{8};
    Bytes packet;
    TunnelPacket opened;
};

TEST_F(PacketAuthenticatedDrops, AnyFlippedBitBeforeTheDigestIsRejected)
{
    for (size_t bit = 0; bit < (packet.size() - 32) * 8; ++bit) {
        Bytes bad = packet;
        bad[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        const OpenResult result = Open(receiver, bad, opened);
        const size_t byte = bit / 8;
        OpenResult expected = OpenResult::kDigest;
        if (byte == 0) {
            expected = OpenResult::kFormat;
        } else if (byte == 1 && bad[1] > kMaxKindByte) {
            expected = OpenResult::kKind;
        } else if (byte == 2 || byte == 3) {
            expected = OpenResult::kNoKey;
        }
        EXPECT_EQ(result, expected) << "bit " << bit;
    }
    Bytes bad = packet;
    bad.back() ^= 0x80;
    EXPECT_EQ(Open(receiver, bad, opened), OpenResult::kDigest);
    EXPECT_EQ(opened.length, 0u);
}

TEST_F(PacketAuthenticatedDrops, BadTagUnderAGoodDigestFailsGcm)
{
    Bytes bad = packet;
    bad[packet.size() - 40] ^= 1;
    const reference::TrafficKeys keys = reference::Derive(kMasterKey, kMasterSalt, 0);
    const Bytes digest = reference::Hmac(keys.authentication, std::span(bad).first(bad.size() - 32));
    std::copy(digest.begin(), digest.end(), bad.end() - 32);
    EXPECT_EQ(Open(receiver, bad, opened), OpenResult::kGcmTag);
}

TEST_F(PacketAuthenticatedDrops, KeyIdsAndKeys)
{
    TunnelCrypto onlyNine(0);
    onlyNine.SetCryptoType(8);
    onlyNine.AddKey(9, kOtherMasterKey.data(), 32, kOtherMasterSalt.data(), 14, 0);
    receiver.Add(9, kOtherMasterKey, kOtherMasterSalt);
    EXPECT_EQ(Open(receiver, packet, opened), OpenResult::kOpened) << "key 7";
    EXPECT_EQ(Open(receiver, Build(onlyNine, Pattern(5)), opened), OpenResult::kOpened) << "key 9";

    // Only the low 16 bits of an id travel: 0x10009 arrives as 9.
    TunnelCrypto high(0);
    high.SetCryptoType(8);
    high.AddKey(0x10009, kMasterKey.data(), 32, kMasterSalt.data(), 14, 0);
    const Bytes highPacket = Build(high, Pattern(5));
    EXPECT_EQ(highPacket[2], 9);
    EXPECT_EQ(Open(receiver, highPacket, opened), OpenResult::kDigest) << "key 9 is another key";
    EXPECT_EQ(Open(high, highPacket, opened), OpenResult::kNoKey);

    End typeNine(9);
    EXPECT_EQ(Open(typeNine, packet, opened), OpenResult::kNoKey) << "no key above type 8";
}

TEST_F(PacketAuthenticatedDrops, RekeyedPacketsMatchTheReferenceAcrossAnEpoch)
{
    End rekeying(8, 2998, 0x1234, 1000);
    receiver.Add(8, kOtherMasterKey, kOtherMasterSalt, 1000);  // the receiver's own period
    for (uint64_t counter = 2998; counter <= 3001; ++counter) {
        const Bytes sealed = Build(rekeying, Pattern(20));
        const auto keys = reference::Derive(kMasterKey, kMasterSalt, counter < 3000 ? 2 : 3);
        EXPECT_EQ(sealed, reference::AuthenticatedPacket(keys, 7, 0x1234, counter, kExamplePort, Pattern(20)))
            << counter;
        EXPECT_EQ(Open(receiver, sealed, opened), OpenResult::kOpened) << counter;
    }
}

TEST_F(PacketAuthenticatedDrops, LengthsFormatsKindsAndLoopFilter)
{
    EXPECT_EQ(Open(receiver, {}, opened), OpenResult::kNothing);
    for (size_t size = 1; size < 70; ++size)
        EXPECT_NE(Open(receiver, Bytes(packet.begin(), packet.begin() + long(size)), opened), OpenResult::kOpened);
    Bytes kind4 = packet;
    kind4[1] = 4;
    EXPECT_EQ(Open(receiver, kind4, opened), OpenResult::kKind);
    Bytes huge = packet;
    huge.resize(kMaxDatagram + 1);
    EXPECT_EQ(Open(receiver, huge, opened), OpenResult::kLength);

    End legacy(0);
    EXPECT_EQ(Open(legacy, packet, opened), OpenResult::kFormat);
    EXPECT_EQ(Open(receiver, Build(legacy, Pattern(60)), opened), OpenResult::kFormat);

    receiver.SetSourceTag(0x0102030405060708);
    EXPECT_EQ(Open(receiver, packet, opened, true), OpenResult::kLoopFilter);
    EXPECT_EQ(Open(receiver, packet, opened, false), OpenResult::kOpened);
}

TEST(PacketLegacyDrops, LengthFieldBeyondTheDecipheredBytes)
{
    End plain(0);
    Bytes packet = Build(plain, Pattern(10));
    packet[10] = 11;
    TunnelPacket opened;
    EXPECT_EQ(Open(plain, packet, opened), OpenResult::kLength);

    // 10 bytes in two 8-byte blocks, then 2 trailing bytes: a length reaching
    // into the trailing bytes claims bytes no whole block deciphered.
    End cast(3);
    Bytes sealed = Build(cast, Pattern(10));
    ASSERT_EQ(sealed.size(), 32u);
    for (uint16_t length : {17, 18, 65535}) {
        sealed[12] = static_cast<uint8_t>(length);
        sealed[13] = static_cast<uint8_t>(length >> 8);
        EXPECT_EQ(Open(cast, sealed, opened), OpenResult::kLength) << length;
    }
    sealed[12] = 16;
    sealed[13] = 0;
    ASSERT_EQ(Open(cast, sealed, opened), OpenResult::kOpened);
    Bytes padded = Pattern(10);
    padded.resize(16);
    EXPECT_EQ(Contents(opened), padded) << "the zero padding deciphers to zeros";

    for (int32_t type : {0, 1, 2, 7}) {  // every truncation opens right or is dropped
        End end(type);
        const Bytes whole = Build(end, Pattern(21));
        for (size_t size = 0; size < whole.size(); ++size) {
            if (Open(end, Bytes(whole.begin(), whole.begin() + long(size)), opened) == OpenResult::kOpened) {
                EXPECT_EQ(Contents(opened), Pattern(21)) << type << "/" << size;
            }
        }
    }
}

TEST(PacketLegacyDrops, LoopFilterAndKinds)
{
    End end(2, 0, 0x7788);
    Bytes packet = Build(end, Pattern(30));
    TunnelPacket opened;
    EXPECT_EQ(Open(end, packet, opened, true), OpenResult::kLoopFilter);
    end.SetSourceTag(0x1'0000'7788);  // high bits set: no legacy packet carries it
    EXPECT_EQ(Open(end, packet, opened, true), OpenResult::kOpened);
    packet[1] = 4;
    EXPECT_EQ(Open(end, packet, opened), OpenResult::kKind);
}

TEST(PacketGrowth, GrowsToTheOpeningSizeOnly)
{
    End sealed(8);
    End cast(3);
    const Bytes authPacket = Build(sealed, Pattern(300));
    const Bytes castPacket = Build(cast, Pattern(300));
    TunnelPacket packet;
    packet.Reserve(8);
    ASSERT_EQ(Open(sealed, authPacket, packet), OpenResult::kOpened);
    EXPECT_EQ(packet.capacity, authPacket.size() + 148);
    TunnelPacket legacy;
    legacy.Reserve(8);
    ASSERT_EQ(Open(cast, castPacket, legacy), OpenResult::kOpened);
    EXPECT_EQ(legacy.capacity, castPacket.size() + 100);
    const uint8_t* block = packet.data;
    ASSERT_EQ(Open(cast, castPacket, packet), OpenResult::kOpened);
    EXPECT_EQ(packet.data, block) << "a large enough packet keeps its block";
}

// The sending threads, the receiver thread and the engine adding keys use
// one object at once (ThreadSanitizer checks the locks).
TEST(PacketThreads, SendReceiveAndAddKeyOnOneObject)
{
    End crypto(8, 0, 1, 16);
    End peer(8, 0, 2, 16);
    std::vector<Bytes> fromPeer;
    for (int i = 0; i < 200; ++i)
        fromPeer.push_back(Build(peer, Pattern(64, static_cast<uint8_t>(i))));
    std::atomic<int> sent{0};
    std::thread sender([&] {
        for (int i = 0; i < 200; ++i)
            sent += Build(crypto, Pattern(64)).size() == 134 ? 1 : 0;
    });
    std::thread keys([&] {
        for (uint32_t id = 20; id < 24; ++id)
            crypto.Add(id, kOtherMasterKey, kOtherMasterSalt, 16);
    });
    int opened = 0;
    TunnelPacket packet;
    for (const Bytes& datagram : fromPeer)
        opened += Open(crypto, datagram, packet) == OpenResult::kOpened ? 1 : 0;
    sender.join();
    keys.join();
    EXPECT_EQ(sent.load(), 200);
    EXPECT_EQ(opened, 200);
}

}  // namespace

} // namespace zan
