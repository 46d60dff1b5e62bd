#pragma once

#include "ResultCodes.h"

namespace zan {

// The framework's failure carrying an HRESULT (out of memory while making an
// automation string, for one). It deliberately derives from nothing: the
// control's boundary tells it apart from the module's own exceptions and
// from standard-library ones.
class ComException {
public:
    explicit ComException(HRESULT error) : error(error) {}

    HRESULT Error() const { return error; }

private:
    HRESULT error;
};

} // namespace zan
