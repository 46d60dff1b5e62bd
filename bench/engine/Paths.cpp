#include "Paths.h"

#include "TunnelStatistics.h"

#include <array>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace zan {

namespace enginebench {

namespace {

constexpr char kLoopback[] = "127.0.0.1";
constexpr char kLegacyKey[] = "engine benchmark key text";
constexpr std::array<uint8_t, 32> kMasterKey = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB,
                                                0xCC, 0xDD, 0xEE, 0xFF, 0x01, 0x12, 0x23, 0x34, 0x45, 0x56, 0x67,
                                                0x78, 0x89, 0x9A, 0xAB, 0xBC, 0xCD, 0xDE, 0xEF, 0xF0, 0x0F};
constexpr std::array<uint8_t, 14> kMasterSalt = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
// Far above any run of the benchmark: the traffic keys stay those of the
// first epoch, as in a real call of a few minutes.
constexpr uint32_t kRekeyPeriod = 1u << 30;

// Engine A takes local datagrams on 127.0.0.2 and delivers to 127.0.0.4;
// engine B takes them on 127.0.0.3 and delivers to 127.0.0.5.
constexpr char kReceiveA[] = "127.0.0.2";
constexpr char kDeliveryA[] = "127.0.0.4";
constexpr char kReceiveB[] = "127.0.0.3";
constexpr char kDeliveryB[] = "127.0.0.5";

bool WaitFor(auto ready, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void Append(std::string& to, const std::string& what)
{
    to += to.empty() ? what : "; " + what;
}

}  // namespace

DirectPath::DirectPath()
{
    const Address forwardExit{kLoopback, FreePort(kLoopback)};
    const Address backwardExit{kLoopback, FreePort(kLoopback)};
    forward = Route{forwardExit, forwardExit};
    backward = Route{backwardExit, backwardExit};
}

ForwarderChain::ForwarderChain()
{
    forward = Build(Address{kLoopback, FreePort(kLoopback)}, forward1, forward2);
    backward = Build(Address{kLoopback, FreePort(kLoopback)}, backward1, backward2);
}

Route ForwarderChain::Build(const Address& exit, std::unique_ptr<Forwarder>& first,
                            std::unique_ptr<Forwarder>& second)
{
    second = std::make_unique<Forwarder>(Address{kLoopback, 0}, exit);
    first = std::make_unique<Forwarder>(Address{kLoopback, 0}, second->Listen());
    return Route{first->Listen(), exit};
}

void BenchEvents::OnDisconnected(const char* host, uint32_t code)
{
    std::lock_guard guard(lock);
    Append(reports, "disconnected from " + std::string(host) + " (" + std::to_string(code) + ")");
}

void BenchEvents::OnError(const char* message, uint32_t)
{
    std::lock_guard guard(lock);
    Append(reports, message);
}

std::string BenchEvents::Take()
{
    std::lock_guard guard(lock);
    std::string taken;
    taken.swap(reports);
    return taken;
}

EnginePair::EnginePair(Transport transport, uint32_t cryptoType)
    : transport(transport), portA(FreePort(kReceiveA)), portB(FreePort(kReceiveB))
{
    forward = Route{Address{kReceiveA, portA}, Address{kDeliveryB, portA}};
    backward = Route{Address{kReceiveB, portB}, Address{kDeliveryA, portB}};
    if (transport == Transport::kTcpProxy) {
        proxy = std::make_unique<squidtest::SquidProcess>(squidtest::SquidProcess::Kind::kOpen);
        if (!proxy->Start()) {
            throw std::runtime_error("squid: " + proxy->Error());
        }
    }
    if (transport != Transport::kUdp) {
        peer = std::make_unique<TcpTestPeer>(TcpTestPeer::Mode::kPair);
        if (!peer->Start()) {
            throw std::runtime_error("test peer: " + peer->Error());
        }
        // The peer pairs connections in the order they arrive.
        Configure(a, eventsA, kDeliveryA, portA, kReceiveA, cryptoType, peer->Port(), false);
        if (!peer->WaitForConnections(1, 5000)) {
            throw std::runtime_error("engine A did not connect to the test peer");
        }
        Configure(b, eventsB, kDeliveryB, portB, kReceiveB, cryptoType, peer->Port(), false);
        if (!peer->WaitForConnections(2, 5000)) {
            throw std::runtime_error("engine B did not connect to the test peer");
        }
        return;
    }
    // B listens on the tunnel port and learns A from A's first keep-alive.
    const uint16_t tunnelPort = FreePort(kLoopback);
    Configure(b, eventsB, kDeliveryB, portB, kReceiveB, cryptoType, tunnelPort, true);
    Configure(a, eventsA, kDeliveryA, portA, kReceiveA, cryptoType, tunnelPort, false);
    if (!WaitFor([this] { return b.IsDestinationSet(); }, std::chrono::seconds(5))) {
        throw std::runtime_error("engine B did not learn engine A");
    }
}

EnginePair::~EnginePair() = default;

void EnginePair::Configure(CTunnel& engine, BenchEvents& sink, const char* delivery, uint16_t port,
                           const char* receive, uint32_t cryptoType, uint16_t tunnelPort, bool listens)
{
    engine.SetEvents(&sink);
    engine.SetDeliveryAddress(delivery);
    if (transport == Transport::kTcp) {
        engine.SetTcpTunnel(kLoopback, tunnelPort, cryptoType, kLegacyKey, nullptr, 0, nullptr, nullptr);
    } else if (transport == Transport::kTcpProxy) {
        engine.SetTcpTunnel(kLoopback, tunnelPort, cryptoType, kLegacyKey, kLoopback, proxy->Port(), nullptr,
                            nullptr);
    } else {
        engine.SetReceiverNic(kLoopback);
        engine.SetUdpTunnel(listens ? nullptr : kLoopback, nullptr, tunnelPort, cryptoType, kLegacyKey, 0);
    }
    engine.AddReceivePort(port, receive);
    engine.AddKey(1, kMasterKey.data(), static_cast<int>(kMasterKey.size()), kMasterSalt.data(),
                  static_cast<int>(kMasterSalt.size()), kRekeyPeriod);
    engine.StartReceiver();
}

std::string EnginePair::Trouble()
{
    std::string trouble;
    for (auto* engine : {&a, &b}) {
        const char* name = engine == &a ? "A" : "B";
        const TunnelStatistics::Snapshot stats = engine->Statistics();
        if (stats.sendFailures != 0) {
            Append(trouble, std::string(name) + ": " + std::to_string(stats.sendFailures) + " send failures");
        }
        if (stats.Drops() != 0) {
            Append(trouble, std::string(name) + ": " + std::to_string(stats.Drops()) + " packets dropped");
        }
    }
    for (BenchEvents* events : {&eventsA, &eventsB}) {
        if (std::string reports = events->Take(); !reports.empty()) {
            Append(trouble, reports);
        }
    }
    return trouble;
}

}  // namespace enginebench

} // namespace zan
