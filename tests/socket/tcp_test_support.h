#pragma once

// Test doubles for the TCP tunnel tests: an ITunnelEvents sink that records
// its calls, and plain POSIX stream helpers (on top of the socket tests'
// loopback helpers) through which a test plays the far end byte by byte, so
// a fault in the socket under test cannot hide behind the same fault in the
// peer.

#include "ITunnelEvents.h"
#include "ResultCodes.h"
#include "TCPTunnelSocket.h"
#include "WaitUntil.h"
#include "LoopbackSockets.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace zan {

namespace tcptest {

constexpr int64_t kWaitMs = 10000;  // bound of every wait for an event

class RecordingEvents : public ITunnelEvents {
public:
    enum class Kind { kConnected, kDisconnected, kError };

    void OnConnected(const char* host, uint16_t port) override { Add(Kind::kConnected, host, port); }
    void OnDisconnected(const char* host, uint32_t code) override { Add(Kind::kDisconnected, host, code); }
    void OnError(const char* message, uint32_t code) override { Add(Kind::kError, message, code); }

    // The calls of `kind`, each as "text/value;".
    std::string Texts(Kind kind) const
    {
        std::lock_guard guard(lock);
        return texts[static_cast<size_t>(kind)];
    }
    size_t Count(Kind kind) const
    {
        std::lock_guard guard(lock);
        return counts[static_cast<size_t>(kind)];
    }
    // How many calls of each kind: "<connected> <disconnected> <errors>".
    std::string Counts() const
    {
        return std::to_string(Count(Kind::kConnected)) + " " + std::to_string(Count(Kind::kDisconnected)) + " " +
               std::to_string(Count(Kind::kError));
    }

private:
    void Add(Kind kind, const std::string& text, uint32_t value)
    {
        std::lock_guard guard(lock);
        texts[static_cast<size_t>(kind)] += text + "/" + std::to_string(value) + ";";
        ++counts[static_cast<size_t>(kind)];
    }

    mutable std::mutex lock;  // guards: texts, counts
    std::array<std::string, 3> texts;
    std::array<size_t, 3> counts{};
};

using sockettest::Fd;

// A listener on 127.0.0.1, ephemeral port, with the given backlog.
class RawListener {
public:
    explicit RawListener(int backlog = 8)
        : fd(sockettest::BoundSocket(SOCK_STREAM, true, 0, backlog)), port(sockettest::LocalPort(fd))
    {
    }
    uint16_t Port() const { return port; }

    // One connection, waiting at most 5 s; an invalid Fd on time-out.
    Fd Accept() const { return sockettest::Accept(fd); }

private:
    Fd fd;
    uint16_t port;
};

// A listener whose queue is full: the next connect to it stays pending, as
// a connect to an unanswering host does.
class FullListener {
public:
    FullListener() : listener(0)
    {
        EXPECT_TRUE(first.OpenTcp());
        EXPECT_EQ(first.Connect("127.0.0.1", listener.Port()), S_OK);
    }
    uint16_t Port() const { return listener.Port(); }

private:
    RawListener listener;
    CNetworkSocket first;
};

// A port on which nothing listens (free a moment ago).
inline uint16_t RefusedPort()
{
    return sockettest::FreePort(SOCK_STREAM);
}

inline void Write(const Fd& fd, const std::vector<uint8_t>& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd.Get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return;
        }
        sent += static_cast<size_t>(n);
    }
}

// Reads exactly `count` bytes, each read waiting at most kWaitMs; fewer
// when the stream ends or stalls.
inline std::vector<uint8_t> ReadExactly(const Fd& fd, size_t count)
{
    std::vector<uint8_t> bytes(count);
    size_t got = 0;
    while (got < count) {
        if (!sockettest::Readable(fd, static_cast<int>(kWaitMs))) {
            break;
        }
        const ssize_t n = ::recv(fd.Get(), bytes.data() + got, count - got, 0);
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

// True when the peer closed the stream (a read gives 0 or an error) within
// kWaitMs; bytes that arrive first are skipped.
inline bool SeesEndOfStream(const Fd& fd)
{
    uint8_t scratch[4096];
    return WaitUntil([&] { return sockettest::Readable(fd, 100) && ::recv(fd.Get(), scratch, sizeof scratch, 0) <= 0; },
                     static_cast<int>(kWaitMs));
}

// Calls FillStream until `done` holds; false after kWaitMs.
template <typename Done>
bool FillUntil(TCPTunnelSocket& socket, Done done)
{
    return WaitUntil([&] {
        if (done()) {
            return true;
        }
        (void)socket.FillStream();
        return false;
    }, static_cast<int>(kWaitMs));
}

// Reads until a frame was opened; false after kWaitMs.
inline bool ReceiveOne(TCPTunnelSocket& socket, TunnelPacket& packet)
{
    return FillUntil(socket, [&] { return socket.Receive(packet); });
}

}  // namespace tcptest

} // namespace zan
