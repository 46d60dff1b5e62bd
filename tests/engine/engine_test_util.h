#pragma once

// Helpers for the engine's end-to-end tests: a recording ITunnelEvents sink,
// plain UDP end points on loopback, relays that misbehave, two engines
// joined by a tunnel, and bounded waits.

#include "CNetworkSocket.h"
#include "CTunnel.h"
#include "FakeClock.h"
#include "ITunnelEvents.h"
#include "ResultCodes.h"
#include "TcpTestPeer.h"
#include "WaitUntil.h"
#include "packet_test_data.h"
#include "ZAN_Time.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zan {

namespace enginetest {

struct Event {
    std::string kind;  // "connected", "disconnected", "error", "peer"
    std::string text;
    uint32_t code = 0;
};

// Records every report; safe to call from any thread.
class RecordingEvents : public ITunnelEvents {
public:
    void OnConnected(const char* host, uint16_t port) override
    {
        Add({"connected", std::string(host) + ":" + std::to_string(port), 0});
    }
    void OnDisconnected(const char* host, uint32_t code) override { Add({"disconnected", host, code}); }
    void OnError(const char* message, uint32_t code) override { Add({"error", message, code}); }
    void OnPeerChanged(const char* oldAddress, const char* newAddress) override
    {
        Add({"peer", std::string(oldAddress) + " -> " + newAddress, 0});
    }

    std::vector<Event> Events()
    {
        std::lock_guard guard(lock);
        return events;
    }
    // The texts of every report of `kind`.
    std::vector<std::string> Texts(const std::string& kind)
    {
        std::vector<std::string> texts;
        for (const Event& e : Events()) {
            if (e.kind == kind) {
                texts.push_back(e.text);
            }
        }
        return texts;
    }
    std::vector<std::string> Errors() { return Texts("error"); }
    size_t Count(const std::string& kind) { return Texts(kind).size(); }
    bool WaitFor(const std::function<bool(const std::vector<Event>&)>& pred, int ms = 5000)
    {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(ms), [&] { return pred(events); });
    }
    // Waits until at least `count` reports of `kind` came.
    bool WaitForCount(const std::string& kind, size_t count, int ms = 5000)
    {
        return WaitFor([&](const auto& all) { return size_t(std::ranges::count(all, kind, &Event::kind)) >= count; }, ms);
    }
    // Every error text, each in brackets, for failure messages.
    std::string AllErrors()
    {
        std::string text;
        for (const std::string& e : Errors()) {
            text += "[" + e + "]";
        }
        return text;
    }

private:
    void Add(Event e)
    {
        std::lock_guard guard(lock);
        events.push_back(std::move(e));
        changed.notify_all();
    }

    std::mutex lock;
    std::condition_variable changed;
    std::vector<Event> events;
};

// A plain UDP socket of the test, bound on loopback (port 0: the kernel's choice).
class UdpEnd {
public:
    explicit UdpEnd(const char* address = "127.0.0.1", uint16_t port = 0, int32_t receiveBuffer = 0)
    {
        EXPECT_TRUE(socket.OpenUdp());
        EXPECT_TRUE(receiveBuffer == 0 || socket.SetReceiveBufferSize(receiveBuffer) == S_OK);
        EXPECT_EQ(socket.Bind(address, port), S_OK) << address << ":" << port;
        std::string bound;
        EXPECT_EQ(socket.GetLocalEndPoint(bound, this->port), S_OK);
    }

    void SendTo(const char* to, uint16_t toPort, const std::vector<uint8_t>& bytes)
    {
        ASSERT_EQ(socket.SendTo(to, toPort, bytes.data(), static_cast<uint32_t>(bytes.size())),
                  static_cast<int32_t>(bytes.size()));
    }

    // The next datagram within `ms`, or an empty vector.
    std::vector<uint8_t> Receive(int ms = 5000)
    {
        std::vector<uint8_t> buffer(65536);
        std::string sender;
        int32_t n = 0;
        WaitUntil([&] {
            n = socket.ReceiveFrom(sender, lastSenderPort, buffer.data(), static_cast<uint32_t>(buffer.size()));
            return n > 0;
        }, ms);
        buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return buffer;
    }

    uint32_t port = 0;
    uint32_t lastSenderPort = 0;

private:
    CNetworkSocket socket;
};

// A port that nothing on `address` uses right now (the kernel's choice).
inline uint16_t FreeUdpPort(const char* address = "127.0.0.1")
{
    return static_cast<uint16_t>(UdpEnd(address).port);
}

// A legacy (type 0) packet of `kind` for port 5004 carrying one byte.
inline std::vector<uint8_t> LegacyPacket(uint8_t kind = 3, uint8_t byte = 0, uint32_t tag = 0)
{
    return {0x00, kind, 0, 0, static_cast<uint8_t>(tag), static_cast<uint8_t>(tag >> 8),
            static_cast<uint8_t>(tag >> 16), static_cast<uint8_t>(tag >> 24), 0x13, 0x8C, 0x01, 0x00, byte};
}

// Sets `engine` up as the listening end of a UDP tunnel: no destination, so
// it listens on 127.0.0.1:tunnelPort and learns its peer from the first packet.
inline void ListenOnLoopback(CTunnel& engine, uint16_t tunnelPort, uint32_t cryptoType, const char* key)
{
    engine.SetReceiverNic("127.0.0.1");
    engine.SetUdpTunnel(nullptr, nullptr, tunnelPort, cryptoType, key, 0);
}

// Two engines joined by a tunnel. Datagrams given to A on 127.0.0.2:portA
// come out of B at 127.0.0.5:portA, and from 127.0.0.3:portB out of A at
// 127.0.0.4:portB. Over UDP, B listens on 127.0.0.1:tunnelPort and learns A
// from A's first packet; over TCP both meet in a pairing relay, directly or
// through the proxy on 127.0.0.1:proxyPort.
class EnginePair {
public:
    struct Options {
        bool tcp = false;
        bool keys = true;       // both ends get the same master key
        uint16_t proxyPort = 0;  // 0: no proxy
        const char* user = nullptr;
        const char* password = nullptr;
        int32_t receiveBuffer = 0;  // of the socket B delivers to; 0: the system's
    };

    EnginePair(uint32_t cryptoType, Options options);
    bool CarriesBothWays(const std::vector<uint8_t>& payload, int ms = 5000);
    // Over UDP: B learned A from A's first keep-alive.
    bool WaitForPeer() { return WaitUntil([&] { return b.IsDestinationSet(); }); }

    TcpTestPeer relay{TcpTestPeer::Mode::kPair};  // started for TCP only
    RecordingEvents eventsA, eventsB;
    CTunnel a, b;
    uint16_t tunnelPort = 0;
    uint16_t portA, portB;
    UdpEnd outOfB, outOfA;
    UdpEnd sender;

private:
    void SetUp(CTunnel& engine, RecordingEvents& events, const char* delivery, uint16_t port, const char* receive,
               const std::function<void(CTunnel&)>& tunnel, bool keys);
};

} // namespace enginetest

} // namespace zan
