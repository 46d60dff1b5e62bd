#include "ComResults.h"
#include "platform_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace zan {

namespace {

TEST(ComObject, LastReleaseRunsFinalReleaseExactlyOnce)
{
    std::atomic<int> releases{0};
    RecordingSink* object = CreateComObject<RecordingSink>(&releases);
    ASSERT_NE(object, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([object] {
            for (int i = 0; i < 1000; ++i) {
                object->AddRef();
                object->Release();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    void* events = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_TestEvents, &events), S_OK);
    EXPECT_EQ(object->Release(), 1u);
    EXPECT_EQ(releases, 0);
    EXPECT_EQ(object->Release(), 0u);
    EXPECT_EQ(releases, 1);  // the AddRef/Release inside FinalRelease did not repeat it

    // A failed FinalConstruct gives nothing back and cleans up once.
    RecordingSink* failed = nullptr;
    EXPECT_EQ(TryCreateComObject<RecordingSink>(&failed, &releases, &IID_TestEvents, E_INVALIDARG), E_INVALIDARG);
    EXPECT_EQ(failed, nullptr);
    EXPECT_EQ(releases, 2);
}

TEST(ComObject, QueryInterfaceRefusesWhatTheClassDoesNotOffer)
{
    RecordingSink* plain = CreateComObject<RecordingSink>(nullptr, nullptr);
    void* out = plain;
    EXPECT_EQ(plain->QueryInterface(IID_TestEvents, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(plain->QueryInterface(IID_IDispatch, nullptr), E_POINTER);
    EXPECT_EQ(plain->Release(), 0u);
}

} // namespace

} // namespace zan
