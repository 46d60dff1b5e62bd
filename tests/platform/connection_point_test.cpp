#include "CMediaThread.h"
#include "ConnectionPoint.h"
#include "platform_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace zan {

namespace {

constexpr DISPID kErrorEvent = 2;

HRESULT RaiseEmpty(EventConnectionPoint& point)
{
    DISPPARAMS params{nullptr, nullptr, 0, 0};
    return point.Raise(kErrorEvent, params);
}

TEST(EventConnectionPoint, AdviseUnadviseAndRaise)
{
    std::atomic<int> releases{0};  // outlives the point, which releases last
    EventConnectionPoint point(IID_TestEvents, nullptr);
    EXPECT_EQ(RaiseEmpty(point), S_OK);  // no sink: nothing happens
    {
        SinkRef first(&releases);
        SinkRef second(&releases);
        SinkRef plain(&releases, nullptr);
        uint32_t firstCookie = 0;
        uint32_t secondCookie = 0;
        uint32_t refused = 99;
        ASSERT_EQ(point.Advise(first.sink, &firstCookie), S_OK);
        ASSERT_EQ(point.Advise(second.sink, &secondCookie), S_OK);
        EXPECT_NE(firstCookie, 0u);
        EXPECT_NE(firstCookie, secondCookie);
        EXPECT_EQ(point.Advise(plain.sink, &refused), CONNECT_E_CANNOTCONNECT);
        EXPECT_EQ(refused, 0u);
        EXPECT_EQ(point.Advise(nullptr, &refused), E_POINTER);

        EXPECT_EQ(RaiseEmpty(point), S_OK);
        EXPECT_EQ(point.Unadvise(firstCookie), S_OK);
        EXPECT_EQ(point.Unadvise(firstCookie), CONNECT_E_NOCONNECTION);
        EXPECT_EQ(RaiseEmpty(point), S_OK);
        EXPECT_EQ(first->invocations, 1);
        EXPECT_EQ(second->invocations, 2);

        std::vector<CONNECTDATA> connections;
        ASSERT_EQ(point.EnumConnections(connections), S_OK);
        ASSERT_EQ(connections.size(), 1u);
        EXPECT_EQ(connections[0].cookie, secondCookie);
        connections[0].sink->Release();

        point.Disable();
        EXPECT_EQ(RaiseEmpty(point), S_OK);
        EXPECT_EQ(second->invocations, 2);
    }
    // The point still holds the second sink, and only that one.
    EXPECT_EQ(releases, 2);
}

TEST(EventConnectionPoint, SinkMayUnadviseItselfAndAdviseOthersDuringAnEvent)
{
    std::atomic<int> releases{0};
    EventConnectionPoint point(IID_TestEvents, nullptr);
    SinkRef leaving(&releases);
    SinkRef late(&releases);
    uint32_t cookie = 0;
    uint32_t lateCookie = 0;
    leaving->onInvoke = [&](DISPPARAMS&) {
        // Would deadlock if the point held its lock during Invoke.
        EXPECT_EQ(point.Unadvise(cookie), S_OK);
        EXPECT_EQ(point.Advise(late.sink, &lateCookie), S_OK);
    };
    ASSERT_EQ(point.Advise(leaving.sink, &cookie), S_OK);
    RunBounded([&] { EXPECT_EQ(RaiseEmpty(point), S_OK); });
    EXPECT_EQ(late->invocations, 0);  // advised after the raise began
    EXPECT_EQ(RaiseEmpty(point), S_OK);
    EXPECT_EQ(leaving->invocations, 1);
    EXPECT_EQ(late->invocations, 1);
    EXPECT_EQ(releases, 0);
}

TEST(EventConnectionPoint, ApartmentSinkRunsOnItsThreadAndMayChangeTheReferencedMessage)
{
    Apartment::Scope scope;
    EventConnectionPoint point(IID_TestEvents, nullptr);
    SinkRef sink;
    sink->onInvoke = [](DISPPARAMS& params) {
        ASSERT_EQ(params.cArgs, 2u);
        EXPECT_EQ(params.rgvarg[0].lVal, -7);
        BSTR* slot = params.rgvarg[1].pbstrVal;
        SysFreeString(*slot);
        *slot = SysAllocString(u"replaced by the sink");
    };
    uint32_t cookie = 0;
    ASSERT_EQ(point.Advise(sink.sink, &cookie), S_OK);

    // As the control raises ErrorEvent from a worker: the code, then a
    // reference to the message, last argument first.
    BSTR message = SysAllocString(u"Exception :x\nFile :y\nLine :1\n");
    std::atomic<bool> raised{false};
    int invocationsSeenByRaiser = -1;
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
        invocationsSeenByRaiser = sink->invocations;
        raised = true;
    });
    EXPECT_TRUE(PumpUntil(scope.Get(), [&] { return raised.load(); }));
    worker.join();
    EXPECT_EQ(invocationsSeenByRaiser, 1);  // the raiser waited for the sink
    EXPECT_EQ(sink->Threads(), std::vector<std::thread::id>{std::this_thread::get_id()});
    EXPECT_EQ(BstrView(message), u"replaced by the sink");
    SysFreeString(message);
}

TEST(EventConnectionPoint, SinkWithoutApartmentIsCalledDirectlyAndOneOfALeftApartmentNot)
{
    EventConnectionPoint point(IID_TestEvents, nullptr);
    SinkRef direct;
    SinkRef orphan;
    uint32_t cookie = 0;
    ASSERT_EQ(point.Advise(direct.sink, &cookie), S_OK);
    std::thread([&] {
        Apartment::Scope scope;
        EXPECT_EQ(point.Advise(orphan.sink, &cookie), S_OK);
    }).join();
    std::thread::id workerId;
    RunBounded([&] {
        workerId = std::this_thread::get_id();
        EXPECT_EQ(RaiseEmpty(point), RPC_E_DISCONNECTED);  // the last sink's result
    });
    EXPECT_EQ(direct->Threads(), std::vector<std::thread::id>{workerId});
    EXPECT_EQ(orphan->invocations, 0);
}

// A worker that raises an event on every pass, as the engine's threads
// report errors.
class RaisingThread : public CMediaThread {
public:
    explicit RaisingThread(EventConnectionPoint& point) : point(point) {}
    ~RaisingThread() override { Stop(); }

protected:
    int Run() override
    {
        static_cast<void>(RaiseEmpty(point));
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
        SinkRef sink;
        uint32_t cookie = 0;
        ASSERT_EQ(point.Advise(sink.sink, &cookie), S_OK);
        for (int round = 0; round < 20; ++round) {
            RaisingThread worker(point);
            ASSERT_TRUE(worker.Start());
            const int before = sink->invocations;
            // Once the worker is raising, stop it: its current raise waits
            // for this very thread, which serves it from inside Stop.
            EXPECT_TRUE(PumpUntil(scope.Get(), [&] { return sink->invocations >= before + 3; }));
            EXPECT_TRUE(worker.Stop());
        }
        for (std::thread::id id : sink->Threads()) {
            EXPECT_EQ(id, std::this_thread::get_id());
        }
    });
}

} // namespace

} // namespace zan
