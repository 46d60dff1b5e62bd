#include "CTunnel.h"
#include "base_exception.h"
#include "FileSizeLimit.h"
#include "ScopedEnvironment.h"
#include "engine_test_util.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <regex>

namespace zan {

namespace {

using namespace enginetest;

// A 32-byte master key and 14-byte salt, as the host gives them in hex.
constexpr std::array<uint8_t, 32> kMasterKey = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x10, 0x32, 0x54,
                                                0x76, 0x98, 0xBA, 0xDC, 0xFE, 0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A,
                                                0x69, 0x78, 0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0};
constexpr std::array<uint8_t, 14> kMasterSalt = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6,
                                                 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD};

void ExpectCarriedBothWays(uint32_t cryptoType, const std::vector<size_t>& sizes)
{
    EnginePair pair(cryptoType, {});
    ASSERT_TRUE(pair.WaitForPeer()) << "type " << cryptoType;
    for (size_t size : sizes) {
        const auto forward = Pattern(size, static_cast<uint8_t>(size));
        pair.sender.SendTo("127.0.0.2", pair.portA, forward);
        EXPECT_EQ(pair.outOfB.Receive(), forward) << "type " << cryptoType << " A->B size " << size;

        const auto backward = Pattern(size, static_cast<uint8_t>(size + 1));
        pair.sender.SendTo("127.0.0.3", pair.portB, backward);
        EXPECT_EQ(pair.outOfA.Receive(), backward) << "type " << cryptoType << " B->A size " << size;
    }
    // A sender counts a datagram once its send returned: wait for it.
    EXPECT_TRUE(WaitUntil([&] { return pair.b.Statistics().datagramsSent == sizes.size(); }));
    const auto stats = pair.b.Statistics();
    EXPECT_EQ(stats.datagramsReceived, sizes.size());
    EXPECT_EQ(stats.Drops(), 0u);
    EXPECT_TRUE(pair.eventsA.Errors().empty());
    EXPECT_TRUE(pair.eventsB.Errors().empty());
}

TEST(UdpTunnel, CarriesDatagramsBothWaysInEveryFormat)
{
    for (uint32_t type : {0u, 2u, 8u}) {
        ExpectCarriedBothWays(type, {1, 1200, 65000});
    }
    for (uint32_t type : {1u, 3u, 4u, 5u, 6u, 7u}) {
        ExpectCarriedBothWays(type, {200});
    }
}

TEST(UdpTunnel, PortTravelsWithEachDatagram)
{
    EnginePair pair(8, {});
    const uint16_t second = FreeUdpPort();
    UdpEnd secondOut("127.0.0.5", second);
    pair.a.AddReceivePort(second, nullptr);  // on the last receive address, 127.0.0.2
    ASSERT_TRUE(pair.WaitForPeer());

    pair.sender.SendTo("127.0.0.2", second, {1, 2, 3});
    pair.sender.SendTo("127.0.0.2", pair.portA, {4, 5});
    EXPECT_EQ(secondOut.Receive(), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(pair.outOfB.Receive(), (std::vector<uint8_t>{4, 5}));
}

TEST(UdpTunnel, AuthenticatedWithoutKeysSendsNothingAndSaysWhy)
{
    EnginePair pair(8, {.keys = false});
    pair.sender.SendTo("127.0.0.2", pair.portA, {1, 2, 3});
    ASSERT_TRUE(WaitUntil([&] { return pair.a.Statistics().sendFailures >= 1; }));
    EXPECT_EQ(pair.a.LastErrorText(), "Tunnel : Sending packet error : SSL_Crypto error");
    EXPECT_FALSE(pair.b.IsDestinationSet());
}

TEST(UdpTunnel, EndsOfDifferentFormatsNeverAcceptEachOther)
{
    const uint16_t tunnelPort = FreeUdpPort();
    const uint16_t port = FreeUdpPort();
    UdpEnd out("127.0.0.5", port);

    CTunnel plain, sealed;
    sealed.SetDeliveryAddress("127.0.0.5");
    ListenOnLoopback(sealed, tunnelPort, 8, "");
    sealed.AddKey(7, kMasterKey.data(), 32, kMasterSalt.data(), 14, 0);
    sealed.StartReceiver();
    plain.SetUdpTunnel("127.0.0.1", nullptr, tunnelPort, 0, "", 0);
    plain.AddReceivePort(port, "127.0.0.2");
    plain.StartReceiver();

    UdpEnd sender;
    sender.SendTo("127.0.0.2", port, {9, 9, 9});
    ASSERT_TRUE(WaitUntil([&] { return plain.Statistics().datagramsSent == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return sealed.Statistics().Drops() >= 1; }));
    EXPECT_TRUE(out.Receive(300).empty());
    EXPECT_EQ(sealed.Statistics().drops[static_cast<size_t>(TunnelPacketFormat::OpenResult::kFormat)],
              sealed.Statistics().Drops());
    EXPECT_FALSE(sealed.IsDestinationSet()) << "a dropped packet teaches nothing";
}

// An engine without a destination listens on its destination port and
// learns its peer from the first packet of any kind.
TEST(UdpTunnel, LearnsThePeerFromItsFirstPacket)
{
    RecordingEvents events;
    const uint16_t tunnelPort = FreeUdpPort();
    const uint16_t port = FreeUdpPort();
    CTunnel listening;
    listening.SetEvents(&events);
    ListenOnLoopback(listening, tunnelPort, 0, "");
    listening.AddReceivePort(port, "127.0.0.3");
    listening.StartReceiver();

    // Before the peer is known: local datagrams are dropped, no keep-alive.
    UdpEnd sender;
    sender.SendTo("127.0.0.3", port, {1, 2, 3});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto stats = listening.Statistics();
    EXPECT_EQ(stats.datagramsSent, 0u);
    EXPECT_EQ(stats.keepAlivesSent, 0u);
    EXPECT_FALSE(listening.IsDestinationSet());

    // A keep-alive from the peer: legacy type 0, kind byte 3, one 0x00 byte.
    UdpEnd peer;
    peer.SendTo("127.0.0.1", tunnelPort, {0x00, 0x03, 0, 0, 0, 0, 0, 0, 0x13, 0x8C, 0x01, 0x00, 0x00});
    ASSERT_TRUE(WaitUntil([&] { return listening.IsDestinationSet(); }));
    EXPECT_EQ(listening.Destination().address, "127.0.0.1");
    EXPECT_EQ(listening.Destination().port, peer.port);
    EXPECT_EQ(listening.Statistics().keepAlivesReceived, 1u);

    // Now datagrams go to the peer, from the port it called.
    sender.SendTo("127.0.0.3", port, {7, 8, 9});
    std::vector<uint8_t> packet;
    do {
        packet = peer.Receive();
        ASSERT_FALSE(packet.empty());
    } while (packet[1] != 0x02);  // skip a keep-alive
    EXPECT_EQ(peer.lastSenderPort, tunnelPort);
    const std::vector<uint8_t> expectedHeadTail = {0x00, 0x02, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(packet.begin(), packet.begin() + 4), expectedHeadTail);
    EXPECT_EQ(packet[8] * 256 + packet[9], port);
    EXPECT_EQ(std::vector<uint8_t>(packet.begin() + 12, packet.end()), (std::vector<uint8_t>{7, 8, 9}));

    // A second peer does not take the first one's place.
    UdpEnd other;
    other.SendTo("127.0.0.1", tunnelPort, {0x00, 0x03, 0, 0, 0, 0, 0, 0, 0x13, 0x8C, 0x01, 0x00, 0x00});
    ASSERT_TRUE(WaitUntil([&] { return listening.Statistics().keepAlivesReceived == 2; }));
    EXPECT_EQ(listening.Destination().port, peer.port);
}

// Keep-alives: due when more than 9000 ms passed since the last send,
// postponed by every send, never while the clock stands before the last one.
TEST(UdpTunnel, KeepAlivesFollowTheClock)
{
    FakeClock clock(1'000'000);
    UdpEnd peer;
    UdpEnd sender;
    const uint16_t port = FreeUdpPort();
    CTunnel engine;
    engine.SetUdpTunnel("127.0.0.1", nullptr, static_cast<uint16_t>(peer.port), 0, "", 0);
    engine.AddReceivePort(port, "127.0.0.2");  // its idle passes check every 200 ms

    const auto nextKind = [&](int ms) -> int {
        const auto packet = peer.Receive(ms);
        return packet.size() >= 2 ? packet[1] : -1;
    };
    EXPECT_EQ(nextKind(5000), 3) << "idle from the start: a keep-alive at once";
    EXPECT_EQ(nextKind(500), -1) << "the clock stands: nothing more";

    clock.Set(1'009'000);
    EXPECT_EQ(nextKind(500), -1) << "9000 ms is not yet idle";
    clock.Set(1'009'001);
    EXPECT_EQ(nextKind(5000), 3);

    clock.Set(1'012'000);
    sender.SendTo("127.0.0.2", port, {1});
    EXPECT_EQ(nextKind(5000), 2) << "a datagram";
    clock.Set(1'020'500);
    EXPECT_EQ(nextKind(500), -1) << "the datagram postponed the keep-alive";

    clock.Set(1'000'500);
    EXPECT_EQ(nextKind(500), -1) << "clock ran backwards: no keep-alive";
    clock.Set(1'021'001);
    EXPECT_EQ(nextKind(5000), 3);
    EXPECT_TRUE(WaitUntil([&] { return engine.Statistics().keepAlivesSent == 3; }));
}

TEST(UdpTunnel, SetUpErrorsAndReports)
{
    RecordingEvents events;
    CTunnel engine;
    engine.SetEvents(&events);

    // A receive port that cannot be bound: the thread's report, and no thread.
    engine.AddReceivePort(FreeUdpPort(), "192.0.2.1");
    ASSERT_TRUE(events.WaitFor([](const auto& e) { return !e.empty(); }));
    EXPECT_EQ(events.Events()[0].text,
              "Exception : Bind Error.\nFile : CTunnel_library/src/CZANSocket\nLine : 49\n");
    EXPECT_EQ(events.Events()[0].code, 0x80004005u);
    EXPECT_EQ(engine.ReceivePortCount(), 1u) << "the thread stays registered without running";

    // Started without a tunnel socket.
    engine.StartReceiver();
    ASSERT_TRUE(events.WaitFor([](const auto& e) { return e.size() >= 2; }));
    EXPECT_TRUE(std::regex_match(events.Events()[1].text,
                                 std::regex("Exception : CTunnel not set\\.\nFile : CTunnel_library/src/CTunnel\n"
                                            "Line : [0-9]+\n")))
        << events.Events()[1].text;
    engine.Stop();

    // Set-up while the receive loop runs is refused.
    engine.SetUdpTunnel("127.0.0.1", nullptr, FreeUdpPort(), 0, "", 0);
    engine.StartReceiver();
    ASSERT_TRUE(WaitUntil([&] { return engine.IsReceiving(); }));
    try {
        engine.SetUdpTunnel("127.0.0.1", nullptr, 1, 0, "", 0);
        ADD_FAILURE() << "no exception";
    } catch (const exc_ZANTunnel& e) {
        EXPECT_EQ(e.message, "Can't set tunnel if tunnel is started");
        EXPECT_EQ(e.line, 631);
        EXPECT_EQ(e.code, 0u);
        EXPECT_EQ(e.sourceFile, "CTunnel_library/src/CTunnel");
    }
    try {
        engine.SetTcpTunnel("127.0.0.1", 1, 0, "", nullptr, 0, nullptr, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const exc_ZANTunnel& e) {
        EXPECT_EQ(e.line, 717);
    }
}

TEST(UdpTunnel, ReceivePortKeysAreAddressAndPort)
{
    CTunnel engine;
    const uint16_t port = FreeUdpPort();
    engine.AddReceivePort(port, "127.0.0.2");
    engine.AddReceivePort(port, nullptr);  // the same key: 127.0.0.2:port
    EXPECT_EQ(engine.ReceivePortCount(), 1u);
    engine.AddReceivePort(port, "127.0.0.3");
    EXPECT_EQ(engine.ReceivePortCount(), 2u);
}

// A recording file that refuses its records (the disk is full) is reported
// once through the engine's error report, however many records are lost,
// and the tunnel goes on carrying every datagram both ways.
TEST(UdpTunnel, RecordingWriteErrorIsReportedOnceWhileTrafficFlows)
{
    const TempFolder folder("zanfull");
    const std::string path = (folder.path / "full.rec").string();
    {
        EnginePair pair(8, {});
        ASSERT_TRUE(pair.WaitForPeer());
        ASSERT_TRUE(pair.b.SetRecordFile(path));
        ASSERT_TRUE(pair.b.Recorder().StartRecording());
        const uint64_t full = pair.b.Recorder().WritePosition();
        FileSizeLimit limit(full);  // not one record more fits

        auto carry = [&](int round) {
            for (int i = 0; i < 20; ++i) {
                const auto forward = Pattern(100, static_cast<uint8_t>(round * 40 + i));
                pair.sender.SendTo("127.0.0.2", pair.portA, forward);
                ASSERT_EQ(pair.outOfB.Receive(), forward) << "round " << round << " A->B " << i;
                const auto backward = Pattern(60, static_cast<uint8_t>(round * 40 + 20 + i));
                pair.sender.SendTo("127.0.0.3", pair.portB, backward);
                ASSERT_EQ(pair.outOfA.Receive(), backward) << "round " << round << " B->A " << i;
            }
        };
        auto lostReach = [&](uint64_t count) {
            pair.b.Recorder().WriteSoon();
            return WaitUntil([&] { return pair.b.Recorder().LostRecords() >= count; });
        };

        // B records what it receives and what it sends: 40 records a round.
        carry(0);
        ASSERT_TRUE(lostReach(40)) << "lost " << pair.b.Recorder().LostRecords();
        carry(1);
        ASSERT_TRUE(lostReach(80)) << "lost " << pair.b.Recorder().LostRecords();

        const std::vector<std::string> errors = pair.eventsB.Errors();
        ASSERT_EQ(errors.size(), 1u) << "once per recording, not once per record";
        EXPECT_EQ(errors[0].rfind("Exception :Recording : write error, records are being lost.\n", 0), 0u)
            << errors[0];
        EXPECT_TRUE(pair.eventsA.Errors().empty());
        EXPECT_EQ(pair.b.Recorder().WritePosition(), full) << "no part of a refused record was kept";
        EXPECT_TRUE(WaitUntil([&] { return pair.b.Statistics().datagramsSent == 40; }));
        const auto stats = pair.b.Statistics();
        EXPECT_EQ(stats.datagramsReceived, 40u);
        EXPECT_EQ(stats.Drops(), 0u);
    }
}

} // namespace

} // namespace zan
