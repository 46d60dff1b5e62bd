// The engine's TCP tunnel when its relay goes away: it tries again until it
// is stopped, spaced so that a relay that accepts and closes at once is not
// hammered; the first connect is retried too; Stop ends a hanging connect
// at once; and events reach a host that serves them on its own thread while
// that thread is busy in Stop or SetTcpTunnel. Three of these run in real
// time (a relay down for a minute, an accept-and-close relay for 20 s, a
// hanging connect); the schedule itself is tested with a fake clock in the
// socket tests.

#include "LoopbackSockets.h"
#include "TCPTunnelSocket.h"
#include "ThreadWaitPump.h"
#include "engine_test_util.h"

#include <fstream>
#include <future>
#include <sstream>

namespace zan {

namespace {

using namespace enginetest;
using Clock = std::chrono::steady_clock;

// A host that does not answer: the listener's queue (of 0) is full, so the
// next connect to it stays pending.
class HangingHost {
public:
    explicit HangingHost(uint16_t port = 0)
        : listener(sockettest::BoundSocket(SOCK_STREAM, true, port, 0)), filler(sockettest::Connected(Port()))
    {
        EXPECT_GE(filler.Get(), 0);
    }
    uint16_t Port() const { return sockettest::LocalPort(listener); }

private:
    sockettest::Fd listener;
    sockettest::Fd filler;
};

int64_t MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A relay that accepts every connection and closes it at once, noting when.
class ClosingRelay {
public:
    ClosingRelay()
    {
        worker = std::thread([this] {
            while (!stop.load()) {
                const sockettest::Fd accepted(sockettest::Readable(listener, 50) ? ::accept(listener.Get(), nullptr, nullptr) : -1);
                std::lock_guard guard(lock);
                if (accepted.Get() >= 0) {
                    times.push_back(Clock::now());
                }
            }
        });
    }
    ~ClosingRelay()
    {
        stop.store(true);
        worker.join();
    }
    uint16_t Port() const { return sockettest::LocalPort(listener); }
    size_t AcceptedSince(Clock::time_point from)
    {
        std::lock_guard guard(lock);
        return static_cast<size_t>(std::count_if(times.begin(), times.end(), [&](const auto& t) { return t >= from; }));
    }

private:
    const sockettest::Fd listener = sockettest::BoundSocket(SOCK_STREAM, true, 0, 64);
    std::atomic<bool> stop{false};
    std::mutex lock;  // guards: times
    std::vector<Clock::time_point> times;
    std::thread worker;
};

// True while a socket of this process's network is sending its SYN to
// `port` and has no answer: a connect that hangs is under way.
bool ConnectHangsOn(uint16_t port)
{
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the header
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        constexpr const char* kSynSent = "02";
        if (state == kSynSent && remote.size() > 4 && std::stoul(remote.substr(remote.size() - 4), nullptr, 16) == port) {
            return true;
        }
    }
    return false;
}

void SetUpTcp(CTunnel& engine, uint16_t port)
{
    engine.SetTcpTunnel("127.0.0.1", port, 0, "tcp key text", nullptr, 0, nullptr, nullptr);
}

// ---- real time ------------------------------------------------------------

TEST(TcpReconnectEngine, RelayDownForAMinuteIsRejoinedWithinTheCapWithOneEventEachWay)
{
    TcpTestPeer relay(TcpTestPeer::Mode::kEcho);
    ASSERT_TRUE(relay.Start()) << relay.Error();
    const uint16_t relayPort = relay.Port();
    const uint16_t port = FreeUdpPort();
    UdpEnd delivered("127.0.0.1", port);
    UdpEnd sender;
    RecordingEvents events;
    CTunnel engine;
    engine.SetEvents(&events);
    SetUpTcp(engine, relayPort);
    engine.AddReceivePort(port, "127.0.0.2");
    engine.StartReceiver();
    sender.SendTo("127.0.0.2", port, Pattern(100, 1));
    ASSERT_EQ(delivered.Receive(), Pattern(100, 1)) << "the echo comes back through the tunnel";

    relay.Stop();
    ASSERT_TRUE(events.WaitForCount("disconnected", 1));
    SleepMs(60000);
    EXPECT_EQ(events.Count("connected"), 1u) << "nothing to connect to";
    ASSERT_TRUE(relay.Start(relayPort)) << relay.Error();
    const Clock::time_point back = Clock::now();
    // The longest pause is the cap plus its jitter; a try then takes
    // moments on loopback.
    const int64_t bound = TCPTunnelSocket::kBackOffCapMs * (100 + TCPTunnelSocket::kJitterPercent) / 100 + 3000;
    ASSERT_TRUE(events.WaitForCount("connected", 2, static_cast<int>(bound)));
    EXPECT_LE(MsSince(back), bound);
    EXPECT_EQ(events.Count("disconnected"), 1u) << "one loss, however many tries";
    EXPECT_EQ(events.Count("connected"), 2u);
    EXPECT_LE(events.Count("error"), 3u) << "repeated connect failures are reported once a minute";
    EXPECT_GE(engine.Statistics().tcpReconnects, 8u) << "tries went on after the first five";

    sender.SendTo("127.0.0.2", port, Pattern(200, 2));
    EXPECT_EQ(delivered.Receive(), Pattern(200, 2)) << "traffic flows again";
    engine.Stop();
}

TEST(TcpReconnectEngine, RelayThatAcceptsAndClosesIsTriedFewerThanTwiceASecond)
{
    ClosingRelay relay;
    RecordingEvents events;
    CTunnel engine;
    engine.SetEvents(&events);
    SetUpTcp(engine, relay.Port());
    engine.StartReceiver();
    SleepMs(10000);
    const Clock::time_point settled = Clock::now();
    const size_t eventsBefore = events.Events().size();
    SleepMs(10000);
    const size_t connections = relay.AcceptedSince(settled);
    EXPECT_LT(connections, 20u) << "fewer than 2 connections a second on average after the first 10 s";
    EXPECT_LE(events.Events().size() - eventsBefore, 2 * connections + 2) << "events follow the connections";
    engine.Stop();
}

TEST(TcpReconnectEngine, StopEndsAHangingConnectAtOnceOnEitherThread)
{
    // The first connect on the set-up thread.
    {
        HangingHost host;
        CTunnel engine;
        auto setUp = std::async(std::launch::async, [&] { SetUpTcp(engine, host.Port()); });
        ASSERT_TRUE(WaitUntil([&] { return ConnectHangsOn(host.Port()); }, 5000));
        const Clock::time_point stop = Clock::now();
        engine.Stop();
        EXPECT_LT(MsSince(stop), 1000);
        ASSERT_EQ(setUp.wait_for(std::chrono::milliseconds(1000)), std::future_status::ready);
        EXPECT_LT(MsSince(stop), 1000) << "the set-up's connect ended with the stop";
    }
    // A retry of the receiver thread: the first connect is refused, the
    // second (a second later) hangs.
    {
        const uint16_t port = FreeUdpPort();
        CTunnel engine;
        SetUpTcp(engine, port);
        HangingHost host(port);
        engine.StartReceiver();
        SleepMs(1500);
        EXPECT_EQ(engine.Statistics().tcpReconnects, 1u) << "the retry is under way";
        const Clock::time_point stop = Clock::now();
        engine.Stop();
        EXPECT_LT(MsSince(stop), 1000);
    }
}

// ---- quick ----------------------------------------------------------------

TEST(TcpReconnectEngine, FirstConnectIsRetriedOnceTheReceiverRunsUnlessALimitSaysOtherwise)
{
    {
        const uint16_t port = FreeUdpPort();
        RecordingEvents events;
        CTunnel engine;
        engine.SetEvents(&events);
        SetUpTcp(engine, port);
        ASSERT_EQ(events.Errors().size(), 1u);
        EXPECT_EQ(events.Errors()[0], "TCPTunnel : connect(127.0.0.1:" + std::to_string(port) + ") failed : -2147467259\n");
        EXPECT_TRUE(engine.IsDestinationSet()) << "datagrams wait for the connection";
        TcpTestPeer relay(TcpTestPeer::Mode::kEcho);
        ASSERT_TRUE(relay.Start(port)) << relay.Error();
        engine.StartReceiver();
        EXPECT_TRUE(events.WaitForCount("connected", 1));
        EXPECT_EQ(events.Count("disconnected"), 0u) << "nothing was lost: it was never up";
        engine.Stop();
    }
    {
        // The old behaviour on request: give up after so many tries, here one.
        const uint16_t port = FreeUdpPort();
        CTunnel engine;
        engine.SetTcpReconnectLimit(1);
        SetUpTcp(engine, port);
        EXPECT_FALSE(engine.IsDestinationSet());
        TcpTestPeer relay(TcpTestPeer::Mode::kEcho);
        ASSERT_TRUE(relay.Start(port)) << relay.Error();
        engine.StartReceiver();
        SleepMs(1500);
        EXPECT_EQ(relay.Read().accepted, 0u);
        engine.Stop();
    }
}

// An ITunnelEvents sink that behaves like a host apartment: a report from
// another thread is queued and waits until the host thread serves it, which
// the host does only in its wait pump (joining a thread, a connect) or when
// it is idle. A report left unserved for 3 s counts as a stall: with a real
// apartment it would be a deadlock.
class ApartmentEvents : public ITunnelEvents {
public:
    explicit ApartmentEvents(std::thread::id host) : host(host) {}

    void OnConnected(const char*, uint16_t) override { Call(); }
    void OnDisconnected(const char*, uint32_t) override { Call(); }
    void OnError(const char*, uint32_t) override { Call(); }

    // On the host thread: serves every report that waits.
    void Serve()
    {
        std::lock_guard guard(lock);
        served = issued;
        changed.notify_all();
    }
    // Reports made, and those of them never served.
    std::pair<int, int> Reports()
    {
        std::lock_guard guard(lock);
        return {issued, stalls};
    }

private:
    void Call()
    {
        std::unique_lock guard(lock);
        const int ticket = ++issued;
        if (std::this_thread::get_id() != host &&
            !changed.wait_for(guard, std::chrono::seconds(3), [&] { return served >= ticket; })) {
            ++stalls;
        }
    }

    const std::thread::id host;
    std::mutex lock;  // guards: issued, served, stalls
    std::condition_variable changed;
    int issued = 0;
    int served = 0;
    int stalls = 0;
};

TEST(TcpReconnectEngine, HostBusyInStopOrSetUpWhileTheTunnelReconnectsNeverStallsAReport)
{
    ApartmentEvents events(std::this_thread::get_id());
    SetThreadWaitPump([](void* sink) { static_cast<ApartmentEvents*>(sink)->Serve(); }, &events);
    TcpTestPeer relay(TcpTestPeer::Mode::kEcho);
    ASSERT_TRUE(relay.Start()) << relay.Error();
    const uint16_t port = FreeUdpPort();
    UdpEnd sender;
    {
        CTunnel engine;
        engine.SetEvents(&events);
        SetUpTcp(engine, relay.Port());
        engine.AddReceivePort(port, "127.0.0.2");
        engine.StartReceiver();
        for (int round = 0; round < 5; ++round) {
            // The relay drops the connection while datagrams keep coming:
            // both the sending and the receiving side find the loss, and the
            // host stops and sets the tunnel up again meanwhile.
            ASSERT_TRUE(relay.CloseAllConnections());
            for (int i = 0; i < 20; ++i) {
                sender.SendTo("127.0.0.2", port, Pattern(300, static_cast<uint8_t>(i)));
            }
            SleepMs(round * 100);
            const Clock::time_point start = Clock::now();
            engine.Stop();
            SetUpTcp(engine, relay.Port());
            engine.StartReceiver();
            EXPECT_LT(MsSince(start), 2500) << "round " << round;
            events.Serve();
        }
        engine.Stop();
        events.Serve();
    }
    SetThreadWaitPump(nullptr, nullptr);
    const auto [reports, stalls] = events.Reports();
    EXPECT_EQ(stalls, 0);
    EXPECT_GE(reports, 6);
}

}  // namespace

} // namespace zan
