#pragma once

#include "ZanExport.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace zan {

// A signaled flag with manual or automatic reset, built on a mutex and a
// condition variable. An automatic-reset event is cleared by the Wait that
// sees it signaled; a manual-reset one stays signaled until Reset.
class ZAN_EXPORT CSyncEvent {
public:
    CSyncEvent(bool initiallySignaled, bool manualReset);

    CSyncEvent(const CSyncEvent&) = delete;
    CSyncEvent& operator=(const CSyncEvent&) = delete;

    void Set();
    void Reset();
    // True when the event was or became signaled within `ms` milliseconds
    // (measured on a steady clock); false on time-out. Negative waits are 0.
    bool Wait(int64_t ms);
    // The current state, for tests and assertions; it may change at once.
    bool IsSignaled();

private:
    bool signaled;
    bool manualReset;
    std::mutex lock;                    // guards: signaled
    std::condition_variable condition;  // waiters for signaled
};

} // namespace zan
