#include "module_test_util.h"

#include "Bstr.h"

#include <thread>
#include <vector>

namespace zan {
namespace {

TEST(ModuleEntryPoints, OnlyTheControlClassIsAvailable)
{
    LoadedModule module;
    ASSERT_TRUE(module.Loaded());
    const IID others[] = {IID_IZAN_Tunnel, LIBID_ZAN_TunnelLib, IID_NULL, IID_IUnknown};
    for (const IID& clsid : others) {
        void* out = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(module.getClassObject(clsid, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
        EXPECT_EQ(out, nullptr);
    }
    void* out = nullptr;
    EXPECT_EQ(module.getClassObject(CLSID_ZAN_Tunnel, IID_IZAN_Tunnel, &out), E_NOINTERFACE);
    EXPECT_EQ(module.getClassObject(CLSID_ZAN_Tunnel, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(module.canUnloadNow(), S_OK);
}

// Refused creations leave nothing alive: the module can unload at the end.
TEST(ModuleEntryPoints, ObjectsFactoriesAndServerLocksKeepTheModuleLoadedAndFailedCreationsDoNot)
{
    LoadedModule module;
    ASSERT_TRUE(module.Loaded());
    ASSERT_EQ(module.canUnloadNow(), S_OK);

    IClassFactory* factory = module.Factory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(module.canUnloadNow(), S_FALSE) << "a factory reference";

    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(factory->CreateInstance(factory, IID_IZAN_Tunnel, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IZAN_Tunnel, nullptr), E_POINTER);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IZAN_Tunnel, &out), S_OK);
    auto* control = static_cast<IZAN_Tunnel*>(out);
    EXPECT_EQ(factory->LockServer(1), S_OK);
    factory->Release();
    EXPECT_EQ(module.canUnloadNow(), S_FALSE) << "a control and a server lock";

    control->Release();
    EXPECT_EQ(module.canUnloadNow(), S_FALSE) << "the server lock alone";

    factory = module.Factory();
    EXPECT_EQ(factory->LockServer(0), S_OK);
    EXPECT_EQ(factory->LockServer(0), E_UNEXPECTED) << "an unlock without a lock";
    factory->Release();
    EXPECT_EQ(module.canUnloadNow(), S_OK);
}

TEST(ModuleEntryPoints, TheCountStaysExactUnderConcurrentCreationAndRelease)
{
    LoadedModule module;
    ASSERT_TRUE(module.Loaded());
    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                IClassFactory* factory = module.Factory();
                void* out = nullptr;
                if (factory == nullptr || factory->CreateInstance(nullptr, IID_IDispatch, &out) != S_OK) {
                    ADD_FAILURE() << "creation failed";
                    return;
                }
                factory->Release();
                static_cast<IDispatch*>(out)->Release();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(module.canUnloadNow(), S_OK);
}

TEST(ModuleEntryPoints, InternalsAreHiddenAndThePublicInterfaceIsExported)
{
    LoadedModule module;
    ASSERT_TRUE(module.Loaded());
    for (const char* exported : {"DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer", "DllUnregisterServer",
                                 "_ZN3zan14SysAllocStringEPKDs", "_ZN3zan13SysFreeStringEPDs",
                                 "_ZN3zan10CSyncEvent4WaitEl", "_ZN3zan22CreateRegisteredObjectERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERKNS_4GUIDEPPvPS5_"}) {
        EXPECT_NE(module.Symbol(exported), nullptr) << exported;
    }
    // The control's own class, the engine and the platform layer stay inside.
    for (const char* hidden : {"_ZN3zan11CZAN_Tunnel14CreateInstanceEPPS0_", "_ZN3zan7CTunnelC1Ev",
                               "_ZN3zan10ModuleLock4LockEv", "_ZN3zan9Apartment5EnterEv"}) {
        EXPECT_EQ(module.Symbol(hidden), nullptr) << hidden;
    }
}

} // namespace
} // namespace zan
