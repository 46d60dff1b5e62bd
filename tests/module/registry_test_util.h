#pragma once

#include "RegistryFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace zan {

// A temporary folder holding the registry file, named to the module through
// ZAN_REGISTRY for the life of the object.
class TemporaryRegistry {
public:
    TemporaryRegistry()
    {
        char pattern[] = "/tmp/zan-registry-XXXXXX";
        const char* made = mkdtemp(pattern);
        EXPECT_NE(made, nullptr);
        folder = made != nullptr ? made : "/tmp";
        path = folder + "/registry";
        setenv("ZAN_REGISTRY", path.c_str(), 1);
    }
    ~TemporaryRegistry()
    {
        unsetenv("ZAN_REGISTRY");
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    TemporaryRegistry(const TemporaryRegistry&) = delete;
    TemporaryRegistry& operator=(const TemporaryRegistry&) = delete;

    void Write(const std::string& text) const { std::ofstream(path, std::ios::binary) << text; }
    std::string Read() const
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    RegistryData Data() const
    {
        RegistryError error;
        auto data = ReadRegistry(path, error);
        EXPECT_TRUE(data) << error.message;
        return data ? *data : RegistryData{};
    }

    std::string folder;
    std::string path;
};

// Entries that belong to someone else and must survive our registration.
inline RegistryData ForeignEntries()
{
    RegistryData data;
    data.keys["HKCR\\CLSID\\{11111111-2222-3333-4444-555555555555}"][""] = "Other Class";
    data.keys["HKCR\\CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32"][""] = "/opt/other/libother.so";
    data.keys["HKCR\\Other.Thing"]["quoted \"name\""] = "back\\slash\nand line";
    data.keys["HKCR\\AppID"];
    return data;
}

} // namespace zan
