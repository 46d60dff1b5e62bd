#include "CSyncEvent.h"

#include <chrono>

namespace zan {

CSyncEvent::CSyncEvent(bool initiallySignaled, bool manualReset)
    : signaled(initiallySignaled), manualReset(manualReset)
{
}

void CSyncEvent::Set()
{
    std::lock_guard guard(lock);
    if (!signaled) {
        signaled = true;
        condition.notify_one();
    }
}

void CSyncEvent::Reset()
{
    std::lock_guard guard(lock);
    signaled = false;
}

bool CSyncEvent::Wait(int64_t ms)
{
    std::unique_lock guard(lock);
    if (!signaled && ms > 0) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        condition.wait_until(guard, deadline, [this] { return signaled; });
    }
    if (!signaled) {
        return false;
    }
    if (!manualReset) {
        signaled = false;
    }
    return true;
}

bool CSyncEvent::IsSignaled()
{
    std::lock_guard guard(lock);
    return signaled;
}

} // namespace zan
