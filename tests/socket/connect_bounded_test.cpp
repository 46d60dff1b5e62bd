// CNetworkSocket::ConnectBounded: the connect the host's thread makes, which
// must keep serving the thread's wait pump and end on a limit, a cancel
// flag or Shutdown. A listener with a backlog of 0 that never accepts keeps
// a second connect pending, as an unanswering host would.

#include "CNetworkSocket.h"
#include "ResultCodes.h"
#include "ThreadWaitPump.h"

#include "tcp_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <functional>

namespace zan {

namespace {

using tcptest::FullListener;

// Installs `action` as the calling thread's wait pump for one test.
class ScopedPump {
public:
    explicit ScopedPump(std::function<void()> action) : action(std::move(action))
    {
        SetThreadWaitPump([](void* self) { static_cast<ScopedPump*>(self)->Run(); }, this);
    }
    ~ScopedPump() { SetThreadWaitPump(nullptr, nullptr); }
    int Calls() const { return calls; }

private:
    void Run()
    {
        ++calls;
        action();
    }
    std::function<void()> action;
    int calls = 0;
};

// Connecting and carrying data is checked through the TCP tunnel socket,
// which connects with it.
TEST(ConnectBounded, RefusedPortFailsWithTheSystemError)
{
    CNetworkSocket socket;
    ASSERT_TRUE(socket.OpenTcp());
    EXPECT_EQ(socket.ConnectBounded("127.0.0.1", tcptest::RefusedPort(), 5000), E_FAIL);
    EXPECT_EQ(socket.LastErrorCode(), ECONNREFUSED);
}

TEST(ConnectBounded, PendingConnectRunsThePumpAndEndsAtTheLimit)
{
    FullListener full;
    CNetworkSocket socket;
    ASSERT_TRUE(socket.OpenTcp());
    ScopedPump pump([] {});
    EXPECT_EQ(socket.ConnectBounded("127.0.0.1", full.Port(), 300), E_FAIL);
    EXPECT_EQ(socket.LastErrorCode(), ETIMEDOUT);
    EXPECT_GE(pump.Calls(), 1) << "the host's queue must be served while the connect waits";
}

TEST(ConnectBounded, PendingConnectEndsAtShutdownOrCancel)
{
    FullListener full;
    {
        CNetworkSocket socket;
        ASSERT_TRUE(socket.OpenTcp());
        ScopedPump pump([&] { socket.Shutdown(); });
        EXPECT_EQ(socket.ConnectBounded("127.0.0.1", full.Port(), 60000), E_FAIL);
        EXPECT_EQ(pump.Calls(), 1);
    }
    {
        CNetworkSocket socket;
        ASSERT_TRUE(socket.OpenTcp());
        std::atomic<bool> cancel{false};
        ScopedPump pump([&] { cancel.store(true); });
        EXPECT_EQ(socket.ConnectBounded("127.0.0.1", full.Port(), 60000, &cancel), E_FAIL);
        EXPECT_EQ(pump.Calls(), 1);
        EXPECT_EQ(socket.LastErrorText(), "Connect cancelled.");
    }
}

}  // namespace

} // namespace zan
