#pragma once

#include "ComBase.h"

#include <optional>
#include <string>
#include <string_view>

namespace zan {

// "{6B1D2E42-3C55-4F0E-9A61-2F7C14D85E01}": the registry's form of a GUID,
// upper-case hexadecimal in braces.
std::string GuidText(const GUID& guid);
// The GUID of such a text (either case), or nothing when it is not one.
std::optional<GUID> ParseGuid(std::string_view text);

} // namespace zan
