// Creation by registered name: registry -> module file -> class factory.
#include "ObjectCreation.h"

#include "ComResults.h"
#include "GuidText.h"
#include "IClassFactory.h"
#include "RegistryFile.h"
#include "ZanModule.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <map>
#include <mutex>

namespace zan {

namespace {

constexpr int kMaxCurVerSteps = 8;  // a ProgID's CurVer chain is short; a loop is an error

struct LoadedModule {
    void* handle = nullptr;
    ZanDllCanUnloadNow canUnloadNow = nullptr;
    ZanDllGetClassObject getClassObject = nullptr;
};

// Modules loaded here, by path. guards: modules
std::mutex modulesLock;
std::map<std::string, LoadedModule> modules;

HRESULT Fail(HRESULT code, const std::string& text, std::string* message)
{
    if (message != nullptr) {
        *message = text;
    }
    return code;
}

// The CLSID of `name` (a CLSID text or a ProgID), or a failure.
HRESULT ClassOf(const RegistryData& registry, const std::string& name, GUID& clsid, std::string* message)
{
    if (!name.empty() && name.front() == '{') {
        const auto parsed = ParseGuid(name);
        if (!parsed) {
            return Fail(CO_E_CLASSSTRING, "'" + name + "' is not a class identifier", message);
        }
        clsid = *parsed;
        return S_OK;
    }
    if (name.empty() || name.find('\\') != std::string::npos) {
        return Fail(CO_E_CLASSSTRING, "'" + name + "' is not a ProgID", message);
    }
    std::string progId = name;
    for (int step = 0; step < kMaxCurVerSteps; ++step) {
        const std::string key = "HKCR\\" + progId;
        if (!registry.HasKey(key) && !registry.HasSubkeys(key)) {
            return Fail(REGDB_E_CLASSNOTREG, "the ProgID '" + name + "' is not registered", message);
        }
        if (const auto curVer = registry.Value(key + "\\CurVer"); curVer && *curVer != progId) {
            progId = *curVer;
            continue;
        }
        const auto text = registry.Value(key + "\\CLSID");
        if (!text) {
            return Fail(REGDB_E_CLASSNOTREG, "the ProgID '" + name + "' names no class", message);
        }
        const auto parsed = ParseGuid(*text);
        if (!parsed) {
            return Fail(REGDB_E_INVALIDVALUE,
                        "the ProgID '" + name + "' names the class '" + *text + "', which is not a class identifier",
                        message);
        }
        clsid = *parsed;
        return S_OK;
    }
    return Fail(REGDB_E_INVALIDVALUE, "the CurVer entries of '" + name + "' go round in a circle", message);
}

// The module of `path`, loaded now or earlier. Must hold modulesLock.
HRESULT Load(const std::string& path, LoadedModule& module, std::string* message)
{
    if (const auto found = modules.find(path); found != modules.end()) {
        module = found->second;
        return S_OK;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return Fail(CO_E_DLLNOTFOUND, "the registered module " + path + " does not exist", message);
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        return Fail(CO_E_ERRORINDLL, "the module " + path + " cannot be loaded: " + (why != nullptr ? why : "?"),
                    message);
    }
    LoadedModule loaded;
    loaded.handle = handle;
    loaded.canUnloadNow = reinterpret_cast<ZanDllCanUnloadNow>(dlsym(handle, "DllCanUnloadNow"));
    loaded.getClassObject = reinterpret_cast<ZanDllGetClassObject>(dlsym(handle, "DllGetClassObject"));
    if (loaded.canUnloadNow == nullptr || loaded.getClassObject == nullptr) {
        dlclose(handle);
        return Fail(CO_E_ERRORINDLL,
                    "the module " + path + " lacks the entry points DllGetClassObject and DllCanUnloadNow", message);
    }
    modules.emplace(path, loaded);
    module = loaded;
    return S_OK;
}

} // namespace

HRESULT CreateRegisteredObject(const std::string& name, const IID& iid, void** out, std::string* message)
{
    if (out == nullptr) {
        return Fail(E_POINTER, "no place for the object was given", message);
    }
    *out = nullptr;
    RegistryError error;
    const std::string registryPath = RegistryPath();
    const auto registry = ReadRegistry(registryPath, error);
    if (!registry) {
        return Fail(error.code, error.message, message);
    }
    GUID clsid{};
    if (const HRESULT hr = ClassOf(*registry, name, clsid, message); hr < 0) {
        return hr;
    }
    const std::string classKey = "HKCR\\CLSID\\" + GuidText(clsid);
    const auto path = registry->Value(classKey + "\\InprocServer32");
    if (!path || path->empty()) {
        return Fail(REGDB_E_CLASSNOTREG, "the class " + GuidText(clsid) + " is not registered in " + registryPath,
                    message);
    }
    // The module stays loaded while the lock is held; once the factory is
    // ours, its reference keeps DllCanUnloadNow from answering S_OK.
    void* factoryOut = nullptr;
    HRESULT hr = S_OK;
    {
        std::lock_guard guard(modulesLock);
        LoadedModule module;
        hr = Load(*path, module, message);
        if (hr < 0) {
            return hr;
        }
        hr = module.getClassObject(clsid, IID_IClassFactory, &factoryOut);
    }
    if (hr < 0 || factoryOut == nullptr) {
        return Fail(hr < 0 ? hr : E_UNEXPECTED,
                    "the module " + *path + " does not make the class " + GuidText(clsid), message);
    }
    auto* factory = static_cast<IClassFactory*>(factoryOut);
    hr = factory->CreateInstance(nullptr, iid, out);
    factory->Release();
    if (hr < 0) {
        *out = nullptr;
        return Fail(hr, "the class factory of " + GuidText(clsid) + " refused to create the object", message);
    }
    return hr;
}

size_t FreeUnusedModules()
{
    std::lock_guard guard(modulesLock);
    for (auto it = modules.begin(); it != modules.end();) {
        if (it->second.canUnloadNow() == S_OK) {
            dlclose(it->second.handle);
            it = modules.erase(it);
        } else {
            ++it;
        }
    }
    return modules.size();
}

} // namespace zan
