#pragma once

#include "RegistryFile.h"
#include "ScopedEnvironment.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace zan {

// A temporary folder holding the registry file, named to the module through
// ZAN_REGISTRY for the life of the object.
struct TemporaryRegistry {
    void Write(const std::string& text) const { std::ofstream(path, std::ios::binary) << text; }
    std::string Read() const { return ReadText(path); }
    RegistryData Data() const
    {
        RegistryError error;
        auto data = ReadRegistry(path, error);
        EXPECT_TRUE(data) << error.message;
        return data ? *data : RegistryData{};
    }

    TempFolder temp{"zan-registry"};
    const std::string folder = temp.path.string();
    const std::string path = folder + "/registry";
    ScopedEnvironment environment{"ZAN_REGISTRY", path};
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
