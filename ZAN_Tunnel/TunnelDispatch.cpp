// Late-bound calls into the control: a host that knows only names or DISPIDs
// reaches every method and property of IZAN_Tunnel through IDispatch, served
// from the compiled-in type library (TypeLibrary.cpp).
#include "ComResults.h"
#include "Tunnel.h"
#include "TypeLibrary.h"

namespace zan {

namespace {

constexpr HRESULT DISP_E_BADINDEX = static_cast<HRESULT>(0x8002000Bu);

} // namespace

HRESULT CZAN_Tunnel::GetTypeInfoCount(uint32_t* count)
{
    if (count == nullptr) {
        return E_POINTER;
    }
    *count = 1;
    return S_OK;
}

HRESULT CZAN_Tunnel::GetTypeInfo(uint32_t index, uint32_t, void** typeInfo)
{
    if (typeInfo == nullptr) {
        return E_POINTER;
    }
    *typeInfo = nullptr;
    if (index != 0) {
        return DISP_E_BADINDEX;
    }
    ITypeInfo& info = ZanTunnelTypeInfo();
    info.AddRef();
    *typeInfo = &info;
    return S_OK;
}

HRESULT CZAN_Tunnel::GetIDsOfNames(const IID& iid, const char16_t** names, uint32_t count, uint32_t, DISPID* ids)
{
    if (!(iid == IID_NULL)) {
        return DISP_E_UNKNOWNINTERFACE;
    }
    return ZanTunnelTypeInfo().GetIDsOfNames(names, count, ids);
}

HRESULT CZAN_Tunnel::Invoke(DISPID dispid, const IID& iid, uint32_t, uint16_t flags, DISPPARAMS* params,
                            VARIANT* result, void*, uint32_t* argErr)
{
    if (!(iid == IID_NULL)) {
        return DISP_E_UNKNOWNINTERFACE;
    }
    return ZanTunnelTypeInfo().Invoke(static_cast<IZAN_Tunnel*>(this), dispid, flags, params, result, argErr);
}

} // namespace zan
