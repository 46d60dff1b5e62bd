#pragma once

// The paths the benchmark compares. Each carries datagrams both ways
// between loopback end points: the load enters at a route's `entry` and
// comes out at its `exit`, where the benchmark's sink or echo listens.
//
//   DirectPath      sender -> exit                           (one hop)
//   ForwarderChain  sender -> F1 -> F2 -> exit               (three hops, zero work)
//   EnginePair      sender -> engine A -> tunnel -> engine B -> exit
//                   (three hops; over UDP, or over TCP through a pairing TcpTestPeer,
//                   directly or through a squid proxy that lets every CONNECT pass)

#include "CTunnel.h"
#include "ITunnelEvents.h"
#include "SquidProcess.h"
#include "TcpTestPeer.h"
#include "UdpTools.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace zan {

namespace enginebench {

struct Route {
    Address entry;
    Address exit;
};

class Path {
public:
    virtual ~Path() = default;
    Route Forward() const { return forward; }
    Route Backward() const { return backward; }
    // What went wrong inside the path (engine errors, dropped packets) since
    // it was built; empty when nothing did.
    virtual std::string Trouble() { return {}; }

protected:
    // Set by each path's constructor.
    Route forward;
    Route backward;
};

class DirectPath : public Path {
public:
    DirectPath();
};

class ForwarderChain : public Path {
public:
    ForwarderChain();

private:
    // Two forwarders towards `exit`; the route enters at the first.
    Route Build(const Address& exit, std::unique_ptr<Forwarder>& first, std::unique_ptr<Forwarder>& second);

    std::unique_ptr<Forwarder> forward1, forward2, backward1, backward2;
};

// Keeps the engines' reports for Trouble().
class BenchEvents : public ITunnelEvents {
public:
    void OnConnected(const char*, uint16_t) override {}
    void OnDisconnected(const char* host, uint32_t code) override;
    void OnError(const char* message, uint32_t code) override;
    std::string Take();

private:
    std::mutex lock;  // guards: reports
    std::string reports;
};

class EnginePair : public Path {
public:
    enum class Transport { kUdp, kTcp, kTcpProxy };

    // Builds and starts both engines; throws std::runtime_error when they
    // cannot carry traffic both ways within a few seconds.
    EnginePair(Transport transport, uint32_t cryptoType);
    ~EnginePair() override;

    std::string Trouble() override;

private:
    void Configure(CTunnel& engine, BenchEvents& sink, const char* delivery, uint16_t port, const char* receive,
                   uint32_t cryptoType, uint16_t tunnelPort, bool listens);

    // Declared first: the engines, which connect to them, go before them.
    std::unique_ptr<TcpTestPeer> peer;
    std::unique_ptr<squidtest::SquidProcess> proxy;
    Transport transport;
    BenchEvents eventsA, eventsB;
    CTunnel a, b;
    uint16_t portA = 0;
    uint16_t portB = 0;
};

}  // namespace enginebench

} // namespace zan
