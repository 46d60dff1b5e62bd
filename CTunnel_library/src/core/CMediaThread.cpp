#include "CMediaThread.h"

#include "CZAN_AutoLock.h"
#include "ThreadWaitPump.h"

#include <system_error>

namespace zan {

namespace {
constexpr int64_t kPumpSliceMs = 5;
}

CMediaThread::~CMediaThread()
{
    Stop();
}

bool CMediaThread::Start()
{
    try {
        CZAN_AutoLock guard(&controlLock);
        if (thread.joinable()) {
            // Started before: still alive (or about to set `running`) means
            // there is nothing to do; a body that already ended is joined so
            // the object can run again.
            if (!bodyEnded.IsSignaled()) {
                return true;
            }
            thread.join();
        }
        stopRequested.store(false, std::memory_order_release);
        bodyEnded.Reset();
        thread = std::thread(&CMediaThread::ThreadMain, this);
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

bool CMediaThread::Stop()
{
    // Called from the worker itself: joining would deadlock, and so could
    // waiting for controlLock while another thread holds it to join us.
    if (workerId.load(std::memory_order_acquire) == std::this_thread::get_id()) {
        stopRequested.store(true, std::memory_order_release);
        return false;
    }
    try {
        CZAN_AutoLock guard(&controlLock);
        stopRequested.store(true, std::memory_order_release);
        OnStopRequested();
        if (thread.joinable()) {
            WaitForBodyEnd();
            thread.join();
        }
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

void CMediaThread::WaitForBodyEnd()
{
    // A host thread with a call queue keeps serving it while it waits, so a
    // worker that reports to the host before it ends can finish.
    while (!bodyEnded.Wait(0)) {
        if (RunThreadWaitPump()) {
            bodyEnded.Wait(kPumpSliceMs);
        } else {
            bodyEnded.Wait(1000);
        }
    }
}

void CMediaThread::ThreadMain()
{
    workerId.store(std::this_thread::get_id(), std::memory_order_release);
    running.store(true, std::memory_order_release);
    try {
        while (!stopRequested.load(std::memory_order_acquire)) {
            if (Run() == kEndThread) {
                break;
            }
        }
    } catch (...) {
        // A worker that must report a failure does so inside Run.
    }
    running.store(false, std::memory_order_release);
    bodyEnded.Set();
}

} // namespace zan
