#pragma once

#include "Apartment.h"
#include "ComBase.h"
#include "IDispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace zan {

// The event interface of the tests' sinks (a dispatch interface).
inline constexpr IID IID_TestEvents{0x5A4E0001, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};

// An event sink made with CreateComObject that records the thread of each
// Invoke; `onInvoke` acts inside the event. Counts its FinalRelease calls in
// `*releases`, taking and dropping a reference there as a control does when
// it lets go of what it holds.
class RecordingSink : public IDispatch, public ComObjectRoot {
public:
    explicit RecordingSink(std::atomic<int>* releases = nullptr, bool offersEvents = true,
                           HRESULT constructResult = S_OK)
        : releases(releases), offersEvents(offersEvents), constructResult(constructResult)
    {
    }

    void* GetInterface(const IID& iid)
    {
        const bool offered = iid == IID_IUnknown || iid == IID_IDispatch || (offersEvents && iid == IID_TestEvents);
        return offered ? static_cast<IDispatch*>(this) : nullptr;
    }
    HRESULT FinalConstruct() { return constructResult; }
    void FinalRelease()
    {
        if (releases != nullptr) {
            ++*releases;
        }
        AddRef();
        Release();
    }

    HRESULT GetTypeInfoCount(uint32_t*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(uint32_t, uint32_t, void**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(const IID&, const char16_t**, uint32_t, uint32_t, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, const IID&, uint32_t, uint16_t, DISPPARAMS* params, VARIANT*, void*, uint32_t*) override
    {
        {
            std::lock_guard guard(lock);
            threads.push_back(std::this_thread::get_id());
        }
        if (onInvoke) {
            onInvoke(*params);
        }
        ++invocations;
        return S_OK;
    }

    std::vector<std::thread::id> Threads()
    {
        std::lock_guard guard(lock);
        return threads;
    }

    std::function<void(DISPPARAMS&)> onInvoke;
    std::atomic<int> invocations{0};

private:
    std::atomic<int>* releases;
    bool offersEvents;
    HRESULT constructResult;
    std::mutex lock;  // guards: threads
    std::vector<std::thread::id> threads;
};

// Runs `body` on a thread of its own and waits up to `seconds` for it. A
// body still running then is a deadlock: the process is ended, since a
// blocked thread cannot be taken back.
inline void RunBounded(std::function<void()> body, int seconds = 20)
{
    std::packaged_task<void()> task(std::move(body));
    std::future<void> done = task.get_future();
    std::thread runner(std::move(task));
    if (done.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
        std::fprintf(stderr, "deadlock: the body did not end within %d s\n", seconds);
        std::abort();
    }
    runner.join();
    done.get();
}

// Pumps the calling thread's apartment until `done` holds or `ms` have
// passed; returns whether it held.
template <typename Pred>
bool PumpUntil(Apartment* apartment, Pred done, int ms = 10000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        apartment->PumpFor(1);
    }
    return true;
}

} // namespace zan
