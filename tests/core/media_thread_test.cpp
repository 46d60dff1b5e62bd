#include "CMediaThread.h"
#include "ThreadWaitPump.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace zan {

namespace {

// A worker whose passes are given by the test.
class TestThread : public CMediaThread {
public:
    explicit TestThread(std::function<int(TestThread&)> body) : body(std::move(body)) {}
    ~TestThread() override { Stop(); }

    std::atomic<int> passes{0};

protected:
    int Run() override
    {
        ++passes;
        return body(*this);
    }

private:
    std::function<int(TestThread&)> body;
};

TEST(CMediaThread, SecondStartCreatesNoSecondThread)
{
    std::atomic<int> concurrent{0};
    std::atomic<int> maxConcurrent{0};
    TestThread t([&](TestThread&) {
        const int now = ++concurrent;
        int seen = maxConcurrent.load();
        while (now > seen && !maxConcurrent.compare_exchange_weak(seen, now)) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        --concurrent;
        return 0;
    });
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(t.Start());  // racing the first thread before it set `running`
    ASSERT_TRUE(WaitUntil([&] { return t.IsRunning(); }));
    EXPECT_TRUE(t.Start());
    ASSERT_TRUE(WaitUntil([&] { return t.passes > 20; }));
    EXPECT_TRUE(t.Stop());
    EXPECT_EQ(maxConcurrent, 1);
    EXPECT_FALSE(t.IsRunning());
}

// A pass that returns kEndThread or throws ends the loop quietly; Start runs
// the object again. Stop from inside a pass returns false and ends it too.
TEST(CMediaThread, LoopEndsFromInsideAndStartRunsAgain)
{
    std::atomic<int> stopsInsideReturningTrue{0};
    const std::function<int(TestThread&)> bodies[] = {
        [](TestThread& self) { return self.passes % 2 == 0 ? CMediaThread::kEndThread : 0; },
        [](TestThread&) -> int { throw 42; },
        [&](TestThread& self) {
            stopsInsideReturningTrue += self.Stop() ? 1 : 0;
            return 0;
        },
    };
    for (size_t i = 0; i < std::size(bodies); ++i) {
        SCOPED_TRACE(i);
        TestThread t(bodies[i]);
        const int perRun = i == 0 ? 2 : 1;
        for (int run = 1; run <= 2; ++run) {
            ASSERT_TRUE(t.Start());
            ASSERT_TRUE(WaitUntil([&] { return t.passes == run * perRun && !t.IsRunning(); }));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(t.passes, 2 * perRun);
        EXPECT_TRUE(t.Stop());
    }
    EXPECT_EQ(stopsInsideReturningTrue, 0);
}

TEST(CMediaThread, ManyStartStopCyclesUnderConcurrentStops)
{
    TestThread t([](TestThread&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 0;
    });
    EXPECT_TRUE(t.Stop()) << "a stop without a start is harmless";
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(t.Start());
        std::thread other([&] { t.Stop(); });
        t.Stop();
        other.join();
        EXPECT_FALSE(t.IsRunning());
    }
}

// A worker that sleeps an hour on an event of its own between passes, as
// the recorder's writer does.
class SleepyThread : public CMediaThread {
public:
    ~SleepyThread() override { Stop(); }
    CSyncEvent wake{false, false};
    std::atomic<int> passes{0};

protected:
    int Run() override
    {
        ++passes;
        wake.Wait(3'600'000);
        return 0;
    }
    void OnStopRequested() override { wake.Set(); }
};

TEST(CMediaThread, StopWakesAWorkerAsleepOnItsOwnEvent)
{
    SleepyThread t;
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(WaitUntil([&] { return t.passes == 1; }));
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        t.Stop();
        stopped = true;
    });
    const bool prompt = WaitUntil([&] { return stopped.load(); }, 5000);
    if (!prompt) {
        t.wake.Set();  // let the test end; the stop itself waited for the sleep
    }
    stopper.join();
    EXPECT_TRUE(prompt) << "Stop waited for the worker's sleep to run out";
}

// A host thread that joins a worker keeps serving its queue: the worker
// waits for the host to run a call before it can end.
TEST(CMediaThread, StopServesTheCallingThreadsPump)
{
    static std::atomic<bool> hostServed{false};
    TestThread t([](TestThread& self) {
        if (self.IsStopRequested()) {
            // Reporting while the host stops: blocked until the host pumps.
            for (int i = 0; i < 5000 && !hostServed; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return CMediaThread::kEndThread;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 0;
    });
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(WaitUntil([&] { return t.IsRunning(); }));
    SetThreadWaitPump([](void*) { hostServed = true; }, nullptr);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(t.Stop());
    SetThreadWaitPump(nullptr, nullptr);
    EXPECT_TRUE(hostServed);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(4));
}

} // namespace

} // namespace zan
