#pragma once

#include "RegistryFile.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zan {

// A registry script: the keys and values a module registers, as text.
//
//     HKCR
//     {
//         NoRemove CLSID
//         {
//             ForceRemove '{...}' = s 'ZAN_Tunnel Class'
//             {
//                 InprocServer32 = s '%MODULE%'
//                 {
//                     val ThreadingModel = s 'Apartment'
//                 }
//             }
//         }
//     }
//
// A key is a name, optionally `= s 'default value'`, optionally followed by
// its subkeys and `val NAME = s 'value'` lines in braces. Names are bare
// words or quoted with '...' ('' inside stands for one quote). NoRemove
// marks a shared key that unregistration never removes (and registration
// does not create unless it gives it values); ForceRemove a key
// that registration first clears of everything below it. %NAME% tokens are
// replaced before parsing; %% is one percent sign.
class RegistryScript {
public:
    // The parsed script, or nothing with `error` saying where it is wrong.
    static std::optional<RegistryScript> Parse(const std::string& text,
                                               const std::map<std::string, std::string>& replacements,
                                               std::string& error);

    // Writes every key and value of the script into `data`.
    void Register(RegistryData& data) const;
    // Removes what Register wrote, last written first: every value the
    // script names, then every key the script names that is not NoRemove
    // and holds nothing any more. Values and keys that someone else added
    // stay, and so do the keys holding them.
    void Unregister(RegistryData& data) const;

private:
    struct Key {
        std::string name;
        bool noRemove = false;
        bool forceRemove = false;
        std::optional<std::string> defaultValue;
        std::vector<std::pair<std::string, std::string>> values;
        std::vector<Key> subkeys;
    };
    class Parser;

    static void RegisterKey(const Key& key, const std::string& parent, RegistryData& data);
    static void UnregisterKey(const Key& key, const std::string& parent, RegistryData& data);

    std::vector<Key> roots;
};

} // namespace zan
