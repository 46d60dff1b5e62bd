#include "DispatchTypeInfo.h"

#include "TextConversion.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace zan {

namespace {

char16_t FoldCase(char16_t c)
{
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

// Automation names match without regard to case (identifiers are ASCII).
bool SameName(std::u16string_view a, std::u16string_view b)
{
    return std::ranges::equal(a, b, [](char16_t x, char16_t y) { return FoldCase(x) == FoldCase(y); });
}

BSTR Copy(std::u16string_view text)
{
    return SysAllocStringView(text);
}

// A decimal number with optional surrounding spaces and sign.
HRESULT ParseDecimal(std::u16string_view text, int64_t low, int64_t high, int64_t& out)
{
    std::string narrow;
    for (char16_t c : text) {
        if (c > 0x7F) {
            return DISP_E_TYPEMISMATCH;
        }
        narrow += static_cast<char>(c);
    }
    size_t begin = 0;
    size_t end = narrow.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(narrow[begin]))) {
        ++begin;
    }
    while (end > begin && std::isspace(static_cast<unsigned char>(narrow[end - 1]))) {
        --end;
    }
    if (begin < end && narrow[begin] == '+') {
        ++begin;
    }
    int64_t value = 0;
    const char* first = narrow.data() + begin;
    const char* last = narrow.data() + end;
    const auto [stop, error] = std::from_chars(first, last, value);
    if (first == last || stop != last || (error != std::errc() && error != std::errc::result_out_of_range)) {
        return DISP_E_TYPEMISMATCH;
    }
    if (error == std::errc::result_out_of_range || value < low || value > high) {
        return DISP_E_OVERFLOW;
    }
    out = value;
    return S_OK;
}

} // namespace

uint16_t DispatchMember::InCount() const
{
    return static_cast<uint16_t>(std::ranges::count_if(params, [](const DispatchParam& p) { return !p.out; }));
}

VARTYPE DispatchMember::ReturnType() const
{
    for (const DispatchParam& p : params) {
        if (p.out) {
            return p.type;
        }
    }
    return VT_EMPTY;
}

HRESULT ArgumentToInteger(const VARIANT& arg, int64_t low, int64_t high, int64_t& out)
{
    int64_t value = 0;
    switch (arg.vt) {
    case VT_EMPTY:
        value = 0;
        break;
    case VT_I4:
        value = arg.lVal;
        break;
    case VT_UI4:
        value = arg.ulVal;
        break;
    case VT_UI1:
        value = arg.bVal;
        break;
    case VT_I8:
        value = arg.llVal;
        break;
    case VT_BSTR:
        return ParseDecimal(BstrView(arg.bstrVal), low, high, out);
    case VT_BSTR | VT_BYREF:
        if (arg.pbstrVal == nullptr) {
            return DISP_E_TYPEMISMATCH;
        }
        return ParseDecimal(BstrView(*arg.pbstrVal), low, high, out);
    default:
        return DISP_E_TYPEMISMATCH;
    }
    if (value < low || value > high) {
        return DISP_E_OVERFLOW;
    }
    out = value;
    return S_OK;
}

HRESULT ArgumentToText(const VARIANT& arg, BstrOwner& owned, BSTR& view)
{
    switch (arg.vt) {
    case VT_BSTR:
        view = arg.bstrVal;
        return S_OK;
    case VT_BSTR | VT_BYREF:
        if (arg.pbstrVal == nullptr) {
            return DISP_E_TYPEMISMATCH;
        }
        view = *arg.pbstrVal;
        return S_OK;
    case VT_EMPTY:
        owned.Attach(SysAllocStringView(u""));
        break;
    case VT_I4:
    case VT_UI4:
    case VT_UI1:
    case VT_I8: {
        int64_t value = 0;
        ArgumentToInteger(arg, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), value);
        owned.Attach(SysAllocStringView(Utf8ToUtf16(std::to_string(value))));
        break;
    }
    default:
        return DISP_E_TYPEMISMATCH;
    }
    view = owned.Get();
    return S_OK;
}

namespace dispatch {

HRESULT Param<char*>::From(const VARIANT& arg)
{
    BstrOwner owned;
    BSTR view = nullptr;
    const HRESULT hr = ArgumentToText(arg, owned, view);
    if (hr >= 0) {
        bytes = Utf16ToUtf8(BstrView(view));
    }
    return hr;
}

} // namespace dispatch

HRESULT DispatchTypeInfo::QueryInterface(const IID& iid, void** out)
{
    if (out == nullptr) {
        return E_POINTER;
    }
    if (iid == IID_IUnknown || iid == IID_ITypeInfo) {
        *out = static_cast<ITypeInfo*>(this);
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

HRESULT DispatchTypeInfo::GetGuid(IID* iid)
{
    if (iid == nullptr) {
        return E_POINTER;
    }
    *iid = description.iid;
    return S_OK;
}

HRESULT DispatchTypeInfo::GetFuncCount(uint32_t* count)
{
    if (count == nullptr) {
        return E_POINTER;
    }
    *count = static_cast<uint32_t>(description.members.size());
    return S_OK;
}

HRESULT DispatchTypeInfo::GetFuncDesc(uint32_t index, FUNCDESC* desc)
{
    if (desc == nullptr) {
        return E_POINTER;
    }
    if (index >= description.members.size()) {
        return TYPE_E_ELEMENTNOTFOUND;
    }
    const DispatchMember& member = description.members[index];
    *desc = FUNCDESC{member.id, member.kind, member.InCount(), member.ReturnType(), {}};
    uint16_t i = 0;
    for (const DispatchParam& p : member.params) {
        if (!p.out && i < std::size(desc->paramTypes)) {
            desc->paramTypes[i++] = p.type;
        }
    }
    return S_OK;
}

HRESULT DispatchTypeInfo::GetDocumentation(DISPID memid, BSTR* name, BSTR* docString)
{
    std::u16string_view foundName = description.name;
    std::u16string_view foundHelp = description.help;
    if (memid != MEMBERID_NIL) {
        const auto member = std::ranges::find(description.members, memid, &DispatchMember::id);
        if (member == description.members.end()) {
            return TYPE_E_ELEMENTNOTFOUND;
        }
        foundName = member->name;
        foundHelp = member->help;
    }
    if (name != nullptr) {
        *name = Copy(foundName);
    }
    if (docString != nullptr) {
        *docString = Copy(foundHelp);
    }
    return S_OK;
}

HRESULT DispatchTypeInfo::GetNames(DISPID memid, BSTR* names, uint32_t max, uint32_t* count)
{
    if (names == nullptr || count == nullptr) {
        return E_POINTER;
    }
    const auto member = std::ranges::find(description.members, memid, &DispatchMember::id);
    if (member == description.members.end()) {
        return TYPE_E_ELEMENTNOTFOUND;
    }
    *count = 0;
    if (*count < max) {
        names[(*count)++] = Copy(member->name);
    }
    for (std::u16string_view param : member->paramNames) {
        if (*count < max) {
            names[(*count)++] = Copy(param);
        }
    }
    return S_OK;
}

HRESULT DispatchTypeInfo::GetIDsOfNames(const char16_t** names, uint32_t count, DISPID* ids)
{
    if (count == 0) {
        return S_OK;
    }
    if (names == nullptr || ids == nullptr) {
        return E_POINTER;
    }
    // names[0] is the member; the others are its parameters.
    const DispatchMember* member = nullptr;
    if (names[0] != nullptr) {
        for (const DispatchMember& candidate : description.members) {
            if (SameName(candidate.name, names[0])) {
                member = &candidate;
                break;
            }
        }
    }
    HRESULT hr = S_OK;
    ids[0] = member != nullptr ? member->id : DISPID_UNKNOWN;
    if (member == nullptr) {
        hr = DISP_E_UNKNOWNNAME;
    }
    for (uint32_t i = 1; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        if (member != nullptr && names[i] != nullptr) {
            for (size_t p = 0; p < member->paramNames.size(); ++p) {
                if (SameName(member->paramNames[p], names[i])) {
                    ids[i] = static_cast<DISPID>(p);
                }
            }
        }
        if (ids[i] == DISPID_UNKNOWN) {
            hr = DISP_E_UNKNOWNNAME;
        }
    }
    return hr;
}

const DispatchMember* DispatchTypeInfo::Select(DISPID memid, uint16_t flags) const
{
    // A method call may also read a property (automation callers often
    // cannot tell the two apart); a put must name a put.
    for (const uint16_t kind : {DISPATCH_METHOD, DISPATCH_PROPERTYGET, DISPATCH_PROPERTYPUT}) {
        if ((flags & kind) == 0) {
            continue;
        }
        for (const DispatchMember& member : description.members) {
            if (member.id == memid && member.kind == kind) {
                return &member;
            }
        }
    }
    return nullptr;
}

HRESULT DispatchTypeInfo::Invoke(void* instance, DISPID memid, uint16_t flags, DISPPARAMS* params, VARIANT* result,
                                 uint32_t* argErr)
{
    if (instance == nullptr) {
        return E_INVALIDARG;
    }
    const DispatchMember* member = Select(memid, flags);
    if (member == nullptr || member->call == nullptr) {
        return DISP_E_MEMBERNOTFOUND;
    }
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    const DISPPARAMS& given = params != nullptr ? *params : none;
    if (given.cArgs > 0 && given.rgvarg == nullptr) {
        return E_POINTER;
    }
    if (given.cNamedArgs > 0) {
        const bool putValue = member->kind == DISPATCH_PROPERTYPUT && given.cNamedArgs == 1 &&
                              given.rgdispidNamedArgs != nullptr && given.rgdispidNamedArgs[0] == DISPID_PROPERTYPUT;
        if (!putValue) {
            return DISP_E_NONAMEDARGS;
        }
    }
    if (given.cArgs != member->InCount()) {
        return DISP_E_BADPARAMCOUNT;
    }
    return member->call(instance, given, result, argErr);
}

} // namespace zan
