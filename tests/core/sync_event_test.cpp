#include "CSyncEvent.h"
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

// Grow-only: a size not above the capacity keeps the block and its bytes;
// every block is 32-byte aligned.
TEST(CZAN_DynamicBuffer, GrowsOnlyAndIsAligned)
{
    CZAN_DynamicBuffer buffer;
    const struct {
        uint32_t size, capacity;
        bool keeps;
    } steps[] = {{100, 100, false}, {100, 100, true}, {10, 100, true}, {1000, 1000, false}};
    for (const auto [size, capacity, keeps] : steps) {
        const uint8_t* before = buffer.Data();
        buffer.Reserve(size);
        ASSERT_EQ(buffer.Capacity(), capacity) << size;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer.Data()) % 32, 0u) << size;
        if (keeps) {
            EXPECT_EQ(buffer.Data(), before) << size;
            EXPECT_EQ(buffer.Data()[99], 0xAB) << size;
        }
        std::memset(buffer.Data(), 0xAB, capacity);
    }
}

TEST(ZAN_Time, WallClockInMilliseconds)
{
    const auto wall = std::chrono::system_clock::now().time_since_epoch();
    EXPECT_NEAR(GetTimeMs(), std::chrono::duration_cast<std::chrono::milliseconds>(wall).count(), 1000);
}

} // namespace

} // namespace zan
