#include "TcpTestPeer.h"
#include "WaitUntil.h"
#include "control_test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>

namespace zan {

namespace {

using namespace controltest;

// A control whose TCP tunnel goes to a test peer; the host thread (this
// test's thread) is an apartment thread and advises `sink` from it.
class TcpControl {
public:
    TcpControl() : peer(TcpTestPeer::Mode::kEcho)
    {
        EXPECT_TRUE(peer.Start()) << peer.Error();
        control->SetProperties(Text("tcp_tunnel_type"), Text("1"));
        control->SetProperties(Text("tcp_tunnel_connect"), Text("127.0.0.1 " + std::to_string(peer.Port())));
        control->SetProperties(Text("tcp_tunnel"), Text("127.0.0.1 x"));
        EXPECT_EQ(control->FindConnectionPoint(DIID__IZAN_TunnelEvents, &point), S_OK);
        EXPECT_EQ(point->Advise(sink.sink, &cookie), S_OK);
    }
    ~TcpControl()
    {
        point->Unadvise(cookie);
        point->Release();
    }

    // Pumps the host's queue until `pred` holds, for at most 5 s.
    template <typename Pred>
    bool PumpUntil(Pred pred)
    {
        return zan::PumpUntil(apartment.Get(), pred, 5000);
    }

    Apartment::Scope apartment;
    TcpTestPeer peer;
    SinkRef sink{nullptr, &DIID__IZAN_TunnelEvents};
    Control control;
    IConnectionPoint* point = nullptr;
    uint32_t cookie = 0;
};

TEST(ControlEvents, WorkerReportsArriveOnTheHostThread)
{
    TcpControl tcp;
    ASSERT_EQ(tcp.control->Start(), S_OK);
    ASSERT_EQ(tcp.sink->Count(DISPID_ConnectEvent), 1u) << "the connection is made during Start";

    // The receiver thread meets a stream error and reports it.
    const std::array<uint8_t, 2> badPrefix = {0x00, 0x80};
    ASSERT_TRUE(tcp.peer.InjectRaw(badPrefix));
    ASSERT_TRUE(tcp.PumpUntil([&] { return tcp.sink->Count(DISPID_ErrorEvent) >= 1; }));
    for (const auto& e : tcp.sink->Events()) {
        EXPECT_EQ(e.thread, std::this_thread::get_id()) << "event " << e.id << " on another thread";
        if (e.id == DISPID_ErrorEvent) {
            EXPECT_EQ(e.message, "TCPTunnel : stream error, connection closed.");
            EXPECT_EQ(static_cast<uint32_t>(e.code), 0x80004005u);
        }
    }

    // A lost connection is reported with code 0.
    ASSERT_TRUE(tcp.peer.CloseAllConnections());
    ASSERT_TRUE(tcp.PumpUntil([&] { return tcp.sink->Count(DISPID_DisconnectEvent) >= 1; }));
    for (const auto& e : tcp.sink->Events()) {
        if (e.id == DISPID_DisconnectEvent) {
            EXPECT_EQ(e.code, 0);
        }
    }
}

// The host stops (and later releases) the control while the receiver
// thread waits to deliver an event to the host's own thread: the host's wait
// serves the event, nothing hangs.
TEST(ControlEvents, StopWhileAWorkerReportsDoesNotHang)
{
    auto done = std::async(std::launch::async, [] {
        TcpControl tcp;
        EXPECT_EQ(tcp.control->Start(), S_OK);
        const std::array<uint8_t, 2> badPrefix = {0x00, 0x80};
        EXPECT_TRUE(tcp.peer.InjectRaw(badPrefix));
        // Give the receiver thread time to block in its report, without pumping.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(tcp.control->Stop(), S_OK);
        EXPECT_EQ(tcp.sink->Count(DISPID_ErrorEvent), 1u);
        EXPECT_EQ(tcp.control->Start(), S_OK);
        tcp.control->Clear();
    });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "the host hung";
}

// A listening UDP tunnel that follows its peer to a new address tells the
// host with one log event naming both addresses, on the host's thread.
TEST(ControlEvents, PeerChangeBecomesOneLogEventWithBothAddresses)
{
    TcpControl host;  // never started: only its sink and apartment are used
    std::thread receiver([&] { host.control->EngineEvents().OnPeerChanged("10.0.0.1:7000", "10.0.0.1:7001"); });
    EXPECT_TRUE(host.PumpUntil([&] { return !host.sink->Events().empty(); }));
    receiver.join();
    const auto events = host.sink->Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, DISPID_LogEvent);
    EXPECT_EQ(events[0].message, "Tunnel : peer address changed from 10.0.0.1:7000 to 10.0.0.1:7001");
    EXPECT_EQ(events[0].thread, std::this_thread::get_id());
}

// Once final release has begun, a worker that still reports raises nothing.
TEST(ControlEvents, NothingIsRaisedOnceFinalReleaseBegan)
{
    TcpControl host;  // never started
    std::atomic<bool> stop{false};
    std::atomic<int> reports{0};
    ITunnelEvents& events = host.control->EngineEvents();
    std::thread worker([&] {
        while (!stop) {
            events.OnError("still reporting", 0x80004005u);
            ++reports;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    ASSERT_TRUE(host.PumpUntil([&] { return !host.sink->Events().empty(); }));

    host.control->FinalRelease();  // what the last Release starts with
    host.apartment.Get()->PumpFor(50);  // a raise already past its check completes
    const size_t delivered = host.sink->Events().size();
    const int reportsThen = reports;
    EXPECT_TRUE(host.PumpUntil([&] { return reports > reportsThen + 20; }));
    EXPECT_EQ(host.sink->Events().size(), delivered) << "events after final release began";
    stop = true;
    worker.join();
}

} // namespace

} // namespace zan
