#include "module_test_util.h"

#include "Bstr.h"
#include "ComResults.h"
#include "GuidText.h"
#include "LoopbackSockets.h"
#include "ObjectCreation.h"
#include "WaitUntil.h"

#include <dlfcn.h>

#include <fstream>
#include <vector>

namespace zan {
namespace {

BstrOwner Text(const char16_t* text)
{
    return BstrOwner(SysAllocString(text));
}

IZAN_Tunnel* Create(const std::string& name)
{
    void* out = nullptr;
    std::string message;
    EXPECT_EQ(CreateRegisteredObject(name, IID_IZAN_Tunnel, &out, &message), S_OK) << message;
    return static_cast<IZAN_Tunnel*>(out);
}

bool ModuleIsLoaded()
{
    void* handle = dlopen(ZAN_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (handle != nullptr) {
        dlclose(handle);
    }
    return handle != nullptr;
}

// Register, create by ProgID, carry a datagram, release, unload, unregister.
TEST(ObjectCreation, ARegisteredControlRunsATunnelAndTheRegistryEndsAsItBegan)
{
    TemporaryRegistry registry;
    registry.Write(ForeignEntries().ToText());
    const std::string before = registry.Read();
    {
        LoadedModule module;
        ASSERT_TRUE(module.Loaded());
        ASSERT_EQ(module.registerServer(), S_OK);
    }
    EXPECT_EQ(registry.Data().Value("HKCR\\CLSID\\" + GuidText(CLSID_ZAN_Tunnel) + "\\InprocServer32"),
              std::string(ZAN_MODULE_PATH));
    ASSERT_FALSE(ModuleIsLoaded());

    IZAN_Tunnel* listener = Create("ZAN_Tunnel.ZAN_Tunnel");
    IZAN_Tunnel* caller = Create("ZAN_Tunnel.ZAN_Tunnel.1");
    IZAN_Tunnel* third = Create(GuidText(CLSID_ZAN_Tunnel));
    ASSERT_TRUE(listener != nullptr && caller != nullptr && third != nullptr);
    third->Release();

    const uint16_t tunnelPort = sockettest::FreePort(SOCK_DGRAM);
    const uint16_t mediaPort = sockettest::FreePort(SOCK_DGRAM);
    EXPECT_EQ(listener->SetDestinationPort(tunnelPort, 0), S_OK);
    EXPECT_EQ(listener->SetProperties(Text(u"receiver_nic").Get(), Text(u"127.0.0.1").Get()), S_OK);
    EXPECT_EQ(listener->SetSendAddress(Text(u"127.0.0.5").Get()), S_OK);
    EXPECT_EQ(caller->SetDestinationAddress(Text(u"127.0.0.1").Get(), tunnelPort, 0), S_OK);
    EXPECT_EQ(caller->SetReceiveAddress(Text(u"127.0.0.2").Get()), S_OK);
    EXPECT_EQ(caller->AddReceivePort(mediaPort), S_OK);
    ASSERT_EQ(listener->Start(), S_OK);
    ASSERT_EQ(caller->Start(), S_OK);

    const sockettest::Fd out = sockettest::BoundUdp("127.0.0.5", mediaPort);
    const sockettest::Fd in = sockettest::BoundUdp("127.0.0.1");
    ASSERT_GE(out.Get(), 0) << "127.0.0.5:" << mediaPort;
    EXPECT_TRUE(WaitUntil([&] {
        sockettest::SendDatagram(in, mediaPort, "through the module", "127.0.0.2");
        return sockettest::ReadSome(out, 200) == "through the module";
    }));

    EXPECT_EQ(FreeUnusedModules(), 1u) << "controls are alive";
    listener->Release();
    caller->Release();
    EXPECT_EQ(FreeUnusedModules(), 0u);
    EXPECT_FALSE(ModuleIsLoaded()) << "the module is unloaded after the last release";

    {
        LoadedModule module;
        ASSERT_TRUE(module.Loaded());
        ASSERT_EQ(module.unregisterServer(), S_OK);
    }
    EXPECT_EQ(registry.Read(), before);
}

TEST(ObjectCreation, EveryWayOfNotFindingTheClassHasItsOwnError)
{
    TemporaryRegistry registry;
    const std::string textFile = registry.folder + "/not-a-module.so";
    std::ofstream(textFile) << "text\n";
    const std::string classKey = "HKCR\\CLSID\\" + GuidText(CLSID_ZAN_Tunnel);
    const std::string otherKey = "HKCR\\CLSID\\{11111111-2222-3333-4444-555555555555}";

    const auto registryWith = [](const std::string& key, const std::string& value) {
        RegistryData data = ForeignEntries();
        data.keys["HKCR\\ZAN_Tunnel.ZAN_Tunnel\\CLSID"][""] = GuidText(CLSID_ZAN_Tunnel);
        data.keys[key][""] = value;
        return data.ToText();
    };
    const struct {
        const char* what;
        std::optional<std::string> registryText;  // nothing: no file at all
        std::string name;
        HRESULT expected;
        const char* says;
    } cases[] = {
        {"no registry file", std::nullopt, "ZAN_Tunnel.ZAN_Tunnel", REGDB_E_READREGDB, "cannot be read"},
        {"empty registry file", "", "ZAN_Tunnel.ZAN_Tunnel", REGDB_E_READREGDB, "empty"},
        {"damaged registry file", "ZAN registry 1\n[x]\n", "ZAN_Tunnel.ZAN_Tunnel", REGDB_E_READREGDB, "truncated"},
        {"unknown ProgID", ForeignEntries().ToText(), "No.Such.Thing", REGDB_E_CLASSNOTREG, "not registered"},
        {"class without server", ForeignEntries().ToText(), GuidText(CLSID_ZAN_Tunnel), REGDB_E_CLASSNOTREG,
         "not registered"},
        {"malformed class text", ForeignEntries().ToText(), "{6B1D2E42}", CO_E_CLASSSTRING, "not a class"},
        {"module gone", registryWith(classKey + "\\InprocServer32", registry.folder + "/gone.so"),
         "ZAN_Tunnel.ZAN_Tunnel", CO_E_DLLNOTFOUND, "does not exist"},
        {"not a module", registryWith(classKey + "\\InprocServer32", textFile), "ZAN_Tunnel.ZAN_Tunnel",
         CO_E_ERRORINDLL, "cannot be loaded"},
        {"a library without the entry points", registryWith(otherKey + "\\InprocServer32", "/lib/x86_64-linux-gnu/libm.so.6"),
         "{11111111-2222-3333-4444-555555555555}", CO_E_ERRORINDLL, "lacks the entry points"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(registry.path);
        if (c.registryText) {
            registry.Write(*c.registryText);
        }
        void* out = reinterpret_cast<void*>(0x1);
        std::string message;
        EXPECT_EQ(CreateRegisteredObject(c.name, IID_IZAN_Tunnel, &out, &message), c.expected);
        EXPECT_EQ(out, nullptr);
        EXPECT_NE(message.find(c.says), std::string::npos) << message;
    }
    EXPECT_EQ(FreeUnusedModules(), 0u);
}

} // namespace
} // namespace zan
