#include "ModuleRegistration.h"

#include "ComResults.h"
#include "GuidText.h"
#include "RegistryFile.h"
#include "RegistryScript.h"
#include "RegistryScripts.h"
#include "Reversed.h"

#include <clocale>
#include <locale.h>

#include <optional>
#include <vector>

namespace zan {

namespace {

// The thread's C locale switched to the system default for the life of the
// object (the platform registrar's thread-locale switch); the previous one
// comes back on every way out.
class SystemLocaleScope {
public:
    SystemLocaleScope() : locale(newlocale(LC_ALL_MASK, "", static_cast<locale_t>(nullptr)))
    {
        if (locale == static_cast<locale_t>(nullptr)) {
            locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
        }
        if (locale != static_cast<locale_t>(nullptr)) {
            previous = uselocale(locale);
        }
    }
    ~SystemLocaleScope()
    {
        if (locale != static_cast<locale_t>(nullptr)) {
            uselocale(previous);
            freelocale(locale);
        }
    }
    SystemLocaleScope(const SystemLocaleScope&) = delete;
    SystemLocaleScope& operator=(const SystemLocaleScope&) = delete;

private:
    locale_t locale;
    locale_t previous = static_cast<locale_t>(nullptr);
};

std::string Directory(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The three scripts in registration order, or nothing with `message` set.
std::optional<std::vector<RegistryScript>> Scripts(const std::string& modulePath, std::string* message)
{
    const std::map<std::string, std::string> replacements = {
        {"MODULE", modulePath},
        {"MODULEDIR", Directory(modulePath)},
        {"APPID", GuidText(APPID_ZAN_Tunnel)},
        {"OLEMISC", std::to_string(kControlOleMiscStatus)},
    };
    std::vector<RegistryScript> scripts;
    for (const char* text : {kAppIdRegistryScript, kClassRegistryScript, kTypeLibRegistryScript}) {
        std::string error;
        auto script = RegistryScript::Parse(text, replacements, error);
        if (!script) {
            if (message != nullptr) {
                *message = "a registry script of the module is wrong: " + error;
            }
            return std::nullopt;
        }
        scripts.push_back(std::move(*script));
    }
    return scripts;
}

HRESULT Update(const std::string& modulePath, const std::string& registryPath, std::string* message, bool add)
{
    SystemLocaleScope locale;
    if (modulePath.empty() || modulePath.find('\n') != std::string::npos) {
        if (message != nullptr) {
            *message = "the module path is empty or holds a line feed";
        }
        return E_INVALIDARG;
    }
    const auto scripts = Scripts(modulePath, message);
    if (!scripts) {
        return E_UNEXPECTED;
    }
    RegistryError error;
    const bool done = UpdateRegistry(
        registryPath,
        [&](RegistryData& data) {
            if (add) {
                for (const RegistryScript& script : *scripts) {
                    script.Register(data);
                }
            } else {
                for (const RegistryScript& script : Reversed(*scripts)) {
                    script.Unregister(data);
                }
            }
            return true;
        },
        error);
    if (!done) {
        if (message != nullptr) {
            *message = error.message;
        }
        return error.code;
    }
    return S_OK;
}

} // namespace

HRESULT RegisterModule(const std::string& modulePath, const std::string& registryPath, std::string* message)
{
    return Update(modulePath, registryPath, message, true);
}

HRESULT UnregisterModule(const std::string& modulePath, const std::string& registryPath, std::string* message)
{
    return Update(modulePath, registryPath, message, false);
}

} // namespace zan
