#pragma once

#include "ComBase.h"
#include "ComResults.h"

#include <cstdint>

namespace zan {

inline constexpr IID IID_IClassFactory{0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// Makes objects of one class. Slot order as on the platform.
class IClassFactory : public IUnknown {
public:
    // A new object answering `iid` in *out. `outer` must be null: the
    // module's objects cannot be aggregated (CLASS_E_NOAGGREGATION).
    virtual HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** out) = 0;
    // TRUE (non-zero) keeps the module loaded until a matching FALSE.
    virtual HRESULT LockServer(int32_t lock) = 0;

protected:
    IClassFactory() = default;
    ~IClassFactory() = default;
    IClassFactory(const IClassFactory&) = default;
    IClassFactory& operator=(const IClassFactory&) = default;
};

} // namespace zan
