#pragma once

#include "IDispatch.h"

#include <string>
#include <vector>

namespace zan {

// Calls call[0] on `target` by name through IDispatch with the remaining
// entries as text arguments (the control converts them to the member's
// parameter types), then prints "NAME = VALUE (0xHRESULT)" or
// "NAME (0xHRESULT)" on standard output, or the error and its text on
// standard error. A method is tried first; a name that is only a property
// is then written (with arguments) or read (without). Returns the
// process's exit code: 0 when the call succeeded, 1 otherwise.
int CallByName(IDispatch& target, const std::vector<std::string>& call);

} // namespace zan
