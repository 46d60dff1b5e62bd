#include "EventPrinter.h"

#include "IZAN_Tunnel.h"
#include "TextConversion.h"
#include "Variant.h"
#include "HostLog.h"

#include <cstdio>
#include <utility>

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
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string part = text.substr(start, end - start);
        while (!part.empty() && (part.back() == '\r' || part.back() == ' ')) {
            part.pop_back();
        }
        if (!part.empty()) {
            line += (line.empty() ? "" : "; ") + part;
        }
        start = end + 1;
    }
    return line;
}

void EventPrinter::SetPeer(const std::string& address)
{
    std::lock_guard guard(lock);
    peer = address;
}

std::vector<std::string> EventPrinter::TakeErrors()
{
    std::lock_guard guard(lock);
    return std::exchange(newErrors, {});
}

void EventPrinter::HoldErrors(bool hold)
{
    std::lock_guard guard(lock);
    holding = hold;
}

std::string EventPrinter::LastError() const
{
    std::lock_guard guard(lock);
    return lastError;
}

namespace {

std::string MessageOf(const VARIANT& argument)
{
    const BSTR message = argument.pbstrVal != nullptr ? *argument.pbstrVal : nullptr;
    return message != nullptr ? Utf16ToUtf8(std::u16string_view(message, SysStringLen(message))) : "";
}

} // namespace

HRESULT EventPrinter::Invoke(DISPID dispid, const IID&, uint32_t, uint16_t, DISPPARAMS* params, VARIANT*, void*,
                             uint32_t*)
{
    switch (dispid) {
    case DISPID_ConnectEvent: {
        ++connects;
        std::string address;
        {
            std::lock_guard guard(lock);
            address = peer;
        }
        LogInfo("connect", "ConnectEvent " + address + " (tunnel up)", {{"peer", address}});
        break;
    }
    case DISPID_DisconnectEvent: {
        ++disconnects;
        const int32_t code = params != nullptr && params->cArgs == 1 ? params->rgvarg[0].lVal : 0;
        LogWarning("disconnect", "DisconnectEvent " + std::to_string(code) + " (tunnel down, trying again)",
                   {{"code", code}});
        break;
    }
    case DISPID_ErrorEvent: {
        ++errors;
        if (params == nullptr || params->cArgs != 2) {
            return E_INVALIDARG;
        }
        // Last parameter first: the code, then the message by reference.
        const auto code = static_cast<uint32_t>(params->rgvarg[0].lVal);
        const std::string text = OneLine(MessageOf(params->rgvarg[1]));
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08X", code);
        {
            std::lock_guard guard(lock);
            newErrors.push_back(text);
            lastError = text;
            if (holding) {
                break;
            }
        }
        LogWarning("error", std::string("ErrorEvent ") + hex + " " + text, {{"code", hex}, {"detail", text}});
        break;
    }
    case DISPID_LogEvent: {
        ++logs;
        if (params == nullptr || params->cArgs != 1) {
            return E_INVALIDARG;
        }
        const std::string text = OneLine(MessageOf(params->rgvarg[0]));
        LogInfo("log", "LogEvent " + text, {{"detail", text}});
        break;
    }
    default:
        break;
    }
    return S_OK;
}

} // namespace zan
