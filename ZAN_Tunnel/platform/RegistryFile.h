#pragma once

#include "ResultCodes.h"

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace zan {

// The registry: keys named by their full path ("HKCR\CLSID\{...}"), each
// holding named text values; the value named "" is the key's default.
// A key exists on its own, with or without values or subkeys.
//
// On disk it is one text file:
//     ZAN registry 1
//     [HKCR\ZAN_Tunnel.ZAN_Tunnel]
//     @="ZAN_Tunnel Class"
//     "CurVer"="..."
//     end
// Value texts escape \ " and line feeds with a backslash. The first and last
// lines let a reader tell a whole file from a truncated or foreign one.
struct RegistryData {
    using Values = std::map<std::string, std::string>;
    std::map<std::string, Values> keys;

    bool HasKey(const std::string& key) const { return keys.contains(key); }
    // The value, or nothing when the key or the value is missing.
    std::optional<std::string> Value(const std::string& key, const std::string& name = "") const;
    // True when some other key lies below `key`.
    bool HasSubkeys(const std::string& key) const;
    // Removes `key` and everything below it.
    void RemoveTree(const std::string& key);

    std::string ToText() const;
};

// A failure of the registry layer: the result code callers return and a
// sentence that names the file and what is wrong with it.
struct RegistryError {
    HRESULT code = S_OK;
    std::string message;
};

// Parses the text of a registry file; an empty text is an empty registry.
// `path` only names the file in error messages.
std::optional<RegistryData> ParseRegistry(const std::string& text, const std::string& path, RegistryError& error);

// The file the module uses: $ZAN_REGISTRY, else /var/lib/zan/registry.
std::string RegistryPath();

// Reads the registry file at `path`. A missing, unreadable or damaged file
// is an error (REGDB_E_READREGDB) whose message says which.
std::optional<RegistryData> ReadRegistry(const std::string& path, RegistryError& error);

// Changes the registry file at `path` as one step: under an exclusive lock
// on "<path>.lock" (so concurrent updaters from other processes wait their
// turn) it reads the file (a missing or empty one counts as empty),
// lets `change` edit the data, and writes the result to a new file that
// then replaces the old one by rename, so readers see the old or the new
// file, never a mix. A damaged file is left as it is and nothing is written.
// `change` returns false to abandon the update.
bool UpdateRegistry(const std::string& path, const std::function<bool(RegistryData&)>& change,
                    RegistryError& error);

} // namespace zan
