#include "EventPrinter.h"

#include "IZAN_Tunnel.h"
#include "TextConversion.h"
#include "Variant.h"

namespace zan {

HRESULT EventPrinter::QueryInterface(const IID& iid, void** object)
{
    if (object == nullptr) {
        return E_POINTER;
    }
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID__IZAN_TunnelEvents) {
        *object = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT EventPrinter::GetTypeInfoCount(uint32_t* count)
{
    if (count == nullptr) {
        return E_POINTER;
    }
    *count = 0;
    return S_OK;
}

HRESULT EventPrinter::GetTypeInfo(uint32_t, uint32_t, void**)
{
    return E_NOTIMPL;
}

HRESULT EventPrinter::GetIDsOfNames(const IID&, const char16_t**, uint32_t, uint32_t, DISPID*)
{
    return E_NOTIMPL;
}

std::string EventPrinter::OneLine(const std::string& text)
{
    std::string line;
    line.reserve(text.size());
    for (char c : text) {
        if (c == '\n') {
            line += "\\n";
        } else if (c != '\r') {
            line += c;
        }
    }
    return line;
}

HRESULT EventPrinter::Invoke(DISPID dispid, const IID&, uint32_t, uint16_t, DISPPARAMS* params, VARIANT*, void*,
                             uint32_t*)
{
    switch (dispid) {
    case DISPID_ConnectEvent:
        ++connects;
        std::fprintf(out, "ConnectEvent\n");
        break;
    case DISPID_DisconnectEvent: {
        ++disconnects;
        const int32_t code = params != nullptr && params->cArgs == 1 ? params->rgvarg[0].lVal : 0;
        std::fprintf(out, "DisconnectEvent %d\n", code);
        break;
    }
    case DISPID_ErrorEvent: {
        ++errors;
        if (params == nullptr || params->cArgs != 2) {
            return E_INVALIDARG;
        }
        // Last parameter first: the code, then the message by reference.
        const auto code = static_cast<uint32_t>(params->rgvarg[0].lVal);
        const BSTR message = *params->rgvarg[1].pbstrVal;
        const std::string text =
            message != nullptr ? Utf16ToUtf8(std::u16string_view(message, SysStringLen(message))) : "";
        std::fprintf(out, "ErrorEvent 0x%08X %s\n", code, OneLine(text).c_str());
        break;
    }
    case DISPID_LogEvent: {
        ++logs;
        if (params == nullptr || params->cArgs != 1) {
            return E_INVALIDARG;
        }
        const BSTR message = *params->rgvarg[0].pbstrVal;
        const std::string text =
            message != nullptr ? Utf16ToUtf8(std::u16string_view(message, SysStringLen(message))) : "";
        std::fprintf(out, "LogEvent %s\n", OneLine(text).c_str());
        break;
    }
    default:
        break;
    }
    std::fflush(out);
    return S_OK;
}

} // namespace zan
