// Registers and unregisters in-process modules in the registry file, and
// lists what it holds.
//   zan-regsvr MODULE       load MODULE and call its DllRegisterServer
//   zan-regsvr -u MODULE    ... its DllUnregisterServer
//   zan-regsvr --list       print every key and value of the registry
// Exit codes: 0 done, 1 failed, 2 wrong usage.
#include "ComResults.h"
#include "RegistryFile.h"
#include "SystemMessages.h"
#include "TextConversion.h"
#include "ZanModule.h"

#include <CLI/CLI.hpp>

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

using namespace zan;

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;

int List()
{
    RegistryError error;
    const std::string path = RegistryPath();
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        std::printf("%s: no registry file yet, nothing is registered\n", path.c_str());
        return 0;
    }
    const auto registry = ReadRegistry(path, error);
    if (!registry) {
        std::fprintf(stderr, "zan-regsvr: %s\n", error.message.c_str());
        return kFailed;
    }
    std::fputs(registry->ToText().c_str(), stdout);
    return 0;
}

int Call(const std::string& module, bool unregister)
{
    // A damaged registry is reported in full here; the module would only
    // answer with a code.
    const std::string path = RegistryPath();
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && info.st_size > 0) {
        RegistryError error;
        if (!ReadRegistry(path, error)) {
            std::fprintf(stderr, "zan-regsvr: %s\n", error.message.c_str());
            return kFailed;
        }
    }
    // A name without a slash would be searched on the library path.
    const std::string file = module.find('/') == std::string::npos ? "./" + module : module;
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        std::fprintf(stderr, "zan-regsvr: cannot load %s: %s\n", module.c_str(), why != nullptr ? why : "?");
        return kFailed;
    }
    const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    const auto call = reinterpret_cast<ZanDllRegisterServer>(dlsym(handle, entry));
    int result = 0;
    if (call == nullptr) {
        std::fprintf(stderr, "zan-regsvr: %s has no entry point %s\n", module.c_str(), entry);
        result = kFailed;
    } else if (const HRESULT hr = call(); hr < 0) {
        std::fprintf(stderr, "zan-regsvr: %s of %s failed (0x%08X): %s", entry, module.c_str(),
                     static_cast<uint32_t>(hr), Utf16ToUtf8(SystemMessageText(hr)).c_str());
        if (SystemMessageText(hr).empty()) {
            std::fputc('\n', stderr);
        }
        result = kFailed;
    } else {
        std::printf("%s: %s succeeded in %s\n", module.c_str(), entry, path.c_str());
    }
    dlclose(handle);
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"zan-regsvr: registers in-process modules in the registry file ($ZAN_REGISTRY, else "
                 "/var/lib/zan/registry)"};
    std::string module;
    bool unregister = false;
    bool list = false;
    app.add_option("MODULE", module, "the module file to register (e.g. /usr/lib/x86_64-linux-gnu/libZAN_Tunnel.so.1)");
    app.add_flag("-u,--unregister", unregister, "unregister MODULE instead");
    app.add_flag("--list", list, "print what the registry holds");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : kUsage;
    }
    if (list) {
        if (!module.empty() || unregister) {
            std::fprintf(stderr, "zan-regsvr: --list takes no module\n");
            return kUsage;
        }
        return List();
    }
    if (module.empty()) {
        std::fprintf(stderr, "zan-regsvr: name a module, or give --list (see --help)\n");
        return kUsage;
    }
    return Call(module, unregister);
}
