#pragma once

#include "ResultCodes.h"

#include <string>

namespace zan {

// The short text for a result code, as reports show it beside the code:
// one line ending with a line feed, or empty when the code is unknown.
// Knows the HRESULTs the module and its platform layer return, and small
// positive codes as the socket layer's errno values.
std::u16string SystemMessageText(HRESULT code);

} // namespace zan
