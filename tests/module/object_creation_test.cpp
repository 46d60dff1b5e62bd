#include "module_test_util.h"
#include "registry_test_util.h"

#include "Bstr.h"
#include "ComResults.h"
#include "GuidText.h"
#include "ObjectCreation.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <vector>

namespace zan {
namespace {

// A UDP socket bound on loopback, for the datagrams a tunnel carries.
class UdpEnd {
public:
    UdpEnd(const char* address, uint16_t port) : fd(socket(AF_INET, SOCK_DGRAM, 0))
    {
        sockaddr_in at = Address(address, port);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at), 0) << address << ":" << port;
        socklen_t length = sizeof at;
        getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length);
        boundPort = ntohs(at.sin_port);
    }
    ~UdpEnd() { close(fd); }
    UdpEnd(const UdpEnd&) = delete;
    UdpEnd& operator=(const UdpEnd&) = delete;

    void SendTo(const char* address, uint16_t port, const std::string& payload)
    {
        sockaddr_in to = Address(address, port);
        sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    // The next datagram within `ms`, or an empty text.
    std::string Receive(int ms)
    {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) != 1) {
            return {};
        }
        char buffer[2048];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    }
    uint16_t Port() const { return boundPort; }

private:
    static sockaddr_in Address(const char* address, uint16_t port)
    {
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(port);
        inet_pton(AF_INET, address, &at.sin_addr);
        return at;
    }
    int fd;
    uint16_t boundPort = 0;
};

uint16_t FreePort()
{
    return UdpEnd("127.0.0.1", 0).Port();
}

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

    const uint16_t tunnelPort = FreePort();
    const uint16_t mediaPort = FreePort();
    EXPECT_EQ(listener->SetDestinationPort(tunnelPort, 0), S_OK);
    EXPECT_EQ(listener->SetProperties(Text(u"receiver_nic").Get(), Text(u"127.0.0.1").Get()), S_OK);
    EXPECT_EQ(listener->SetSendAddress(Text(u"127.0.0.5").Get()), S_OK);
    EXPECT_EQ(caller->SetDestinationAddress(Text(u"127.0.0.1").Get(), tunnelPort, 0), S_OK);
    EXPECT_EQ(caller->SetReceiveAddress(Text(u"127.0.0.2").Get()), S_OK);
    EXPECT_EQ(caller->AddReceivePort(mediaPort), S_OK);
    ASSERT_EQ(listener->Start(), S_OK);
    ASSERT_EQ(caller->Start(), S_OK);

    UdpEnd out("127.0.0.5", mediaPort);
    UdpEnd in("127.0.0.1", 0);
    bool carried = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!carried && std::chrono::steady_clock::now() < deadline) {
        in.SendTo("127.0.0.2", mediaPort, "through the module");
        carried = out.Receive(200) == "through the module";
    }
    EXPECT_TRUE(carried);

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
