// Late-bound calls into the control: a host that knows only names or DISPIDs
// reaches every method of IZAN_Tunnel through IDispatch, served from the
// compiled-in member table.
#include "IZAN_Tunnel.h"
#include "TextConversion.h"
#include "Tunnel.h"

#include <limits>
#include <optional>
#include <string>

namespace zan {

namespace {

const DispatchNameTable& Members()
{
    static const DispatchNameTable table(
        std::vector<DispatchEntry>(std::begin(kZanTunnelMembers), std::end(kZanTunnelMembers)));
    return table;
}

// The arguments of one call, in call order (the block holds them last first).
class Arguments {
public:
    explicit Arguments(const DISPPARAMS& params) : params(params) {}

    uint32_t Count() const { return params.cArgs; }

    std::optional<int64_t> Integer(uint32_t index) const
    {
        const VARIANT& v = At(index);
        switch (v.vt) {
        case VT_I4:
            return v.lVal;
        case VT_UI4:
            return v.ulVal;
        case VT_UI1:
            return v.bVal;
        case VT_I8:
            return v.llVal;
        default:
            return std::nullopt;
        }
    }

    // A text argument, by value or by reference; nothing for other types.
    std::optional<BSTR> Text(uint32_t index) const
    {
        const VARIANT& v = At(index);
        if (v.vt == VT_BSTR) {
            return v.bstrVal;
        }
        if (v.vt == (VT_BSTR | VT_BYREF) && v.pbstrVal != nullptr) {
            return *v.pbstrVal;
        }
        return std::nullopt;
    }

private:
    const VARIANT& At(uint32_t index) const { return params.rgvarg[params.cArgs - 1 - index]; }
    const DISPPARAMS& params;
};

std::optional<uint32_t> Unsigned(const Arguments& args, uint32_t index)
{
    const auto value = args.Integer(index);
    if (!value || *value < 0 || *value > std::numeric_limits<uint32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(*value);
}

std::optional<int32_t> Signed(const Arguments& args, uint32_t index)
{
    const auto value = args.Integer(index);
    if (!value || *value < std::numeric_limits<int32_t>::min() || *value > std::numeric_limits<int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<int32_t>(*value);
}

void SetResult(VARIANT* result, VARTYPE type, int64_t value)
{
    if (result == nullptr) {
        return;
    }
    VariantInit(result);
    result->vt = type;
    switch (type) {
    case VT_UI1:
        result->bVal = static_cast<uint8_t>(value);
        break;
    case VT_UI4:
        result->ulVal = static_cast<uint32_t>(value);
        break;
    default:
        result->llVal = value;
        break;
    }
}

void SetTextResult(VARIANT* result, BSTR text)
{
    if (result == nullptr) {
        SysFreeString(text);
        return;
    }
    VariantInit(result);
    result->vt = VT_BSTR;
    result->bstrVal = text;
}

// The bytes a late-bound caller passes for a CHAR* argument: its text as UTF-8.
std::string Bytes(BSTR text)
{
    return text == nullptr ? std::string() : Utf16ToUtf8(std::u16string_view(text, SysStringLen(text)));
}

} // namespace

HRESULT CZAN_Tunnel::GetTypeInfoCount(uint32_t* count)
{
    if (count == nullptr) {
        return E_POINTER;
    }
    *count = 0;
    return S_OK;
}

HRESULT CZAN_Tunnel::GetTypeInfo(uint32_t, uint32_t, void** typeInfo)
{
    if (typeInfo != nullptr) {
        *typeInfo = nullptr;
    }
    return E_NOTIMPL;
}

HRESULT CZAN_Tunnel::GetIDsOfNames(const IID&, const char16_t** names, uint32_t count, uint32_t, DISPID* ids)
{
    return Members().GetIDsOfNames(names, count, ids);
}

HRESULT CZAN_Tunnel::Invoke(DISPID dispid, const IID&, uint32_t, uint16_t flags, DISPPARAMS* params,
                            VARIANT* result, void*, uint32_t*)
{
    if (Members().Find(dispid) == nullptr) {
        return DISP_E_MEMBERNOTFOUND;
    }
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    DISPPARAMS& given = params != nullptr ? *params : none;
    if (given.cArgs > 0 && given.rgvarg == nullptr) {
        return E_POINTER;
    }
    return InvokeMember(dispid, flags, given, result);
}

HRESULT CZAN_Tunnel::InvokeMember(DISPID dispid, uint16_t flags, DISPPARAMS& params, VARIANT* result)
{
    const Arguments args(params);
    const auto expect = [&](uint32_t count) { return args.Count() == count; };
    const bool put = (flags & DISPATCH_PROPERTYPUT) != 0;

    switch (dispid) {
    case DISPID_Start:
        return expect(0) ? Start() : DISP_E_BADPARAMCOUNT;
    case DISPID_Stop:
        return expect(0) ? Stop() : DISP_E_BADPARAMCOUNT;
    case DISPID_Clear:
        return expect(0) ? Clear() : DISP_E_BADPARAMCOUNT;
    case DISPID_StartRecording:
        return expect(0) ? StartRecording() : DISP_E_BADPARAMCOUNT;
    case DISPID_StopRecording:
        return expect(0) ? StopRecording() : DISP_E_BADPARAMCOUNT;
    case DISPID_SetDestinationAddress: {
        if (!expect(3)) {
            return DISP_E_BADPARAMCOUNT;
        }
        const auto address = args.Text(0);
        const auto port = Unsigned(args, 1);
        const auto mode = Unsigned(args, 2);
        return address && port && mode ? SetDestinationAddress(*address, *port, static_cast<uint8_t>(*mode))
                                       : DISP_E_TYPEMISMATCH;
    }
    case DISPID_SetDestinationPort: {
        if (!expect(2)) {
            return DISP_E_BADPARAMCOUNT;
        }
        const auto port = Unsigned(args, 0);
        const auto mode = Unsigned(args, 1);
        return port && mode ? SetDestinationPort(*port, static_cast<uint8_t>(*mode)) : DISP_E_TYPEMISMATCH;
    }
    case DISPID_SetReceiveAddress:
    case DISPID_SetSendAddress: {
        if (!expect(1)) {
            return DISP_E_BADPARAMCOUNT;
        }
        const auto text = args.Text(0);
        if (!text) {
            return DISP_E_TYPEMISMATCH;
        }
        return dispid == DISPID_SetReceiveAddress ? SetReceiveAddress(*text) : SetSendAddress(*text);
    }
    case DISPID_AddReceivePort:
    case DISPID_SetLogLevel:
    case DISPID_LocalPort: {
        if (!expect(1) || (dispid == DISPID_LocalPort && !put)) {
            return expect(1) ? DISP_E_MEMBERNOTFOUND : DISP_E_BADPARAMCOUNT;
        }
        const auto value = Unsigned(args, 0);
        if (!value) {
            return DISP_E_TYPEMISMATCH;
        }
        if (dispid == DISPID_AddReceivePort) {
            return AddReceivePort(*value);
        }
        return dispid == DISPID_LocalPort ? put_LocalPort(*value) : SetLogLevel(static_cast<uint8_t>(*value));
    }
    case DISPID_SetSourceTag: {
        const auto tag = expect(1) ? Signed(args, 0) : std::nullopt;
        return tag ? SetSourceTag(*tag) : DISP_E_TYPEMISMATCH;
    }
    case DISPID_CryptoKey:
    case DISPID_Filename: {
        if (put) {
            const auto text = expect(1) ? args.Text(0) : std::nullopt;
            if (!text) {
                return DISP_E_TYPEMISMATCH;
            }
            return dispid == DISPID_CryptoKey ? put_CryptoKey(*text) : put_Filename(*text);
        }
        BSTR text = nullptr;
        const HRESULT hr = dispid == DISPID_CryptoKey ? get_CryptoKey(&text) : get_Filename(&text);
        SetTextResult(result, text);
        return hr;
    }
    case DISPID_CryptoType: {
        if (put) {
            const auto value = expect(1) ? Unsigned(args, 0) : std::nullopt;
            return value ? put_CryptoType(*value) : DISP_E_TYPEMISMATCH;
        }
        uint32_t type = 0;
        const HRESULT hr = get_CryptoType(&type);
        SetResult(result, VT_UI4, type);
        return hr;
    }
    case DISPID_GetSocketStackFactoryInstance: {
        intptr_t instance = 0;
        const HRESULT hr = GetSocketStackFactoryInstance(&instance);
        SetResult(result, VT_I8, static_cast<int64_t>(instance));
        return hr;
    }
    case DISPID_RecordingModeState: {
        uint8_t state = 0;
        const HRESULT hr = RecordingModeState(&state);
        SetResult(result, VT_UI1, state);
        return hr;
    }
    case DISPID_SaveExternalData:
    case DISPID_SetHeader: {
        const uint32_t first = dispid == DISPID_SaveExternalData ? 1 : 0;
        if (!expect(first + 2)) {
            return DISP_E_BADPARAMCOUNT;
        }
        const auto length = Signed(args, first);
        const auto text = args.Text(first + 1);
        if (!length || !text) {
            return DISP_E_TYPEMISMATCH;
        }
        std::string bytes = Bytes(*text);
        const auto len = static_cast<int32_t>(std::min<size_t>(bytes.size(), static_cast<size_t>(std::max(*length, 0))));
        if (dispid == DISPID_SetHeader) {
            return SetHeader(len, bytes.data());
        }
        const auto port = Signed(args, 0);
        return port ? SaveExternalData(*port, len, bytes.data()) : DISP_E_TYPEMISMATCH;
    }
    case DISPID_SetProperties: {
        const auto prop = expect(2) ? args.Text(0) : std::nullopt;
        const auto value = expect(2) ? args.Text(1) : std::nullopt;
        return prop && value ? SetProperties(*prop, *value) : DISP_E_TYPEMISMATCH;
    }
    case DISPID_GetProperties: {
        const auto prop = expect(1) ? args.Text(0) : std::nullopt;
        if (!prop) {
            return DISP_E_TYPEMISMATCH;
        }
        BSTR answer = nullptr;
        const HRESULT hr = GetProperties(*prop, &answer);
        SetTextResult(result, answer);
        return hr;
    }
    default:
        return DISP_E_MEMBERNOTFOUND;
    }
}

} // namespace zan
