#pragma once

#include "CSyncEvent.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace zan {

// Base class of every worker thread. The thread calls Run() again and again
// until Stop() is requested or a pass returns kEndThread; an exception that
// escapes Run() ends the thread quietly. Each Run() pass waits with a bounded
// time-out of its own, so a stop request is seen promptly.
class CMediaThread {
public:
    static constexpr int kEndThread = 240;

    CMediaThread() = default;
    virtual ~CMediaThread();

    CMediaThread(const CMediaThread&) = delete;
    CMediaThread& operator=(const CMediaThread&) = delete;

    // Starts the worker unless it runs already; false only when no thread
    // could be created.
    bool Start();
    // Requests the stop and joins the worker (no time-out). False when
    // called from the worker itself: the loop then ends at its next check.
    bool Stop();

    bool IsRunning() const { return running.load(std::memory_order_acquire); }
    bool IsStopRequested() const { return stopRequested.load(std::memory_order_acquire); }

protected:
    virtual int Run() = 0;
    // Called by Stop right after the stop is requested, before the join: a
    // worker that sleeps on an event of its own sets it here, so it ends at
    // once rather than when its sleep runs out.
    virtual void OnStopRequested() {}

private:
    void ThreadMain();
    void WaitForBodyEnd();

    std::atomic<bool> running{false};      // written only by the worker
    std::atomic<std::thread::id> workerId{};  // the current worker, set by itself
    std::atomic<bool> stopRequested{false};
    CSyncEvent bodyEnded{false, true};     // set when ThreadMain returns
    std::mutex controlLock;                // guards: thread; serialises Start and Stop
    std::thread thread;
};

} // namespace zan
