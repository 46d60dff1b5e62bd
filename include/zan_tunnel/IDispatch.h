#pragma once

#include "ComBase.h"
#include "Variant.h"

namespace zan {

// Late-bound calls by DISPID, with names resolved through GetIDsOfNames.
// Slot order follows the platform: after IUnknown's three come
// GetTypeInfoCount, GetTypeInfo, GetIDsOfNames, Invoke.
class IDispatch : public IUnknown {
public:
    virtual HRESULT GetTypeInfoCount(uint32_t* count) = 0;
    virtual HRESULT GetTypeInfo(uint32_t index, uint32_t lcid, void** typeInfo) = 0;
    virtual HRESULT GetIDsOfNames(const IID& iid, const char16_t** names, uint32_t count, uint32_t lcid,
                                  DISPID* ids) = 0;
    virtual HRESULT Invoke(DISPID member, const IID& iid, uint32_t lcid, uint16_t flags,
                           DISPPARAMS* params, VARIANT* result, void* excepInfo, uint32_t* argErr) = 0;

protected:
    IDispatch() = default;
    ~IDispatch() = default;
    IDispatch(const IDispatch&) = default;
    IDispatch& operator=(const IDispatch&) = default;
};

} // namespace zan
