#include "Apartment.h"
#include "CMediaThread.h"
#include "ConnectionPoint.h"
#include "WaitUntil.h"
#include "platform_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

constexpr DISPID kErrorEvent = 2;

struct SinkPtr {
    explicit SinkPtr(std::atomic<int>* releases = nullptr, bool offersEvents = true)
        : sink(CreateComObject<RecordingSink>(releases, offersEvents))
    {
    }
    ~SinkPtr() { sink->Release(); }
    RecordingSink* operator->() const { return sink; }
    RecordingSink* get() const { return sink; }
    RecordingSink* sink;
};

DISPPARAMS NoArguments()
{
    return DISPPARAMS{nullptr, nullptr, 0, 0};
}

HRESULT RaiseEmpty(EventConnectionPoint& point, DISPID member = kErrorEvent)
{
    DISPPARAMS params = NoArguments();
    return point.Raise(member, params);
}

TEST(EventConnectionPoint, AdviseAndUnadviseKeepTheirCookiesApart)
{
    EventConnectionPoint point(IID_TestEvents, nullptr);
    EXPECT_EQ(RaiseEmpty(point), S_OK);  // no sink: nothing happens

    std::atomic<int> releases{0};
    {
        SinkPtr first(&releases);
        SinkPtr second(&releases);
        uint32_t firstCookie = 0;
        uint32_t secondCookie = 0;
        ASSERT_EQ(point.Advise(first.get(), &firstCookie), S_OK);
        ASSERT_EQ(point.Advise(second.get(), &secondCookie), S_OK);
        EXPECT_NE(firstCookie, 0u);
        EXPECT_NE(firstCookie, secondCookie);

        std::vector<CONNECTDATA> connections;
        ASSERT_EQ(point.EnumConnections(connections), S_OK);
        ASSERT_EQ(connections.size(), 2u);
        for (const CONNECTDATA& c : connections) {
            c.sink->Release();
        }

        EXPECT_EQ(RaiseEmpty(point), S_OK);
        EXPECT_EQ(first->invocations, 1);
        EXPECT_EQ(second->invocations, 1);

        EXPECT_EQ(point.Unadvise(firstCookie), S_OK);
        EXPECT_EQ(point.Unadvise(firstCookie), CONNECT_E_NOCONNECTION);
        EXPECT_EQ(point.Unadvise(12345), CONNECT_E_NOCONNECTION);
        EXPECT_EQ(RaiseEmpty(point), S_OK);
        EXPECT_EQ(first->invocations, 1);
        EXPECT_EQ(second->invocations, 2);
        EXPECT_EQ(second->Members(), (std::vector<DISPID>{kErrorEvent, kErrorEvent}));
    }
    // The first sink is gone; the point still holds the second one.
    EXPECT_EQ(releases, 1);
    EXPECT_EQ(point.ConnectionCount(), 1u);
}

TEST(EventConnectionPoint, RefusesSinksWithoutTheEventInterface)
{
    EventConnectionPoint point(IID_TestEvents, nullptr);
    SinkPtr plain(nullptr, false);
    uint32_t cookie = 99;
    EXPECT_EQ(point.Advise(plain.get(), &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(point.Advise(nullptr, &cookie), E_POINTER);
    EXPECT_EQ(point.Advise(plain.get(), nullptr), E_POINTER);
    EXPECT_EQ(point.ConnectionCount(), 0u);

    IID iid = IID_NULL;
    EXPECT_EQ(point.GetConnectionInterface(&iid), S_OK);
    EXPECT_EQ(iid, IID_TestEvents);
}

TEST(EventConnectionPoint, SinkMayUnadviseItselfAndAdviseOthersDuringAnEvent)
{
    EventConnectionPoint point(IID_TestEvents, nullptr);
    std::atomic<int> releases{0};
    SinkPtr leaving(&releases);
    SinkPtr late(&releases);
    uint32_t cookie = 0;
    uint32_t lateCookie = 0;
    leaving->onInvoke = [&](DISPPARAMS&) {
        // Would deadlock if the point held its lock during Invoke.
        EXPECT_EQ(point.Unadvise(cookie), S_OK);
        EXPECT_EQ(point.Advise(late.get(), &lateCookie), S_OK);
    };
    ASSERT_EQ(point.Advise(leaving.get(), &cookie), S_OK);
    RunBounded([&] { EXPECT_EQ(RaiseEmpty(point), S_OK); });
    EXPECT_EQ(leaving->invocations, 1);
    EXPECT_EQ(late->invocations, 0);  // advised after the raise began
    EXPECT_EQ(releases, 0);           // the raise kept the leaving sink alive
    EXPECT_EQ(RaiseEmpty(point), S_OK);
    EXPECT_EQ(leaving->invocations, 1);
    EXPECT_EQ(late->invocations, 1);
}

TEST(EventConnectionPoint, SinkOfAnApartmentThreadIsCalledOnThatThreadWhileTheRaiserWaits)
{
    Apartment::Scope scope;
    EventConnectionPoint point(IID_TestEvents, nullptr);
    SinkPtr sink;
    uint32_t cookie = 0;
    ASSERT_EQ(point.Advise(sink.get(), &cookie), S_OK);

    std::atomic<bool> raised{false};
    int invocationsSeenByRaiser = -1;
    std::thread worker([&] {
        EXPECT_EQ(RaiseEmpty(point), S_OK);
        invocationsSeenByRaiser = sink->invocations;
        raised = true;
    });
    // The worker cannot finish until this thread pumps its apartment.
    EXPECT_TRUE(PumpUntil(scope.Get(), [&] { return raised.load(); }));
    worker.join();
    EXPECT_EQ(invocationsSeenByRaiser, 1);
    EXPECT_EQ(sink->Threads(), (std::vector<std::thread::id>{std::this_thread::get_id()}));
}

TEST(EventConnectionPoint, SinkAdvisedWithoutApartmentIsCalledOnTheRaisingThread)
{
    EventConnectionPoint point(IID_TestEvents, nullptr);
    SinkPtr sink;
    uint32_t cookie = 0;
    ASSERT_EQ(point.Advise(sink.get(), &cookie), S_OK);
    std::thread::id workerId;
    std::thread worker([&] {
        workerId = std::this_thread::get_id();
        EXPECT_EQ(RaiseEmpty(point), S_OK);
    });
    worker.join();
    EXPECT_EQ(sink->Threads(), (std::vector<std::thread::id>{workerId}));
}

TEST(EventConnectionPoint, SinkOfALeftApartmentIsSkipped)
{
    EventConnectionPoint point(IID_TestEvents, nullptr);
    SinkPtr sink;
    std::thread host([&] {
        Apartment::Scope scope;
        uint32_t cookie = 0;
        EXPECT_EQ(point.Advise(sink.get(), &cookie), S_OK);
    });
    host.join();
    RunBounded([&] { EXPECT_EQ(RaiseEmpty(point), RPC_E_DISCONNECTED); });
    EXPECT_EQ(sink->invocations, 0);
}

TEST(EventConnectionPoint, ReferenceArgumentChangedBySinkIsSeenAfterTheRaise)
{
    Apartment::Scope scope;
    EventConnectionPoint point(IID_TestEvents, nullptr);
    SinkPtr sink;
    sink->onInvoke = [](DISPPARAMS& params) {
        ASSERT_EQ(params.cArgs, 2u);
        EXPECT_EQ(params.rgvarg[0].vt, VT_I4);
        EXPECT_EQ(params.rgvarg[0].lVal, -7);
        ASSERT_EQ(params.rgvarg[1].vt, VT_BSTR | VT_BYREF);
        BSTR* slot = params.rgvarg[1].pbstrVal;
        SysFreeString(*slot);
        *slot = SysAllocString(u"replaced by the sink");
    };
    uint32_t cookie = 0;
    ASSERT_EQ(point.Advise(sink.get(), &cookie), S_OK);

    // As the control raises ErrorEvent: the code, then a reference to the
    // message, last argument first; it frees whatever the reference holds.
    BSTR message = SysAllocString(u"Exception :x\nFile :y\nLine :1\n");
    std::atomic<bool> raised{false};
    std::thread worker([&] {
        VARIANT args[2];
        VariantInit(&args[0]);
        args[0].vt = VT_I4;
        args[0].lVal = -7;
        VariantInit(&args[1]);
        args[1].vt = VT_BSTR | VT_BYREF;
        args[1].pbstrVal = &message;
        DISPPARAMS params{args, nullptr, 2, 0};
        EXPECT_EQ(point.Raise(kErrorEvent, params), S_OK);
        raised = true;
    });
    EXPECT_TRUE(PumpUntil(scope.Get(), [&] { return raised.load(); }));
    worker.join();
    EXPECT_EQ(sink->invocations, 1);
    EXPECT_EQ(BstrView(message), u"replaced by the sink");
    SysFreeString(message);
}

// A worker that raises an event on every pass, as the engine's threads
// report errors.
class RaisingThread : public CMediaThread {
public:
    explicit RaisingThread(EventConnectionPoint& point) : point(point) {}
    ~RaisingThread() override { Stop(); }
    std::atomic<int> raised{0};

protected:
    int Run() override
    {
        DISPPARAMS params = NoArguments();
        static_cast<void>(point.Raise(kErrorEvent, params));
        ++raised;
        return 0;
    }

private:
    EventConnectionPoint& point;
};

TEST(EventConnectionPoint, StoppingAWorkerThatRaisesToTheStoppingThreadDoesNotDeadlock)
{
    RunBounded([] {
        Apartment::Scope scope;
        EventConnectionPoint point(IID_TestEvents, nullptr);
        SinkPtr sink;
        uint32_t cookie = 0;
        ASSERT_EQ(point.Advise(sink.get(), &cookie), S_OK);
        for (int round = 0; round < 20; ++round) {
            RaisingThread worker(point);
            ASSERT_TRUE(worker.Start());
            const int before = sink->invocations;
            // Pump until the worker is in the middle of raising events, then
            // stop it: its current raise waits for this very thread.
            EXPECT_TRUE(PumpUntil(scope.Get(), [&] { return sink->invocations >= before + 3; }));
            EXPECT_TRUE(worker.Stop());
        }
        EXPECT_GE(sink->invocations, 60);
        for (std::thread::id id : sink->Threads()) {
            EXPECT_EQ(id, std::this_thread::get_id());
        }
    });
}

TEST(EventConnectionPoint, DisabledPointRaisesNothing)
{
    EventConnectionPoint point(IID_TestEvents, nullptr);
    SinkPtr sink;
    uint32_t cookie = 0;
    ASSERT_EQ(point.Advise(sink.get(), &cookie), S_OK);
    point.Disable();
    EXPECT_EQ(RaiseEmpty(point), S_OK);
    EXPECT_EQ(sink->invocations, 0);
}

} // namespace
