#include "WriterPreferringMutex.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

namespace zan {

namespace {

using Clock = std::chrono::steady_clock;

// Readers hand the lock on among themselves so that it is never free: each
// keeps its hold until a reader that came in after it holds the lock too (or
// 50 ms passed). A mutex that lets new readers in while a writer waits keeps
// the writer out for as long as this relay runs; the relay is bounded by a
// count of reads and by time, and a writer that gets in only once it ended
// was starved.
TEST(WriterPreferringMutex, WaitingWriterIsNotStarvedByOverlappingReaders)
{
    using namespace std::chrono_literals;
    constexpr int kReaders = 3;
    constexpr int kMaxReadsAheadOfWriter = 200'000;
    const auto deadline = Clock::now() + 10s;

    WriterPreferringMutex mutex;
    std::atomic<int> arrivals{0};
    std::atomic<int> askedAt{-1};  // arrivals when the writer asked for the lock
    std::atomic<bool> writerIn{false};
    std::atomic<bool> relayEnded{false};

    auto reader = [&] {
        for (;;) {
            std::shared_lock hold(mutex);
            const int mine = ++arrivals;
            if (writerIn) {
                return;
            }
            const int asked = askedAt;
            if (Clock::now() > deadline || (asked >= 0 && mine - asked > kMaxReadsAheadOfWriter)) {
                relayEnded = true;  // set while still holding: the writer cannot be in yet
                return;
            }
            const auto until = Clock::now() + 50ms;
            while (arrivals == mine && !writerIn && Clock::now() < until) {
                std::this_thread::yield();
            }
        }
    };
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i) {
        readers.emplace_back(reader);
    }
    EXPECT_TRUE(WaitUntil([&] { return arrivals > 100; })) << "the readers never got going";

    askedAt = arrivals.load();
    mutex.lock();
    const int readsAhead = arrivals - askedAt;
    const bool relayStillRan = !relayEnded;
    writerIn = true;
    mutex.unlock();
    for (std::thread& t : readers) {
        t.join();
    }
    EXPECT_TRUE(relayStillRan) << "the writer got in only after the readers stopped; " << readsAhead
                               << " reads went ahead of it";
}

}  // namespace

} // namespace zan
