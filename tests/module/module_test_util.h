#pragma once

// The module tests' helpers: the built module loaded by path, and a
// temporary registry file named to it.

#include "IClassFactory.h"
#include "IZAN_Tunnel.h"
#include "RegistryFile.h"
#include "ScopedEnvironment.h"
#include "ZanModule.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <fstream>
#include <string>

namespace zan {

// The built module, loaded by path with its entry points looked up by name.
class LoadedModule {
public:
    explicit LoadedModule(const std::string& path = ZAN_MODULE_PATH)
        : handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL))
    {
        if (handle == nullptr) {
            ADD_FAILURE() << "dlopen " << path << ": " << dlerror();
            return;
        }
        canUnloadNow = reinterpret_cast<ZanDllCanUnloadNow>(dlsym(handle, "DllCanUnloadNow"));
        getClassObject = reinterpret_cast<ZanDllGetClassObject>(dlsym(handle, "DllGetClassObject"));
        registerServer = reinterpret_cast<ZanDllRegisterServer>(dlsym(handle, "DllRegisterServer"));
        unregisterServer = reinterpret_cast<ZanDllRegisterServer>(dlsym(handle, "DllUnregisterServer"));
    }
    ~LoadedModule()
    {
        if (handle != nullptr) {
            dlclose(handle);
        }
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    bool Loaded() const { return handle != nullptr && canUnloadNow && getClassObject; }
    void* Symbol(const char* name) const { return dlsym(handle, name); }

    IClassFactory* Factory() const
    {
        void* out = nullptr;
        EXPECT_EQ(getClassObject(CLSID_ZAN_Tunnel, IID_IClassFactory, &out), S_OK);
        return static_cast<IClassFactory*>(out);
    }

    ZanDllCanUnloadNow canUnloadNow = nullptr;
    ZanDllGetClassObject getClassObject = nullptr;
    ZanDllRegisterServer registerServer = nullptr;
    ZanDllRegisterServer unregisterServer = nullptr;

private:
    void* handle;
};

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
