#include "base_exception.h"
#include "FileSizeLimit.h"
#include "ScopedEnvironment.h"
#include "engine_test_util.h"

#include <regex>

namespace zan {

namespace {

using namespace enginetest;

// The stream errors, the greeting byte and the framing of the TCP tunnel are
// checked on its socket; here only that the engine carries both ways.
TEST(EngineTraffic, CarriesDatagramsBothWaysInEveryFormatOverUdpAndTcp)
{
    for (const bool tcp : {false, true}) {
        for (const uint32_t type : {0u, 2u, 8u}) {
            SCOPED_TRACE(testing::Message() << (tcp ? "TCP " : "UDP ") << type);
            EnginePair pair(type, {.tcp = tcp});
            ASSERT_TRUE(tcp ? pair.a.IsDestinationSet() : pair.WaitForPeer());
            const std::vector<size_t> sizes = {1, 1200, tcp ? 30000u : 65000u};
            for (size_t size : sizes) {
                EXPECT_TRUE(pair.CarriesBothWays(Pattern(size, static_cast<uint8_t>(size)))) << "size " << size;
            }
            // A sender counts a datagram once its send returned: wait for it.
            EXPECT_TRUE(WaitUntil([&] { return pair.b.Statistics().datagramsSent == sizes.size(); }));
            EXPECT_EQ(pair.b.Statistics().datagramsReceived, sizes.size());
            EXPECT_EQ(pair.b.Statistics().Drops(), 0u);
            EXPECT_EQ(pair.eventsA.AllErrors() + pair.eventsB.AllErrors(), "");
            EXPECT_EQ(pair.eventsA.Count("connected"), tcp ? 1u : 0u);
        }
    }
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

// Receive ports are keyed by address and port (no address: the first
// one's); starting without a tunnel socket is reported.
TEST(UdpTunnel, ReceivePortKeysAndStartWithoutATunnel)
{
    RecordingEvents events;
    CTunnel engine;
    engine.SetEvents(&events);
    const uint16_t port = FreeUdpPort();
    engine.AddReceivePort(port, "127.0.0.2");
    engine.AddReceivePort(port, nullptr);
    EXPECT_EQ(engine.ReceivePortCount(), 1u);
    engine.AddReceivePort(port, "127.0.0.3");
    EXPECT_EQ(engine.ReceivePortCount(), 2u);

    engine.StartReceiver();
    ASSERT_TRUE(events.WaitFor([](const auto& e) { return !e.empty(); }));
    EXPECT_TRUE(std::regex_match(events.Errors().at(0),
                                 std::regex("Exception : CTunnel not set\\.\nFile : CTunnel_library/src/CTunnel\n"
                                            "Line : [0-9]+\n")))
        << events.AllErrors();
    engine.Stop();
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
                ASSERT_TRUE(pair.CarriesBothWays(Pattern(100, static_cast<uint8_t>(round * 40 + i)))) << round << " " << i;
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
