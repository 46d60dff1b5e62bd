#include "ComResults.h"
#include "WaitUntil.h"
#include "platform_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

namespace zan {

namespace {

TEST(Apartment, CallsFromOtherThreadsRunOnTheOwnerWhileTheCallerWaits)
{
    Apartment::Scope scope;
    EXPECT_EQ(Apartment::Enter(), scope.Get());  // nested: one more Leave
    Apartment::Leave();
    std::thread::id ranOn;
    bool ranBeforeReturn = false;
    std::string caught;
    std::atomic<bool> returned{false};
    std::thread caller([&] {
        bool ran = false;
        EXPECT_EQ(scope.Get()->Call([&] {
            ranOn = std::this_thread::get_id();
            ran = true;
        }), S_OK);
        ranBeforeReturn = ran;
        try {
            static_cast<void>(scope.Get()->Call([] { throw std::runtime_error("inside"); }));
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        returned = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return scope.Get()->QueuedCallCount() == 1; }));
    // Pumping from another thread runs nothing of this apartment.
    std::thread([&] { EXPECT_FALSE(scope.Get()->PumpFor(1)); }).join();
    EXPECT_EQ(ranOn, std::thread::id());
    EXPECT_TRUE(PumpUntil(scope.Get(), [&] { return returned.load(); }));
    caller.join();
    EXPECT_TRUE(ranBeforeReturn);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(caught, "inside");
}

TEST(Apartment, LeftApartmentRefusesCallsInsteadOfHanging)
{
    std::shared_ptr<Apartment> left;
    std::shared_ptr<Apartment> abandoned;
    std::thread([&] {
        Apartment::Enter();
        left = Apartment::CurrentShared();
        Apartment::Leave();
    }).join();
    // A thread that ends without leaving closes its apartment all the same.
    std::thread([&] {
        Apartment::Enter();
        abandoned = Apartment::CurrentShared();
    }).join();
    bool ran = false;
    RunBounded([&] {
        EXPECT_EQ(left->Call([&] { ran = true; }), RPC_E_DISCONNECTED);
        EXPECT_EQ(abandoned->Call([&] { ran = true; }), RPC_E_DISCONNECTED);
    });
    EXPECT_FALSE(ran);
}

TEST(Apartment, LeavingRunsCallsAlreadyQueued)
{
    std::atomic<Apartment*> apartment{nullptr};
    std::atomic<bool> leave{false};
    std::thread owner([&] {
        apartment = Apartment::Enter();
        ASSERT_TRUE(WaitUntil([&] { return leave.load(); }));
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
            // Each blocks in calls to the other: only pumping while waiting
            // lets both complete.
            for (int i = 0; i < 20; ++i) {
                EXPECT_EQ(other.load()->Call([] {}), S_OK);
            }
            ++done;
            PumpUntil(scope.Get(), [&] { return done == 2; });
        };
        std::thread a(body, std::ref(first), std::ref(second));
        std::thread b(body, std::ref(second), std::ref(first));
        a.join();
        b.join();
    });
}

} // namespace

} // namespace zan
