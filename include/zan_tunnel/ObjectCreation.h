#pragma once

#include "ComBase.h"
#include "ZanExport.h"

#include <string>

namespace zan {

// Creates an object of a registered class, as a host does that knows only
// its name: finds `name` in the registry file ($ZAN_REGISTRY, else
// /var/lib/zan/registry) as a CLSID ("{...}") or a ProgID
// ("ZAN_Tunnel.ZAN_Tunnel" follows CurVer to "ZAN_Tunnel.ZAN_Tunnel.1"),
// loads the module named by its InprocServer32 entry, asks the module's
// class factory for the object and returns its `iid` interface in *out.
// Results:
//   REGDB_E_READREGDB    the registry file is missing, empty or damaged
//   CO_E_CLASSSTRING     `name` is neither a CLSID nor a registered ProgID form
//   REGDB_E_CLASSNOTREG  the class or ProgID is not registered
//   CO_E_DLLNOTFOUND     the registered module file does not exist
//   CO_E_ERRORINDLL      it cannot be loaded or lacks the entry points
//   otherwise what the class factory answers.
// On failure *out is null and `message` (when given) says what was wrong.
// Modules stay loaded until FreeUnusedModules finds them unused.
ZAN_EXPORT HRESULT CreateRegisteredObject(const std::string& name, const IID& iid, void** out,
                                          std::string* message = nullptr);

// Unloads every module loaded by CreateRegisteredObject whose
// DllCanUnloadNow answers S_OK (no object and no server lock left).
// Returns how many modules are still loaded.
ZAN_EXPORT size_t FreeUnusedModules();

} // namespace zan
