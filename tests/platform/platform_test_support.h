#pragma once

// Helpers of the platform and control tests: an event sink that records
// each event with its thread, a bounded run of a body that might deadlock,
// pumping an apartment until a condition holds, the messages and debug
// output a boundary shows, and a temporary log folder.

#include "Apartment.h"
#include "Bstr.h"
#include "ComBase.h"
#include "DebugOutput.h"
#include "IDispatch.h"
#include "MessagePresenter.h"
#include "ScopedEnvironment.h"
#include "TextConversion.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zan {

// The event interface of the platform tests' sinks (a dispatch interface).
inline constexpr IID IID_TestEvents{0x5A4E0001, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, 8}};

// An event sink made with CreateComObject that records each Invoke: the
// event, its code and message arguments, its thread; `onInvoke` acts inside
// the event. Offers the one event interface `events` (none when null).
// Counts its FinalRelease calls in `*releases`, taking and dropping a
// reference there as a control does when it lets go of what it holds.
class RecordingSink : public IDispatch, public ComObjectRoot {
public:
    struct Received {
        DISPID id;
        std::string message;
        int32_t code;
        std::thread::id thread;
    };

    explicit RecordingSink(std::atomic<int>* releases = nullptr, const IID* events = &IID_TestEvents,
                           HRESULT constructResult = S_OK)
        : releases(releases), events(events), constructResult(constructResult)
    {
    }

    void* GetInterface(const IID& iid)
    {
        const bool offered = iid == IID_IUnknown || iid == IID_IDispatch || (events != nullptr && iid == *events);
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
    HRESULT Invoke(DISPID id, const IID&, uint32_t, uint16_t, DISPPARAMS* params, VARIANT*, void*, uint32_t*) override
    {
        Received r{id, {}, 0, std::this_thread::get_id()};
        for (uint32_t i = 0; i < params->cArgs; ++i) {
            const VARIANT& arg = params->rgvarg[i];
            if (arg.vt == VT_I4) {
                r.code = arg.lVal;
            } else if (arg.vt == (VT_BSTR | VT_BYREF)) {
                r.message = Utf16ToUtf8(BstrView(*arg.pbstrVal));
            }
        }
        {
            std::lock_guard guard(lock);
            received.push_back(r);
        }
        if (onInvoke) {
            onInvoke(*params);
        }
        ++invocations;
        return S_OK;
    }

    std::vector<Received> Events()
    {
        std::lock_guard guard(lock);
        return received;
    }
    std::vector<std::thread::id> Threads()
    {
        std::vector<std::thread::id> threads;
        for (const Received& r : Events()) {
            threads.push_back(r.thread);
        }
        return threads;
    }
    size_t Count(DISPID id)
    {
        size_t n = 0;
        for (const Received& r : Events()) {
            n += r.id == id ? 1 : 0;
        }
        return n;
    }

    std::function<void(DISPPARAMS&)> onInvoke;
    std::atomic<int> invocations{0};

private:
    std::atomic<int>* releases;
    const IID* events;
    HRESULT constructResult;
    std::mutex lock;  // guards: received
    std::vector<Received> received;
};

// One reference to a new sink, dropped at the end of the scope.
struct SinkRef {
    explicit SinkRef(std::atomic<int>* releases = nullptr, const IID* events = &IID_TestEvents)
        : sink(CreateComObject<RecordingSink>(releases, events))
    {
    }
    ~SinkRef() { sink->Release(); }
    SinkRef(const SinkRef&) = delete;
    SinkRef& operator=(const SinkRef&) = delete;
    RecordingSink* operator->() const { return sink; }
    RecordingSink* sink;
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
    return WaitUntil([&] { return apartment->PumpFor(1), done(); }, ms);
}

// Records what reaches the message presenter and the debug output, for the
// life of the object.
class ShownMessages {
public:
    struct Message {
        std::u16string caption;
        std::u16string text;
        uint32_t flags;
    };

    ShownMessages()
    {
        SetMessagePresenter([](const char16_t* caption, const char16_t* text, uint32_t flags, void* self) {
            auto* shown = static_cast<ShownMessages*>(self);
            std::lock_guard guard(shown->lock);
            shown->messages.push_back({caption != nullptr ? caption : u"", text != nullptr ? text : u"", flags});
        }, this);
        SetDebugOutputCallback([](const char* text, void* self) {
            static_cast<ShownMessages*>(self)->debugOutput.push_back(text);
        }, this);
    }
    ~ShownMessages()
    {
        SetMessagePresenter(nullptr, nullptr);
        SetDebugOutputCallback(nullptr, nullptr);
    }

    // The texts shown so far, in UTF-8.
    std::vector<std::string> Texts()
    {
        std::lock_guard guard(lock);
        std::vector<std::string> texts;
        for (const Message& m : messages) {
            texts.push_back(Utf16ToUtf8(m.text));
        }
        return texts;
    }

    std::mutex lock;  // guards: messages
    std::vector<Message> messages;
    std::vector<std::string> debugOutput;
};

// ZAN_COMMON_APPDATA pointed at a fresh folder for the life of the object,
// with or without the log's folder in it.
class TemporaryAppData {
public:
    explicit TemporaryAppData(bool withLogFolder)
    {
        if (withLogFolder) {
            std::filesystem::create_directories(LogFile().parent_path());
        }
    }
    std::filesystem::path LogFile() const { return folder.path / "Corvana/Client/Log/zan_debug.txt"; }
    std::string Log() const { return ReadText(LogFile()); }

    TempFolder folder{"zan-appdata"};
    ScopedEnvironment environment{"ZAN_COMMON_APPDATA", folder.path.string()};
};

} // namespace zan
