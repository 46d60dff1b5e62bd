#include "ComBase.h"
#include "ComResults.h"
#include "DispatchNameTable.h"
#include "platform_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// An object whose FinalRelease takes and drops a reference of its own, as a
// control does when it releases what it holds.
class SelfReferencing : public IDispatch, public ComObjectRoot {
public:
    SelfReferencing(std::atomic<int>* constructs, std::atomic<int>* releases, HRESULT constructResult)
        : constructs(constructs), releases(releases), constructResult(constructResult)
    {
    }

    void* GetInterface(const IID& iid)
    {
        return (iid == IID_IUnknown || iid == IID_IDispatch) ? static_cast<IDispatch*>(this) : nullptr;
    }
    HRESULT FinalConstruct()
    {
        ++*constructs;
        return constructResult;
    }
    void FinalRelease()
    {
        ++*releases;
        AddRef();
        Release();
    }

    HRESULT GetTypeInfoCount(uint32_t*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(uint32_t, uint32_t, void**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(const IID&, const char16_t**, uint32_t, uint32_t, DISPID*) override
    {
        return E_NOTIMPL;
    }
    HRESULT Invoke(DISPID, const IID&, uint32_t, uint16_t, DISPPARAMS*, VARIANT*, void*, uint32_t*) override
    {
        return E_NOTIMPL;
    }

private:
    std::atomic<int>* constructs;
    std::atomic<int>* releases;
    HRESULT constructResult;
};

TEST(ComObject, LastReleaseRunsFinalReleaseExactlyOnce)
{
    std::atomic<int> constructs{0};
    std::atomic<int> releases{0};
    SelfReferencing* object = CreateComObject<SelfReferencing>(&constructs, &releases, S_OK);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(constructs, 1);

    // References taken and dropped on several threads at once.
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
    EXPECT_EQ(releases, 0);

    void* asUnknown = nullptr;
    ASSERT_EQ(object->QueryInterface(IID_IUnknown, &asUnknown), S_OK);
    EXPECT_EQ(object->Release(), 1u);
    EXPECT_EQ(releases, 0);
    EXPECT_EQ(object->Release(), 0u);
    EXPECT_EQ(releases, 1);  // the AddRef/Release inside FinalRelease did not repeat it
}

TEST(ComObject, FailedFinalConstructDestroysTheObject)
{
    std::atomic<int> constructs{0};
    std::atomic<int> releases{0};
    SelfReferencing* object = nullptr;
    EXPECT_EQ(TryCreateComObject<SelfReferencing>(&object, &constructs, &releases, E_INVALIDARG),
              E_INVALIDARG);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(releases, 1);
    EXPECT_EQ(CreateComObject<SelfReferencing>(&constructs, &releases, E_FAIL), nullptr);
    EXPECT_EQ(releases, 2);
}

TEST(ComObject, QueryInterfaceAnswersOnlyWhatTheClassOffers)
{
    RecordingSink* sink = CreateComObject<RecordingSink>(nullptr, false);
    ASSERT_NE(sink, nullptr);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(sink->QueryInterface(IID_TestEvents, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(sink->QueryInterface(IID_IDispatch, nullptr), E_POINTER);
    EXPECT_EQ(sink->QueryInterface(IID_IDispatch, &out), S_OK);
    EXPECT_EQ(out, static_cast<IDispatch*>(sink));
    EXPECT_EQ(sink->Release(), 1u);
    EXPECT_EQ(sink->Release(), 0u);
}

TEST(DispatchNameTable, ResolvesNamesWithoutRegardToCase)
{
    const DispatchNameTable table({{1, u"Start", u"Starts the tunnel."},
                                   {2, u"LocalPort", u"The local port."},
                                   {3, u"SetProperties", u""}});
    EXPECT_EQ(table.IdOfName(u"start"), 1);
    EXPECT_EQ(table.IdOfName(u"LOCALPORT"), 2);
    EXPECT_EQ(table.IdOfName(u"LocalPor"), std::nullopt);
    EXPECT_EQ(table.IdOfName(u"LocalPorts"), std::nullopt);
    ASSERT_NE(table.Find(2), nullptr);
    EXPECT_EQ(table.Find(2)->helpText, u"The local port.");
    EXPECT_EQ(table.Find(9), nullptr);

    const char16_t* names[] = {u"setproperties"};
    DISPID id = 0;
    EXPECT_EQ(table.GetIDsOfNames(names, 1, &id), S_OK);
    EXPECT_EQ(id, 3);

    // Named arguments are not described: the member resolves, they do not.
    const char16_t* withArgument[] = {u"Start", u"timeout"};
    DISPID ids[2] = {0, 0};
    EXPECT_EQ(table.GetIDsOfNames(withArgument, 2, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], 1);
    EXPECT_EQ(ids[1], DISPID_UNKNOWN);

    const char16_t* unknown[] = {nullptr};
    EXPECT_EQ(table.GetIDsOfNames(unknown, 1, &id), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(id, DISPID_UNKNOWN);
    EXPECT_EQ(table.GetIDsOfNames(nullptr, 1, &id), E_POINTER);
}

} // namespace
