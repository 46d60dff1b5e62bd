#pragma once

#include "Bstr.h"
#include "TextConversion.h"

#include <string>
#include <string_view>

namespace zan {

// An automation string made from UTF-8 for one call, freed afterwards.
class HostText {
public:
    explicit HostText(std::string_view utf8)
    {
        const std::u16string wide = Utf8ToUtf16(utf8);
        text = SysAllocStringLen(wide.data(), static_cast<uint32_t>(wide.size()));
    }
    ~HostText() { SysFreeString(text); }
    HostText(const HostText&) = delete;
    HostText& operator=(const HostText&) = delete;

    operator BSTR() const { return text; }

    // UTF-8 of a string the control returned; frees it.
    static std::string Take(BSTR returned)
    {
        std::string utf8 = returned != nullptr ? Utf16ToUtf8(std::u16string_view(returned, SysStringLen(returned))) : "";
        SysFreeString(returned);
        return utf8;
    }

private:
    BSTR text = nullptr;
};

} // namespace zan
