#pragma once

#include "Bstr.h"
#include "ResultCodes.h"

#include <cstdint>

namespace zan {

// The automation variant, reduced to the types the control passes: events
// carry VT_I4 and a VT_BSTR by reference, properties the integer types and
// strings. Values and flags are the automation ones hosts already use.
using VARTYPE = uint16_t;

inline constexpr VARTYPE VT_EMPTY = 0;
inline constexpr VARTYPE VT_I4 = 3;
inline constexpr VARTYPE VT_I1 = 16;  // only as VT_I1 | VT_BYREF: a byte buffer in a description
inline constexpr VARTYPE VT_BSTR = 8;
inline constexpr VARTYPE VT_UI1 = 17;
inline constexpr VARTYPE VT_UI4 = 19;
inline constexpr VARTYPE VT_I8 = 20;
inline constexpr VARTYPE VT_BYREF = 0x4000;

struct VARIANT {
    VARTYPE vt;
    union {
        int32_t lVal;
        uint32_t ulVal;
        uint8_t bVal;
        int64_t llVal;
        BSTR bstrVal;
        BSTR* pbstrVal;
    };
};

// Makes the variant empty without looking at what it held.
ZAN_EXPORT void VariantInit(VARIANT* v);
// Frees what the variant owns (a VT_BSTR string; a by-reference string
// belongs to whoever passed the reference) and leaves it empty. A type
// outside the supported set is refused with DISP_E_BADVARTYPE and left as is.
ZAN_EXPORT HRESULT VariantClear(VARIANT* v);

using DISPID = int32_t;

inline constexpr DISPID DISPID_UNKNOWN = -1;
// The named argument that carries the new value of a property put.
inline constexpr DISPID DISPID_PROPERTYPUT = -3;

// Arguments of an Invoke, last argument first, as the platform orders them.
struct DISPPARAMS {
    VARIANT* rgvarg;
    DISPID* rgdispidNamedArgs;
    uint32_t cArgs;
    uint32_t cNamedArgs;
};

inline constexpr uint16_t DISPATCH_METHOD = 0x1;
inline constexpr uint16_t DISPATCH_PROPERTYGET = 0x2;
inline constexpr uint16_t DISPATCH_PROPERTYPUT = 0x4;

inline constexpr uint32_t LOCALE_USER_DEFAULT = 0x400;

} // namespace zan
