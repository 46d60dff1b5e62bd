#pragma once

#include "ResultCodes.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace zan {

// A host thread's call queue. A thread that enters an apartment receives
// every call other threads direct at it (events for the sinks it advised)
// on itself: the calling thread queues the call and blocks until the owner
// has run it. The owner runs queued calls when it pumps: in its own main
// loop (PumpFor) and inside every blocking wait it makes in the module
// (joining a worker, a TCP connect), through the thread's wait pump that
// Enter installs. An owner that neither pumps nor leaves keeps its callers
// waiting; leaving (or the thread's end) runs what was queued and refuses
// every later call, so no caller hangs on a thread that has gone.
//
// Threads: Enter, Leave, Pump and PumpFor on the owner thread; Call on any.
class Apartment : public std::enable_shared_from_this<Apartment> {
public:
    // Makes the calling thread an apartment thread, or returns the apartment
    // it has already (each Enter then needs one more Leave).
    static Apartment* Enter();
    // Undoes one Enter; the last one closes the apartment.
    static void Leave();
    // The calling thread's apartment, or null.
    static Apartment* Current();
    // The same, for holders that may outlive the apartment's thread.
    static std::shared_ptr<Apartment> CurrentShared();

    // Enters on construction and leaves on destruction.
    class Scope {
    public:
        Scope() : apartment(Enter()) {}
        ~Scope() { Leave(); }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        Apartment* Get() const { return apartment; }

    private:
        Apartment* apartment;
    };

    struct ConstructionKey;
    Apartment(const ConstructionKey&, std::thread::id owner);
    Apartment(const Apartment&) = delete;
    Apartment& operator=(const Apartment&) = delete;

    // Runs `fn` on the owner thread: at once when called there, else queued,
    // waiting until it ran (the caller's own wait pump keeps running while it
    // waits, so two apartments calling each other cannot deadlock). An
    // exception thrown by `fn` reaches the caller. RPC_E_DISCONNECTED when
    // the apartment has been left or is being left. A caller on another
    // thread must know the apartment alive when it calls (hold
    // CurrentShared()); the call then keeps it alive until it returns.
    HRESULT Call(std::function<void()> fn);
    // Runs every queued call (on the owner thread only; elsewhere nothing).
    void Pump();
    // Waits up to `ms` milliseconds for calls, then runs those queued; true
    // when at least one ran. For a host's main loop.
    bool PumpFor(int64_t ms);

    bool IsOwnerThread() const { return std::this_thread::get_id() == owner; }
    bool IsClosed();
    // Calls waiting for the owner to pump.
    size_t QueuedCallCount();

    // Refuses every later call and runs the queued ones (owner thread only).
    // Leave and the thread's end do this; there is no reopening.
    void Close();

private:
    struct PendingCall {
        std::function<void()> fn;
        std::exception_ptr error;
        bool done = false;
    };

    static void PumpCurrent(void* apartment);
    // Runs the oldest queued call; false when there was none.
    bool RunOne();
    void AwaitCompletion(PendingCall& call);

    const std::thread::id owner;
    std::mutex lock;  // guards: queue, closed, and `done` of every queued call
    std::condition_variable callQueued;    // the owner waits here in PumpFor
    std::condition_variable callFinished;  // callers wait here for `done`
    std::deque<std::shared_ptr<PendingCall>> queue;
    bool closed = false;
};

} // namespace zan
