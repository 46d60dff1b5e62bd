#include "ZAN_Time.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace zan {

namespace {

std::atomic<TimeSource> timeSource{nullptr};

int64_t SystemTimeMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace

int64_t GetTimeMs()
{
    const TimeSource source = timeSource.load(std::memory_order_acquire);
    return source != nullptr ? source() : SystemTimeMs();
}

void SleepMs(int64_t ms)
{
    if (ms > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
}

void SetTimeSource(TimeSource source)
{
    timeSource.store(source, std::memory_order_release);
}

} // namespace zan
