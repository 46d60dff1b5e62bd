#pragma once

#include <optional>
#include <string>

namespace zan {

// The common application-data folder: the value of the environment variable
// ZAN_COMMON_APPDATA when it is set and not empty, else "/var/lib". Nothing
// when the variable names a relative path, which would depend on the
// process's working folder. The folder is not created.
std::optional<std::string> CommonAppDataFolder();

} // namespace zan
