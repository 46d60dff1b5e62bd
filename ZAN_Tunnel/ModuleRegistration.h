#pragma once

#include "ComBase.h"

#include <string>

namespace zan {

// The AppID the module registers under.
inline constexpr GUID APPID_ZAN_Tunnel = {0x6b1d2e44, 0x3c55, 0x4f0e, {0x9a, 0x61, 0x2f, 0x7c, 0x14, 0xd8, 0x5e, 0x01}};
// The control's OLE miscellaneous status: recompose-on-resize,
// can't-link-inside, inside-out, activate-when-visible, set-client-site-first.
inline constexpr uint32_t kControlOleMiscStatus = 131473;

// Writes the module's entries into the registry file at `registryPath` as
// one update: the AppID script, the class script, then the type library's
// entries, with %MODULE% = `modulePath`. Runs with the thread's locale set
// to the system default and restores the previous one on every way out.
// The first failure or S_OK; `message` (when given) says what failed.
HRESULT RegisterModule(const std::string& modulePath, const std::string& registryPath, std::string* message);
// Removes exactly what RegisterModule wrote, in reverse order.
HRESULT UnregisterModule(const std::string& modulePath, const std::string& registryPath, std::string* message);

} // namespace zan
