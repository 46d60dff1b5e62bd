// Which peer a listening UDP tunnel sends to: learned from the first packet
// that opened, followed to a new address only on an authenticated packet
// never seen before (sealed format) or after half a minute of silence
// (legacy format). Forgeries, altered copies and replays move nothing and
// are counted.

#include "PeerTracker.h"
#include "TunnelCrypto.h"
#include "TunnelPacketFormat.h"
#include "engine_test_util.h"

#include <initializer_list>
#include <random>
#include <set>

namespace zan {

namespace {

using namespace enginetest;
using TunnelPacketFormat::OpenResult;
using TunnelPacketFormat::SealedHeader;
using Bytes = std::vector<uint8_t>;

using packet_test_data::kMasterKey;
using packet_test_data::kMasterSalt;
constexpr uint32_t kKeyId = 7;

// ---------------------------------------------------------------------------
// The replay window and the tracker alone

// Random keys against a plain model: a copy is told, another sender's
// counter is new, and only the oldest is forgotten; removals from the
// open-addressed table must never lose a key that is still remembered nor
// keep one forgotten.
TEST(ReplayWindow, AgreesWithAModelOverManyRandomPackets)
{
    ReplayWindow window;
    std::vector<std::pair<int64_t, uint64_t>> order;
    std::set<std::pair<int64_t, uint64_t>> remembered;
    std::mt19937_64 random(42);
    for (int i = 0; i < 60000; ++i) {
        // Few tags and a narrow counter range, so copies are frequent.
        const std::pair<int64_t, uint64_t> packet{static_cast<int64_t>(random() % 3), random() % 12000};
        const bool isNew = remembered.count(packet) == 0;
        ASSERT_EQ(window.Accept(packet.first, packet.second), isNew) << i;
        if (isNew) {
            order.push_back(packet);
            remembered.insert(packet);
            if (remembered.size() > ReplayWindow::kCapacity) {
                remembered.erase(order[order.size() - ReplayWindow::kCapacity - 1]);
            }
        }
    }
}

TEST(PeerTracker, VerdictsForEachKindOfSender)
{
    using V = PeerTracker::Verdict;
    const auto sealed = [](uint64_t counter, int64_t tag = 1) {
        return std::optional<SealedHeader>(SealedHeader{kKeyId, tag, counter});
    };
    const std::optional<SealedHeader> legacy;
    PeerTracker fixed;
    fixed.Reset(false);
    EXPECT_EQ(fixed.Observe("10.0.0.1", 1, sealed(1), 0), V::kFixed);

    struct Step {
        const char* what;
        const char* address;
        uint32_t port;
        std::optional<SealedHeader> seal;
        int64_t now;
        V expected;
        uint32_t peerPort;  // afterwards
    };
    const Step sealedSteps[] = {
        {"first packet", "10.0.0.1", 1000, sealed(50), 0, V::kLearned, 1000},
        {"from the peer", "10.0.0.1", 1000, sealed(51), 10, V::kSame, 1000},
        {"restarted peer, new counter", "10.0.0.1", 2000, sealed(900'000), 20, V::kMoved, 2000},
        {"copy of an old packet from elsewhere", "10.0.0.9", 3000, sealed(51), 30, V::kKept, 2000},
        {"copy of the newest from elsewhere", "10.0.0.9", 3000, sealed(900'000), 40, V::kKept, 2000},
        {"NAT rebinding", "10.0.0.2", 2000, sealed(900'001), 50, V::kMoved, 2000},
        {"late packet of the old address", "10.0.0.1", 2000, sealed(52), 60, V::kMoved, 2000},
    };
    PeerTracker tracker;
    tracker.Reset(true);
    for (const Step& s : sealedSteps) {
        EXPECT_EQ(tracker.Observe(s.address, s.port, s.seal, s.now), s.expected) << s.what;
        EXPECT_EQ(tracker.Port(), s.peerPort) << s.what;
    }
    EXPECT_EQ(tracker.Address(), "10.0.0.1");

    const int64_t t0 = 1'000'000;
    const Step legacySteps[] = {
        {"first packet", "10.0.0.1", 1000, legacy, t0, V::kLearned, 1000},
        {"another sender at once", "10.0.0.9", 9, legacy, t0 + 1, V::kKept, 1000},
        {"peer again", "10.0.0.1", 1000, legacy, t0 + 5000, V::kSame, 1000},
        {"another sender after 27 s exactly", "10.0.0.9", 9, legacy, t0 + 5000 + 27000, V::kKept, 1000},
        {"another sender after more than 27 s", "10.0.0.1", 2000, legacy, t0 + 5000 + 27001, V::kMoved, 2000},
        {"the old one again", "10.0.0.1", 1000, legacy, t0 + 40000, V::kKept, 2000},
        {"clock back: silence counts from now", "10.0.0.9", 9, legacy, t0, V::kKept, 2000},
        {"27 s after the jump", "10.0.0.9", 9, legacy, t0 + 27001, V::kMoved, 9},
    };
    tracker.Reset(true);
    for (const Step& s : legacySteps) {
        EXPECT_EQ(tracker.Observe(s.address, s.port, s.seal, s.now), s.expected) << s.what;
        EXPECT_EQ(tracker.Port(), s.peerPort) << s.what;
    }
}

// ---------------------------------------------------------------------------
// A listening engine and peers played by the test

// A peer of the test: builds real packets under the tunnel's key (or legacy
// type 0) and sends them from its own UDP port.
class TestPeer {
public:
    TestPeer(uint32_t cryptoType, uint64_t counterStart) : crypto(counterStart)
    {
        crypto.SetCryptoType(static_cast<int32_t>(cryptoType));
        crypto.SetSourceTag(0x5151);
        crypto.AddKey(kKeyId, kMasterKey.data(), 32, kMasterSalt.data(), 14, 0);
    }
    Bytes Packet(uint8_t kind, const Bytes& payload, uint16_t port = 6000)
    {
        Bytes out(TunnelPacketFormat::SendBufferSize(crypto.CryptoType(), static_cast<uint32_t>(payload.size()), false));
        const int32_t size = TunnelPacketFormat::BuildPacket(crypto, payload, port, kind, out);
        EXPECT_GT(size, 0);
        out.resize(static_cast<size_t>(std::max(size, 0)));
        return out;
    }
    void Send(uint16_t to, const Bytes& packet) { end.SendTo("127.0.0.1", to, packet); }
    uint32_t Port() const { return end.port; }

    TunnelCrypto crypto;
    UdpEnd end;
};

class ListeningEnd {
public:
    explicit ListeningEnd(uint32_t cryptoType) : tunnelPort(FreeUdpPort())
    {
        engine.SetEvents(&events);
        engine.SetDeliveryAddress("127.0.0.5");
        ListenOnLoopback(engine, tunnelPort, cryptoType, "");
        engine.AddKey(kKeyId, kMasterKey.data(), 32, kMasterSalt.data(), 14, 0);
        engine.StartReceiver();
    }
    // Waits until the engine opened or dropped `count` packets in all.
    bool WaitHandled(uint64_t count)
    {
        return WaitUntil([&] {
            const auto s = engine.Statistics();
            return s.datagramsReceived + s.keepAlivesReceived + s.Drops() >= count;
        });
    }
    // Sends the datagrams from `from` and waits until the engine has handled
    // `handled` packets in all.
    void Inject(UdpEnd& from, std::initializer_list<Bytes> datagrams, uint64_t handled)
    {
        for (const Bytes& datagram : datagrams) {
            from.SendTo("127.0.0.1", tunnelPort, datagram);
        }
        ASSERT_TRUE(WaitHandled(handled));
    }
    uint64_t Drop(OpenResult reason) { return engine.Statistics().drops[static_cast<size_t>(reason)]; }
    std::vector<std::string> PeerEvents() { return events.Texts("peer"); }

    RecordingEvents events;
    CTunnel engine;
    uint16_t tunnelPort;
};

TEST(PeerFollowing, ForgedAndAlteredKeepAlivesMoveNothingAndAreCounted)
{
    ListeningEnd listening(8);
    TestPeer peer(8, 1000);
    UdpEnd forger;

    // The forgery that once redirected a fresh listening end: 102 bytes,
    // sealed format, keep-alive kind, no valid digest.
    Bytes forged(102, 0x41);
    std::fill_n(forged.begin(), 4, 0);
    forged[0] = 2;
    forged[1] = 3;
    listening.Inject(forger, {forged}, 1);
    EXPECT_FALSE(listening.engine.IsDestinationSet()) << "a forgery teaches no peer";

    peer.Send(listening.tunnelPort, peer.Packet(TunnelPacketFormat::kKeepAliveKind, {0}));
    ASSERT_TRUE(WaitUntil([&] { return listening.engine.IsDestinationSet(); }));
    EXPECT_EQ(listening.engine.Destination().port, peer.Port());

    Bytes flipped = peer.Packet(TunnelPacketFormat::kKeepAliveKind, {0});
    flipped[30] ^= 0x01;
    Bytes underKnownId = forged;
    underKnownId[2] = static_cast<uint8_t>(kKeyId);
    listening.Inject(forger, {forged, underKnownId, flipped}, 5);

    const auto stats = listening.engine.Statistics();
    EXPECT_EQ(listening.engine.Destination().port, peer.Port());
    EXPECT_EQ(stats.keepAlivesReceived, 1u) << "only the real keep-alive counts as received";
    EXPECT_EQ(stats.unauthenticatedControl, 4u);
    EXPECT_EQ(listening.Drop(OpenResult::kNoKey), 2u);
    EXPECT_EQ(listening.Drop(OpenResult::kDigest), 2u);
    EXPECT_EQ(stats.peerChanges, 0u);
    EXPECT_TRUE(listening.PeerEvents().empty());
}

TEST(PeerFollowing, SealedPeerIsFollowedAtItsFirstPacketButNotByACopy)
{
    ListeningEnd listening(8);
    TestPeer first(8, 1000);
    first.Send(listening.tunnelPort, first.Packet(TunnelPacketFormat::kDataKind, {1, 2, 3}));
    ASSERT_TRUE(WaitUntil([&] { return listening.engine.IsDestinationSet(); }));

    // The peer restarts: a new port and a counter that starts elsewhere
    // (here lower, so counters cannot tell which is newer).
    TestPeer restarted(8, 10);
    const Bytes accepted = restarted.Packet(TunnelPacketFormat::kKeepAliveKind, {0});
    restarted.Send(listening.tunnelPort, accepted);
    ASSERT_TRUE(listening.WaitHandled(2));
    EXPECT_EQ(listening.engine.Destination().port, restarted.Port()) << "followed within one packet";
    EXPECT_EQ(listening.engine.Statistics().peerChanges, 1u);
    EXPECT_EQ(listening.PeerEvents(), std::vector<std::string>{"127.0.0.1:" + std::to_string(first.Port()) +
                                                               " -> 127.0.0.1:" + std::to_string(restarted.Port())});

    // Its datagrams now go to the new port.
    UdpEnd local;
    const uint16_t localPort = FreeUdpPort();
    listening.engine.AddReceivePort(localPort, "127.0.0.3");
    local.SendTo("127.0.0.3", localPort, {9, 9});
    Bytes got;
    do {
        got = restarted.end.Receive();
        ASSERT_FALSE(got.empty());
    } while (got[1] != 2);

    // A copy of an accepted packet, from a third address: delivered as a
    // duplicate would be, but the peer stays.
    UdpEnd replayer;
    const Bytes data = restarted.Packet(TunnelPacketFormat::kDataKind, {4, 5});
    listening.Inject(restarted.end, {data}, 3);
    listening.Inject(replayer, {data, accepted}, 5);
    const auto stats = listening.engine.Statistics();
    EXPECT_EQ(listening.engine.Destination().port, restarted.Port());
    EXPECT_EQ(stats.datagramsReceived, 3u) << "the copy is still delivered";
    EXPECT_EQ(stats.peerChanges, 1u);
    EXPECT_EQ(listening.PeerEvents().size(), 1u);
}

TEST(PeerFollowing, ConfiguredDestinationNeverMoves)
{
    TestPeer other(8, 1);
    UdpEnd destination;
    CTunnel engine;
    engine.SetUdpTunnel("127.0.0.1", nullptr, static_cast<uint16_t>(destination.port), 8, "", 0);
    engine.AddKey(kKeyId, kMasterKey.data(), 32, kMasterSalt.data(), 14, 0);
    // The calling end sends from an ephemeral port: find it from its first
    // keep-alive, then answer there from elsewhere.
    engine.StartReceiver();
    const Bytes keepAlive = destination.Receive();
    ASSERT_FALSE(keepAlive.empty());
    other.Send(static_cast<uint16_t>(destination.lastSenderPort),
               other.Packet(TunnelPacketFormat::kKeepAliveKind, {0}));
    ASSERT_TRUE(WaitUntil([&] { return engine.Statistics().keepAlivesReceived == 1; }));
    EXPECT_EQ(engine.Destination().port, destination.port);
    EXPECT_EQ(engine.Statistics().peerChanges, 0u);
}

// Legacy packets carry no authentication: the first peer stays until it has
// been silent for more than 27 s, then the next sender is learned. Until a
// peer is known, local datagrams are dropped and no keep-alive goes out;
// then datagrams go to the peer from the port it called.
TEST(PeerFollowing, LegacyPeerIsReplacedOnlyAfterHalfAMinuteOfSilence)
{
    FakeClock clock(5'000'000);
    ListeningEnd listening(0);
    const uint16_t localPort = FreeUdpPort();
    listening.engine.AddReceivePort(localPort, "127.0.0.3");
    UdpEnd local;
    local.SendTo("127.0.0.3", localPort, {1, 2, 3});
    EXPECT_FALSE(WaitUntil([&] {
        const auto s = listening.engine.Statistics();
        return s.datagramsSent + s.keepAlivesSent > 0;
    }, 300));

    TestPeer first(0, 0);
    TestPeer restarted(0, 0);
    first.Send(listening.tunnelPort, first.Packet(TunnelPacketFormat::kKeepAliveKind, {0}));
    ASSERT_TRUE(WaitUntil([&] { return listening.engine.IsDestinationSet(); }));

    clock.Advance(20000);
    restarted.Send(listening.tunnelPort, restarted.Packet(TunnelPacketFormat::kKeepAliveKind, {0}));
    ASSERT_TRUE(listening.WaitHandled(2));
    EXPECT_EQ(listening.engine.Destination().port, first.Port()) << "20 s of silence is not enough";

    clock.Advance(7001);  // 27001 ms since the first peer's last packet
    restarted.Send(listening.tunnelPort, restarted.Packet(TunnelPacketFormat::kKeepAliveKind, {0}));
    ASSERT_TRUE(listening.WaitHandled(3));
    EXPECT_EQ(listening.engine.Destination().port, restarted.Port()) << "followed within 30 s";
    EXPECT_EQ(listening.engine.Statistics().peerChanges, 1u);
    EXPECT_EQ(listening.PeerEvents().size(), 1u);

    local.SendTo("127.0.0.3", localPort, {7, 8, 9});
    Bytes packet;
    do {
        packet = restarted.end.Receive();
        ASSERT_FALSE(packet.empty());
    } while (packet[1] != TunnelPacketFormat::kDataKindByte);  // skip a keep-alive
    EXPECT_EQ(restarted.end.lastSenderPort, listening.tunnelPort);
    EXPECT_EQ(packet, (Bytes{0x00, 0x02, 0, 0, packet[4], packet[5], packet[6], packet[7],
                             static_cast<uint8_t>(localPort >> 8), static_cast<uint8_t>(localPort), packet[10], packet[11], 7, 8, 9}));
}

} // namespace

} // namespace zan
