#include "Apartment.h"
#include "CMediaThread.h"
#include "ComResults.h"
#include "WaitUntil.h"
#include "platform_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

TEST(Apartment, EnterAndLeaveNestPerThread)
{
    EXPECT_EQ(Apartment::Current(), nullptr);
    Apartment* outer = Apartment::Enter();
    EXPECT_EQ(Apartment::Enter(), outer);
    Apartment::Leave();
    EXPECT_EQ(Apartment::Current(), outer);
    std::thread([] { EXPECT_EQ(Apartment::Current(), nullptr); }).join();
    Apartment::Leave();
    EXPECT_EQ(Apartment::Current(), nullptr);
    Apartment::Leave();  // one too many: harmless
}

TEST(Apartment, CallsFromOtherThreadsRunOnTheOwnerWhileTheCallerWaits)
{
    Apartment::Scope scope;
    const std::thread::id owner = std::this_thread::get_id();
    std::thread::id ranOn;
    std::atomic<bool> returned{false};
    bool ranBeforeReturn = false;
    HRESULT result = E_FAIL;
    std::thread caller([&] {
        bool ran = false;
        result = scope.Get()->Call([&] {
            ranOn = std::this_thread::get_id();
            ran = true;
        });
        ranBeforeReturn = ran;
        returned = true;
    });
    EXPECT_TRUE(PumpUntil(scope.Get(), [&] { return returned.load(); }));
    caller.join();
    EXPECT_EQ(result, S_OK);
    EXPECT_TRUE(ranBeforeReturn);
    EXPECT_EQ(ranOn, owner);

    // On the owner thread itself the call runs at once.
    bool ranHere = false;
    EXPECT_EQ(scope.Get()->Call([&] { ranHere = true; }), S_OK);
    EXPECT_TRUE(ranHere);
}

TEST(Apartment, ExceptionOfACallReachesTheCaller)
{
    Apartment::Scope scope;
    std::atomic<bool> returned{false};
    std::string caught;
    std::thread caller([&] {
        try {
            static_cast<void>(scope.Get()->Call([] { throw std::runtime_error("inside"); }));
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        returned = true;
    });
    EXPECT_TRUE(PumpUntil(scope.Get(), [&] { return returned.load(); }));
    caller.join();
    EXPECT_EQ(caught, "inside");
}

TEST(Apartment, LeftApartmentRefusesCallsInsteadOfHanging)
{
    std::shared_ptr<Apartment> left;
    std::thread owner([&] {
        Apartment::Enter();
        left = Apartment::CurrentShared();
        Apartment::Leave();
    });
    owner.join();
    ASSERT_TRUE(left);
    bool ran = false;
    RunBounded([&] { EXPECT_EQ(left->Call([&] { ran = true; }), RPC_E_DISCONNECTED); });
    EXPECT_FALSE(ran);

    // A thread that ends without leaving closes its apartment all the same.
    std::shared_ptr<Apartment> abandoned;
    std::thread quitter([&] {
        Apartment::Enter();
        abandoned = Apartment::CurrentShared();
    });
    quitter.join();
    RunBounded([&] { EXPECT_EQ(abandoned->Call([] {}), RPC_E_DISCONNECTED); });
}

TEST(Apartment, LeavingRunsCallsAlreadyQueued)
{
    std::atomic<Apartment*> apartment{nullptr};
    std::atomic<bool> leave{false};
    std::thread owner([&] {
        apartment = Apartment::Enter();
        while (!leave) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        Apartment::Leave();  // never pumped before this
    });
    ASSERT_TRUE(WaitUntil([&] { return apartment.load() != nullptr; }));
    std::thread::id ranOn;
    HRESULT result = E_FAIL;
    std::thread caller([&] { result = apartment.load()->Call([&] { ranOn = std::this_thread::get_id(); }); });
    ASSERT_TRUE(WaitUntil([&] { return apartment.load()->QueuedCallCount() == 1; }));
    const std::thread::id ownerId = owner.get_id();
    leave = true;
    RunBounded([&] { caller.join(); });
    owner.join();
    EXPECT_EQ(result, S_OK);
    EXPECT_EQ(ranOn, ownerId);
}

TEST(Apartment, TwoApartmentsCallingEachOtherDoNotDeadlock)
{
    RunBounded([] {
        std::atomic<Apartment*> first{nullptr};
        std::atomic<Apartment*> second{nullptr};
        std::atomic<int> done{0};
        auto body = [&](std::atomic<Apartment*>& mine, std::atomic<Apartment*>& other) {
            Apartment::Scope scope;
            mine = scope.Get();
            while (other.load() == nullptr) {
                std::this_thread::yield();
            }
            // Each blocks in a call to the other: only pumping while waiting
            // lets both complete.
            for (int i = 0; i < 20; ++i) {
                EXPECT_EQ(other.load()->Call([] {}), S_OK);
            }
            ++done;
            while (done < 2) {
                scope.Get()->PumpFor(5);
            }
        };
        std::thread a(body, std::ref(first), std::ref(second));
        std::thread b(body, std::ref(second), std::ref(first));
        a.join();
        b.join();
    });
}

TEST(Apartment, PumpForWaitsForACallAndRunsIt)
{
    Apartment::Scope scope;
    EXPECT_FALSE(scope.Get()->PumpFor(0));
    std::thread caller([&] { EXPECT_EQ(scope.Get()->Call([] {}), S_OK); });
    bool ran = false;
    for (int i = 0; i < 1000 && !ran; ++i) {
        ran = scope.Get()->PumpFor(10);
    }
    EXPECT_TRUE(ran);
    caller.join();
}

TEST(Apartment, OnlyTheOwnerRunsQueuedCalls)
{
    Apartment::Scope scope;
    std::atomic<bool> ran{false};
    std::thread caller([&] { EXPECT_EQ(scope.Get()->Call([&] { ran = true; }), S_OK); });
    ASSERT_TRUE(WaitUntil([&] { return scope.Get()->QueuedCallCount() == 1; }));
    std::thread([&] {
        scope.Get()->Pump();
        EXPECT_FALSE(scope.Get()->PumpFor(1));
    }).join();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(PumpUntil(scope.Get(), [&] { return ran.load(); }));
    caller.join();
}

} // namespace
