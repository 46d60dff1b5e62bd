#include "DispatchCall.h"

#include "ComResults.h"
#include "SystemMessages.h"
#include "TextConversion.h"

#include <cstdio>

namespace zan {

namespace {

std::string ValueText(const VARIANT& value)
{
    switch (value.vt) {
    case VT_BSTR:
        return "\"" + Utf16ToUtf8(BstrView(value.bstrVal)) + "\"";
    case VT_I4:
        return std::to_string(value.lVal);
    case VT_UI4:
        return std::to_string(value.ulVal);
    case VT_UI1:
        return std::to_string(value.bVal);
    case VT_I8:
        return std::to_string(value.llVal);
    default:
        return {};
    }
}

} // namespace

int CallByName(IDispatch& target, const std::vector<std::string>& call)
{
    const std::string& name = call.front();
    const std::u16string wideName = Utf8ToUtf16(name);
    const char16_t* names[] = {wideName.c_str()};
    DISPID id = DISPID_UNKNOWN;
    if (HRESULT hr = target.GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id); hr < 0) {
        std::fprintf(stderr, "zan-tunnel: the control has no member named %s (0x%08X)\n", name.c_str(),
                     static_cast<uint32_t>(hr));
        return 1;
    }
    // Arguments travel last first.
    std::vector<BstrOwner> texts;
    std::vector<VARIANT> args(call.size() - 1);
    for (size_t i = 1; i < call.size(); ++i) {
        const std::u16string wide = Utf8ToUtf16(call[i]);
        texts.emplace_back(SysAllocStringView(wide));
        VARIANT& arg = args[call.size() - 1 - i];
        VariantInit(&arg);
        arg.vt = VT_BSTR;
        arg.bstrVal = texts.back().Get();
    }
    DISPPARAMS params{args.data(), nullptr, static_cast<uint32_t>(args.size()), 0};
    VARIANT result;
    VariantInit(&result);
    uint32_t argError = 0;
    const uint16_t methodFlags = args.empty() ? DISPATCH_METHOD | DISPATCH_PROPERTYGET : DISPATCH_METHOD;
    HRESULT hr = target.Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, methodFlags, &params, &result, nullptr, &argError);
    if (hr == DISP_E_MEMBERNOTFOUND && !args.empty()) {
        DISPID putId = DISPID_PROPERTYPUT;
        DISPPARAMS put{args.data(), &putId, static_cast<uint32_t>(args.size()), 1};
        hr = target.Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &put, &result, nullptr,
                           &argError);
    }
    const std::string value = ValueText(result);
    VariantClear(&result);
    if (hr < 0) {
        std::string why = Utf16ToUtf8(SystemMessageText(hr));
        if (!why.empty() && why.back() == '\n') {
            why.pop_back();
        }
        std::fprintf(stderr, "zan-tunnel: %s failed (0x%08X) %s", name.c_str(), static_cast<uint32_t>(hr),
                     why.c_str());
        if (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW) {
            std::fprintf(stderr, " (argument %u)", static_cast<unsigned>(call.size() - 1 - argError));
        }
        std::fputc('\n', stderr);
        return 1;
    }
    if (value.empty()) {
        std::printf("%s (0x%08X)\n", name.c_str(), static_cast<uint32_t>(hr));
    } else {
        std::printf("%s = %s (0x%08X)\n", name.c_str(), value.c_str(), static_cast<uint32_t>(hr));
    }
    std::fflush(stdout);
    return 0;
}

} // namespace zan
