#include "module_test_util.h"

#include "ComResults.h"
#include "GuidText.h"
#include "IZAN_Tunnel.h"

#include <sys/stat.h>

namespace zan {
namespace {

TEST(RegistryFile, TextRoundTripKeepsEveryKeyValueAndEscape)
{
    RegistryData data = ForeignEntries();
    data.keys["HKCR\\weird]key [x]"]["="] = "\"=\"";
    data.keys["HKCR\\empty value"][""] = "";
    RegistryError error;
    const auto parsed = ParseRegistry(data.ToText(), "mem", error);
    ASSERT_TRUE(parsed) << error.message;
    EXPECT_EQ(parsed->keys, data.keys);
}

TEST(RegistryFile, DamagedFilesGiveAClearErrorAndAreNeverRewritten)
{
    const std::string whole = ForeignEntries().ToText();
    const struct {
        const char* what;
        std::string text;
        const char* says;
    } cases[] = {
        {"truncated at a line end", whole.substr(0, whole.rfind("end\n")), "truncated"},
        {"truncated inside a value", whole.substr(0, whole.find("Other Class") + 3), "quoted text"},
        {"foreign text", "hello world\n", "does not begin"},
        {"binary", std::string("\x7f" "ELF\x02\x01\x01\0\0\0", 10), "does not begin"},
        {"value before any key", "ZAN registry 1\n@=\"x\"\nend\n", "before the first key"},
        {"unknown escape", "ZAN registry 1\n[k]\n@=\"a\\tb\"\nend\n", "quoted text"},
        {"text after the end", whole + "[k]\n", "after the closing line"},
        {"key without brackets closed", "ZAN registry 1\n[k\nend\n", "[NAME]"},
        {"empty value name", "ZAN registry 1\n[k]\n\"\"=\"v\"\nend\n", "empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TemporaryRegistry registry;
        registry.Write(c.text);
        RegistryError error;
        EXPECT_FALSE(ReadRegistry(registry.path, error));
        EXPECT_EQ(error.code, REGDB_E_READREGDB);
        EXPECT_NE(error.message.find(registry.path), std::string::npos) << error.message;
        EXPECT_NE(error.message.find(c.says), std::string::npos) << error.message;

        bool changed = false;
        EXPECT_FALSE(UpdateRegistry(
            registry.path, [&](RegistryData&) { return changed = true; }, error));
        EXPECT_FALSE(changed) << "an update must not start from a damaged file";
        EXPECT_EQ(registry.Read(), c.text) << "the damaged file must stay as it was";
    }
}

// A folder where the file should be cannot be read, even by root.
TEST(RegistryFile, AFolderInsteadOfTheFileIsRefused)
{
    TemporaryRegistry folderInstead;
    ASSERT_EQ(mkdir(folderInstead.path.c_str(), 0755), 0);
    RegistryError error;
    EXPECT_FALSE(ReadRegistry(folderInstead.path, error));
    EXPECT_EQ(error.code, REGDB_E_READREGDB);
    EXPECT_FALSE(UpdateRegistry(folderInstead.path, [](RegistryData&) { return true; }, error));
}

TEST(RegistryFile, UpdatesStartFromNothingOrAnEmptyFileAndReplaceTheFileWhole)
{
    for (const bool emptyFileFirst : {false, true}) {
        TemporaryRegistry registry;
        if (emptyFileFirst) {
            registry.Write("");
        }
        RegistryError error;
        ASSERT_TRUE(UpdateRegistry(
            registry.path,
            [](RegistryData& data) {
                data = ForeignEntries();
                return true;
            },
            error))
            << error.message;
        EXPECT_EQ(registry.Data().keys, ForeignEntries().keys);
        EXPECT_FALSE(std::filesystem::exists(registry.path + ".new")) << "no temporary file is left";

        // A change that gives up writes nothing.
        EXPECT_FALSE(UpdateRegistry(
            registry.path,
            [](RegistryData& data) {
                data.keys.clear();
                return false;
            },
            error));
        EXPECT_EQ(registry.Data().keys, ForeignEntries().keys);
    }
}

TEST(GuidText, RoundTripsAndRefusesAnythingElse)
{
    EXPECT_EQ(GuidText(CLSID_ZAN_Tunnel), "{6B1D2E42-3C55-4F0E-9A61-2F7C14D85E01}");
    const auto parsed = ParseGuid("{6b1d2e42-3c55-4f0e-9a61-2f7c14d85e01}");
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(*parsed == CLSID_ZAN_Tunnel);
    for (const char* bad : {"", "{}", "6B1D2E42-3C55-4F0E-9A61-2F7C14D85E01", "{6B1D2E42-3C55-4F0E-9A61-2F7C14D85E0G}",
                            "{6B1D2E42+3C55-4F0E-9A61-2F7C14D85E01}", "{6B1D2E42-3C55-4F0E-9A61-2F7C14D85E011}"}) {
        EXPECT_FALSE(ParseGuid(bad)) << bad;
    }
}

} // namespace
} // namespace zan
