#pragma once

#include <cstdio>
#include <string>

namespace zan {

// Prints every property name the client's controls know, one a line:
// whether this control sets or reads it and, for each one it uses, the
// value's format with an example.
void PrintPropertyList(std::FILE* out);

// One plain line for a --set NAME the control did not take: an unknown
// name, a known name this control does not use, or a refused value (with
// the control's report, its lines joined, and the format it wants).
std::string PropertyErrorMessage(const std::string& name, const std::string& report);

} // namespace zan
