// The proxy exchange reading a reply that arrives in two pieces, run over an
// in-memory connection and over a real stream socket pair. On a real socket
// the kernel usually hands the reply over whole, so a reply cut inside its
// blank line, or a tunnel stream that starts in the read that ends the
// reply, is rare there; the in-memory connection cuts it at every byte.

#include "ProxyExchange.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace zan {
namespace {

constexpr std::string_view kReply = "HTTP/1.0 200 Connection established\r\nVia: test\r\n\r\n";
const std::string kStreamStart("\x02\x00\x07", 3);

// What both connections share: one connection, no reconnection, a clock.
class OneConnection : public IProxyConnection {
public:
    // The bytes the exchange left unread: the tunnel reads them next.
    virtual std::string Rest() = 0;

    bool PrepareSocket() override { return false; }
    int32_t ConnectToProxy() override { return -1; }
    void ReportError(const std::string& message) override { lastError = message; }
    std::string LastErrorText() const override { return lastError; }
    int64_t NowMs() const override
    {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }

    std::string lastError;
};

// The proxy's bytes come in the two given pieces, one per read.
class InMemoryConnection : public OneConnection {
public:
    explicit InMemoryConnection(std::vector<std::string> pieces) : pieces(std::move(pieces)) {}

    int32_t SendAll(std::span<const uint8_t> bytes) override { return static_cast<int32_t>(bytes.size()); }
    int32_t Receive(std::span<uint8_t> buffer, int64_t) override
    {
        if (next == pieces.size()) {
            return -1;
        }
        std::string& piece = pieces[next];
        const size_t count = std::min(piece.size(), buffer.size());
        std::copy_n(piece.begin(), count, buffer.begin());
        piece.erase(0, count);
        next += piece.empty() ? 1 : 0;
        return static_cast<int32_t>(count);
    }

    std::string Rest() override
    {
        std::string rest;
        for (; next < pieces.size(); ++next) {
            rest += pieces[next];
        }
        return rest;
    }

private:
    std::vector<std::string> pieces;
    size_t next = 0;
};

// One end of a connected stream socket pair; the test's proxy writes the
// pieces to the other end with a pause between them, after the request.
class SocketPairConnection : public OneConnection {
public:
    explicit SocketPairConnection(std::vector<std::string> pieces)
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
            ends[0] = ends[1] = -1;
            return;
        }
        proxy = std::thread([this, pieces = std::move(pieces)] {
            char request[512];
            if (::read(ends[1], request, sizeof request) <= 0) {
                return;
            }
            for (const std::string& piece : pieces) {
                if (::write(ends[1], piece.data(), piece.size()) != static_cast<ssize_t>(piece.size())) {
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    ~SocketPairConnection() override
    {
        if (proxy.joinable()) {
            proxy.join();
        }
        for (int end : ends) {
            if (end >= 0) {
                ::close(end);
            }
        }
    }
    SocketPairConnection(const SocketPairConnection&) = delete;
    SocketPairConnection& operator=(const SocketPairConnection&) = delete;

    [[nodiscard]] bool Ready() const { return ends[0] >= 0; }

    int32_t SendAll(std::span<const uint8_t> bytes) override
    {
        const ssize_t written = ::write(ends[0], bytes.data(), bytes.size());
        return written == static_cast<ssize_t>(bytes.size()) ? static_cast<int32_t>(written) : 0;
    }
    int32_t Receive(std::span<uint8_t> buffer, int64_t timeoutMs) override
    {
        pollfd ready{ends[0], POLLIN, 0};
        const int polled = ::poll(&ready, 1, static_cast<int>(timeoutMs));
        if (polled <= 0) {
            return polled == 0 ? 0 : -1;
        }
        const ssize_t count = ::read(ends[0], buffer.data(), buffer.size());
        return count > 0 ? static_cast<int32_t>(count) : -1;
    }

    std::string Rest() override
    {
        proxy.join();  // everything is written
        std::string rest;
        char buffer[256];
        ssize_t count;
        while ((count = ::recv(ends[0], buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            rest.append(buffer, static_cast<size_t>(count));
        }
        return rest;
    }

private:
    int ends[2] = {-1, -1};
    std::thread proxy;
};

ProxyExchange::Settings Settings()
{
    ProxyExchange::Settings settings;
    settings.destinationHost = "relay.example";
    settings.destinationPort = 5000;
    settings.proxyHost = "10.0.0.9";
    return settings;
}

// The reply and the first stream bytes, cut at `cut`.
std::vector<std::string> CutAt(size_t cut)
{
    const std::string whole = std::string(kReply) + kStreamStart;
    return {whole.substr(0, cut), whole.substr(cut)};
}

// The exchange succeeds, and the stream bytes it read with the reply plus
// those it left unread are the stream, each byte once: a read that ends the
// reply hands on what followed it, and no read goes past that one.
void ExpectOpenedWithTheWholeStream(OneConnection& connection, size_t cut)
{
    ProxyExchange exchange(connection, Settings());
    ASSERT_TRUE(exchange.Run()) << "cut at " << cut << ": " << connection.LastErrorText();
    const std::string inReply = cut < kReply.size() ? kStreamStart : kStreamStart.substr(0, cut - kReply.size());
    EXPECT_EQ(exchange.StreamStart(), inReply) << "cut at " << cut;
    EXPECT_EQ(exchange.StreamStart() + connection.Rest(), kStreamStart) << "cut at " << cut;
}

TEST(ProxySplitReply, InMemoryEveryCutOpensAndKeepsTheWholeStream)
{
    for (size_t cut = 1; cut < kReply.size() + kStreamStart.size(); ++cut) {
        InMemoryConnection connection(CutAt(cut));
        ExpectOpenedWithTheWholeStream(connection, cut);
    }
}

TEST(ProxySplitReply, SocketPairCutsAroundTheBlankLineOpenAndKeepTheWholeStream)
{
    // Inside the blank line, right after it, and inside the stream bytes.
    for (size_t cut : {kReply.size() - 3, kReply.size() - 1, kReply.size(), kReply.size() + 1}) {
        SocketPairConnection connection(CutAt(cut));
        ASSERT_TRUE(connection.Ready());
        ExpectOpenedWithTheWholeStream(connection, cut);
    }
}

} // namespace
} // namespace zan
