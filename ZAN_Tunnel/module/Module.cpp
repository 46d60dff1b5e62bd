// The module file: its four entry points and the control's class factory.
//
// A host finds the class factory through DllGetClassObject, makes controls
// with it, and unloads the module once DllCanUnloadNow answers S_OK: no
// control and no factory reference is alive and no server lock is held.
#include "ComResults.h"
#include "DebugOutput.h"
#include "IClassFactory.h"
#include "IZAN_Tunnel.h"
#include "ModuleLock.h"
#include "ModuleRegistration.h"
#include "RegistryFile.h"
#include "Tunnel.h"
#include "ZanModule.h"

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <string>

namespace zan {

namespace {

// The one factory of the control, a static object. Every reference to it
// holds a module lock, so the module stays loaded while a host keeps it.
class ControlFactory final : public IClassFactory {
public:
    HRESULT QueryInterface(const IID& iid, void** out) override
    {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (!(iid == IID_IUnknown || iid == IID_IClassFactory)) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        *out = static_cast<IClassFactory*>(this);
        return S_OK;
    }

    uint32_t AddRef() override
    {
        ModuleLock::Lock();
        return references.fetch_add(1, std::memory_order_relaxed) + 1;
    }

    uint32_t Release() override
    {
        const uint32_t left = references.fetch_sub(1, std::memory_order_relaxed) - 1;
        ModuleLock::Unlock();
        return left;
    }

    HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** out) override
    {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        CZAN_Tunnel* control = nullptr;
        HRESULT hr = S_OK;
        try {
            hr = CZAN_Tunnel::CreateInstance(&control);
        } catch (const std::bad_alloc&) {
            hr = E_OUTOFMEMORY;
        } catch (...) {
            hr = E_FAIL;
        }
        if (hr < 0 || control == nullptr) {
            return hr < 0 ? hr : E_FAIL;
        }
        // The creation reference goes once the caller's interface holds one:
        // an interface the control does not offer destroys it again.
        hr = static_cast<IZAN_Tunnel*>(control)->QueryInterface(iid, out);
        control->ReleaseControl();
        return hr;
    }

    HRESULT LockServer(int32_t lock) override
    {
        if (lock != 0) {
            serverLocks.fetch_add(1, std::memory_order_relaxed);
            ModuleLock::Lock();
            return S_OK;
        }
        // An unlock without a lock would let the module unload under a
        // living object; it is refused.
        int64_t held = serverLocks.load(std::memory_order_relaxed);
        do {
            if (held <= 0) {
                return E_UNEXPECTED;
            }
        } while (!serverLocks.compare_exchange_weak(held, held - 1, std::memory_order_relaxed));
        ModuleLock::Unlock();
        return S_OK;
    }

private:
    std::atomic<uint32_t> references{0};
    std::atomic<int64_t> serverLocks{0};
};

ControlFactory& Factory()
{
    static ControlFactory factory;
    return factory;
}

// The path this module was loaded from, made absolute (symbolic links are
// kept, so the registration survives an upgrade behind the link).
std::string ModulePath()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&DllRegisterServer), &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    std::string path = info.dli_fname;
    if (!path.empty() && path.front() != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) != nullptr) {
            path = std::string(cwd) + "/" + path;
        }
    }
    return path;
}

HRESULT Registration(bool add)
{
    std::string message;
    const std::string path = ModulePath();
    const HRESULT hr = add ? RegisterModule(path, RegistryPath(), &message)
                           : UnregisterModule(path, RegistryPath(), &message);
    if (hr < 0) {
        OutputDebugStringA(((add ? "DllRegisterServer: " : "DllUnregisterServer: ") + message + "\n").c_str());
    }
    return hr;
}

} // namespace

} // namespace zan

using namespace zan;

extern "C" HRESULT DllCanUnloadNow()
{
    return ModuleLock::Count() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT DllGetClassObject(const IID& clsid, const IID& iid, void** out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = nullptr;
    if (!(clsid == CLSID_ZAN_Tunnel)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return Factory().QueryInterface(iid, out);
}

extern "C" HRESULT DllRegisterServer()
{
    return Registration(true);
}

extern "C" HRESULT DllUnregisterServer()
{
    return Registration(false);
}
