#include "module_test_util.h"

#include "ComResults.h"
#include "GuidText.h"
#include "ModuleRegistration.h"
#include "ObjectCreation.h"
#include "RegistryScript.h"

#include <locale.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace zan {
namespace {

const std::string kModule = "/opt/zan/lib/libZAN_Tunnel.so.1";
const std::string kClassKey = "HKCR\\CLSID\\{6B1D2E42-3C55-4F0E-9A61-2F7C14D85E01}";
const std::string kAppId = "{6B1D2E44-3C55-4F0E-9A61-2F7C14D85E01}";
const std::string kLibId = "{6B1D2E43-3C55-4F0E-9A61-2F7C14D85E01}";

TEST(ModuleRegistration, WritesTheAppIdClassAndTypeLibraryEntries)
{
    TemporaryRegistry registry;
    ASSERT_EQ(RegisterModule(kModule, registry.path, nullptr), S_OK);
    const RegistryData data = registry.Data();
    const struct {
        std::string key;
        std::string name;
        std::string value;
    } expected[] = {
        {"HKCR\\AppID\\" + kAppId, "", "ZAN_Tunnel"},
        {"HKCR\\AppID\\libZAN_Tunnel.so", "AppID", kAppId},
        {"HKCR\\ZAN_Tunnel.ZAN_Tunnel.1", "", "ZAN_Tunnel Class"},
        {"HKCR\\ZAN_Tunnel.ZAN_Tunnel.1\\CLSID", "", GuidText(CLSID_ZAN_Tunnel)},
        {"HKCR\\ZAN_Tunnel.ZAN_Tunnel", "", "ZAN_Tunnel Class"},
        {"HKCR\\ZAN_Tunnel.ZAN_Tunnel\\CLSID", "", GuidText(CLSID_ZAN_Tunnel)},
        {"HKCR\\ZAN_Tunnel.ZAN_Tunnel\\CurVer", "", "ZAN_Tunnel.ZAN_Tunnel.1"},
        {kClassKey, "", "ZAN_Tunnel Class"},
        {kClassKey, "AppID", kAppId},
        {kClassKey + "\\ProgID", "", "ZAN_Tunnel.ZAN_Tunnel.1"},
        {kClassKey + "\\VersionIndependentProgID", "", "ZAN_Tunnel.ZAN_Tunnel"},
        {kClassKey + "\\InprocServer32", "", kModule},
        {kClassKey + "\\InprocServer32", "ThreadingModel", "Apartment"},
        {kClassKey + "\\ToolboxBitmap32", "", kModule + ", 102"},
        {kClassKey + "\\MiscStatus", "", "0"},
        {kClassKey + "\\MiscStatus\\1", "", "131473"},
        {kClassKey + "\\TypeLib", "", GuidText(LIBID_ZAN_TunnelLib)},
        {kClassKey + "\\Version", "", "1.0"},
        {"HKCR\\TypeLib\\" + kLibId + "\\1.0", "", "ZAN_Tunnel 1.0 Type Library"},
        {"HKCR\\TypeLib\\" + kLibId + "\\1.0\\409\\linux64", "", kModule},
        {"HKCR\\Interface\\" + GuidText(IID_IZAN_Tunnel), "", "IZAN_Tunnel"},
        {"HKCR\\Interface\\" + GuidText(DIID__IZAN_TunnelEvents), "", "_IZAN_TunnelEvents"},
    };
    for (const auto& e : expected) {
        EXPECT_EQ(data.Value(e.key, e.name), e.value) << e.key << " " << e.name;
    }
    for (const char* flagKey : {"\\Programmable", "\\Control"}) {
        EXPECT_TRUE(data.HasKey(kClassKey + flagKey)) << flagKey;
    }
}

TEST(ModuleRegistration, UnregisteringLeavesExactlyWhatWasThereBefore)
{
    TemporaryRegistry registry;
    RegistryData before = ForeignEntries();
    // Someone else's value inside a key we write stays, with its key.
    before.keys["HKCR\\ZAN_Tunnel.ZAN_Tunnel"]["Note"] = "kept";
    registry.Write(before.ToText());
    const std::string text = registry.Read();

    ASSERT_EQ(RegisterModule(kModule, registry.path, nullptr), S_OK);
    ASSERT_EQ(RegisterModule(kModule, registry.path, nullptr), S_OK) << "registering twice is fine";
    EXPECT_EQ(registry.Data().Value("HKCR\\ZAN_Tunnel.ZAN_Tunnel", "Note"), "kept");
    ASSERT_EQ(UnregisterModule(kModule, registry.path, nullptr), S_OK);
    EXPECT_EQ(registry.Read(), text);

    // From a registry that did not exist, back to an empty one.
    TemporaryRegistry fresh;
    ASSERT_EQ(RegisterModule(kModule, fresh.path, nullptr), S_OK);
    ASSERT_EQ(UnregisterModule(kModule, fresh.path, nullptr), S_OK);
    EXPECT_TRUE(fresh.Data().keys.empty());
}

TEST(ModuleRegistration, ReregistrationReplacesTheClassKeyWhole)
{
    TemporaryRegistry registry;
    RegistryData stale;
    stale.keys[kClassKey + "\\InprocServer32"]["ThreadingModel"] = "Free";
    stale.keys[kClassKey + "\\Stale"][""] = "from an old version";
    registry.Write(stale.ToText());
    ASSERT_EQ(RegisterModule(kModule, registry.path, nullptr), S_OK);
    const RegistryData data = registry.Data();
    EXPECT_FALSE(data.HasKey(kClassKey + "\\Stale"));
    EXPECT_EQ(data.Value(kClassKey + "\\InprocServer32", "ThreadingModel"), "Apartment");
}

TEST(ModuleRegistration, FailuresAreReportedAndTheThreadLocaleComesBack)
{
    locale_t mine = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    ASSERT_NE(mine, static_cast<locale_t>(nullptr));
    const locale_t before = uselocale(mine);

    TemporaryRegistry registry;
    registry.Write("not a registry\n");
    std::string message;
    EXPECT_EQ(RegisterModule(kModule, registry.path, &message), REGDB_E_READREGDB);
    EXPECT_NE(message.find("damaged"), std::string::npos) << message;
    EXPECT_EQ(uselocale(static_cast<locale_t>(nullptr)), mine) << "after a failure";
    EXPECT_EQ(registry.Read(), "not a registry\n");

    EXPECT_EQ(RegisterModule(kModule, registry.folder + "/no/such/folder/registry", &message), REGDB_E_WRITEREGDB);
    EXPECT_EQ(RegisterModule("", registry.folder + "/r", &message), E_INVALIDARG);
    TemporaryRegistry good;
    EXPECT_EQ(RegisterModule(kModule, good.path, &message), S_OK);
    EXPECT_EQ(uselocale(static_cast<locale_t>(nullptr)), mine) << "after a success";

    uselocale(before);
    freelocale(mine);
}

TEST(RegistryScript, BadScriptsAreRefusedWithTheirLine)
{
    const struct {
        const char* text;
        const char* says;
    } cases[] = {
        {"HKCR\n{\n  A = s 'x'\n", "never closed"},
        {"HKLM { A }", "HKCR"},
        {"HKCR { A = d '1' }", "only text values"},
        {"HKCR { A = s x }", "quoted"},
        {"HKCR { '%NOPE%' }", "%NOPE%"},
        {"HKCR { 'open }", "unterminated"},
        {"HKCR { 'a\\b' }", "backslash"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(RegistryScript::Parse(c.text, {}, error)) << c.text;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.text << " -> " << error;
    }
    std::string error;
    const auto script = RegistryScript::Parse("HKCR { 'it''s' = s '100%% %X%' }", {{"X", "done"}}, error);
    ASSERT_TRUE(script) << error;
    RegistryData data;
    script->Register(data);
    EXPECT_EQ(data.Value("HKCR\\it's"), "100% done");
}

// Two processes register at once; every round leaves a whole file with
// both sets of entries.
TEST(ModuleRegistration, ConcurrentRegistrationsKeepEachOthersEntries)
{
    TemporaryRegistry registry;
    constexpr int kRounds = 20;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int failures = 0;
        for (int i = 0; i < kRounds; ++i) {
            const auto addRound = [&](RegistryData& data) {
                data.keys["HKCR\\Other.Thing"]["round"] = std::to_string(i);
                data.keys["HKCR\\Other.Thing\\" + std::to_string(i)];
                return true;
            };
            RegistryError error;
            failures += UpdateRegistry(registry.path, addRound, error) ? 0 : 1;
        }
        _exit(failures);
    }
    int failures = 0;
    for (int i = 0; i < kRounds; ++i) {
        failures += RegisterModule(kModule, registry.path, nullptr) == S_OK ? 0 : 1;
        RegistryError error;
        failures += ReadRegistry(registry.path, error) ? 0 : 1;  // readers never see a partial file
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(failures, 0);
    const RegistryData data = registry.Data();
    EXPECT_EQ(data.Value("HKCR\\Other.Thing", "round"), std::to_string(kRounds - 1));
    for (int i = 0; i < kRounds; ++i) {
        EXPECT_TRUE(data.HasKey("HKCR\\Other.Thing\\" + std::to_string(i))) << i;
    }
    EXPECT_EQ(data.Value(kClassKey + "\\InprocServer32"), kModule);
}

} // namespace
} // namespace zan
