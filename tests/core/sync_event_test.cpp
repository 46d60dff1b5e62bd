#include "CSyncEvent.h"
#include "CZAN_AutoLock.h"
#include "CZAN_DynamicBuffer.h"
#include "WaitUntil.h"
#include "ZAN_Time.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace zan {

namespace {

using Clock = std::chrono::steady_clock;

int64_t ElapsedMs(Clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

TEST(CSyncEvent, WaitZeroDoesNotBlockAndHonoursResetMode)
{
    CSyncEvent autoEvent(false, false);
    auto begin = Clock::now();
    EXPECT_FALSE(autoEvent.Wait(0));
    EXPECT_LT(ElapsedMs(begin), 50);

    autoEvent.Set();
    EXPECT_TRUE(autoEvent.Wait(0));
    EXPECT_FALSE(autoEvent.Wait(0)) << "a successful wait clears an automatic-reset event";

    CSyncEvent manualEvent(false, true);
    manualEvent.Set();
    EXPECT_TRUE(manualEvent.Wait(0));
    EXPECT_TRUE(manualEvent.Wait(0)) << "a manual-reset event stays signaled";
    manualEvent.Reset();
    EXPECT_FALSE(manualEvent.Wait(0));

    CSyncEvent initiallySignaled(true, false);
    EXPECT_TRUE(initiallySignaled.Wait(0));
    begin = Clock::now();
    EXPECT_FALSE(autoEvent.Wait(120));
    EXPECT_GE(ElapsedMs(begin), 120) << "a time-out is not cut short";
}

TEST(CSyncEvent, EachSetFromAnotherThreadReleasesOneWaiterOfAnAutomaticEvent)
{
    CSyncEvent e(false, false);
    std::atomic<int> released{0};
    const auto waiter = [&] { released += e.Wait(10000) ? 1 : 0; };
    std::thread a(waiter);
    std::thread b(waiter);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    e.Set();
    EXPECT_TRUE(WaitUntil([&] { return released == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(released, 1);
    e.Set();
    a.join();
    b.join();
    EXPECT_EQ(released, 2);
    EXPECT_FALSE(e.IsSignaled());
}

TEST(CZAN_AutoLock, LocksForItsScopeAndIgnoresNull)
{
    std::mutex m;
    {
        CZAN_AutoLock guard(&m);
        EXPECT_FALSE(m.try_lock());
    }
    EXPECT_TRUE(m.try_lock());
    m.unlock();
    CZAN_AutoLock none(nullptr);  // must neither lock nor crash
}

TEST(CZAN_DynamicBuffer, GrowsOnlyAndIsAligned)
{
    CZAN_DynamicBuffer buffer;
    EXPECT_EQ(buffer.Data(), nullptr);
    EXPECT_EQ(buffer.Capacity(), 0u);

    buffer.Reserve(100);
    ASSERT_NE(buffer.Data(), nullptr);
    EXPECT_EQ(buffer.Capacity(), 100u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer.Data()) % 32, 0u);
    std::memset(buffer.Data(), 0xAB, 100);

    uint8_t* block = buffer.Data();
    buffer.Reserve(100);
    buffer.Reserve(10);
    EXPECT_EQ(buffer.Data(), block) << "a size not above capacity keeps the block";
    EXPECT_EQ(buffer.Capacity(), 100u);
    EXPECT_EQ(buffer.Data()[99], 0xAB) << "and its contents";

    buffer.Reserve(1000);
    EXPECT_EQ(buffer.Capacity(), 1000u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer.Data()) % 32, 0u);
}

TEST(ZAN_Time, SleepWaitsAndATestClockReplacesTheSystemClock)
{
    auto begin = Clock::now();
    SleepMs(30);
    EXPECT_GE(ElapsedMs(begin), 30);

    SetTimeSource([]() -> int64_t { return 1234; });
    EXPECT_EQ(GetTimeMs(), 1234);
    SetTimeSource(nullptr);
    EXPECT_GT(GetTimeMs(), 1'600'000'000'000);
}

} // namespace

} // namespace zan
