#pragma once

#include "IClassFactory.h"
#include "IZAN_Tunnel.h"
#include "ZanModule.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

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

} // namespace zan
