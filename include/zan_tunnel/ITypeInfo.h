#pragma once

#include "Bstr.h"
#include "ComBase.h"
#include "Variant.h"

#include <cstdint>

namespace zan {

inline constexpr IID IID_ITypeInfo{0x00020401, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// The member id that names the interface itself in GetDocumentation.
inline constexpr DISPID MEMBERID_NIL = DISPID_UNKNOWN;

// How a member is called: one of the DISPATCH_ flags.
using INVOKEKIND = uint16_t;

// One member (method or property accessor) of an interface. Parameter
// types are variant types; a by-reference text is VT_BSTR | VT_BYREF, a
// byte buffer VT_I1 | VT_BYREF. The return value travels in the Invoke's
// result, not among the arguments.
struct FUNCDESC {
    DISPID memid;
    INVOKEKIND invkind;
    uint16_t cParams;        // arguments a caller passes
    VARTYPE returnType;      // VT_EMPTY when the member returns nothing
    VARTYPE paramTypes[4];   // the first cParams are used
};

// The type information of one interface, served from the module's
// compiled-in type library: the members, their names, help texts and
// parameter types, and late-bound calls into an object that implements
// the interface. A reduced form of the platform's interface: its slots
// are these, not the platform's.
class ITypeInfo : public IUnknown {
public:
    virtual HRESULT GetGuid(IID* iid) = 0;
    virtual HRESULT GetFuncCount(uint32_t* count) = 0;
    // TYPE_E_ELEMENTNOTFOUND past the last member.
    virtual HRESULT GetFuncDesc(uint32_t index, FUNCDESC* desc) = 0;
    // The member's (or, for MEMBERID_NIL, the interface's) name and help
    // text; either out-pointer may be null. The caller frees the strings.
    virtual HRESULT GetDocumentation(DISPID memid, BSTR* name, BSTR* docString) = 0;
    // The names of a member and of its parameters, at most `max` of them.
    virtual HRESULT GetNames(DISPID memid, BSTR* names, uint32_t max, uint32_t* count) = 0;
    virtual HRESULT GetIDsOfNames(const char16_t** names, uint32_t count, DISPID* ids) = 0;
    // Calls the member on `instance`, an object implementing this interface.
    virtual HRESULT Invoke(void* instance, DISPID memid, uint16_t flags, DISPPARAMS* params, VARIANT* result,
                           uint32_t* argErr) = 0;

protected:
    ITypeInfo() = default;
    ~ITypeInfo() = default;
    ITypeInfo(const ITypeInfo&) = default;
    ITypeInfo& operator=(const ITypeInfo&) = default;
};

} // namespace zan
