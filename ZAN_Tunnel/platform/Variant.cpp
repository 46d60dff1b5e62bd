#include "Variant.h"

#include "ComResults.h"

namespace zan {

void VariantInit(VARIANT* v)
{
    if (v != nullptr) {
        v->vt = VT_EMPTY;
        v->llVal = 0;
    }
}

HRESULT VariantClear(VARIANT* v)
{
    if (v == nullptr) {
        return E_INVALIDARG;
    }
    switch (v->vt) {
    case VT_BSTR:
        SysFreeString(v->bstrVal);
        break;
    case VT_EMPTY:
    case VT_I4:
    case VT_UI1:
    case VT_UI4:
    case VT_I8:
    case VT_BSTR | VT_BYREF:
        break;
    default:
        return DISP_E_BADVARTYPE;
    }
    VariantInit(v);
    return S_OK;
}

} // namespace zan
