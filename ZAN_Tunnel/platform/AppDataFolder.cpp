#include "AppDataFolder.h"

#include <cstdlib>

namespace zan {

std::optional<std::string> CommonAppDataFolder()
{
    const char* folder = std::getenv("ZAN_COMMON_APPDATA");
    if (folder == nullptr || *folder == '\0') {
        return std::string("/var/lib");
    }
    if (*folder != '/') {
        return std::nullopt;
    }
    return std::string(folder);
}

} // namespace zan
