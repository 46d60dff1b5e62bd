// Input: a sequence of calls, each a control byte and two texts ended by a
// 0x00 byte (the property name, then the value; a missing end closes the
// input). Control byte bit 0: the texts are raw UTF-16 code units (two
// bytes each, lone surrogates included) instead of UTF-8; bit 1: the name
// is a null BSTR; bit 2: the value is a null BSTR; bit 3: read the property
// back with GetProperties after setting it; bit 4: read t_instance first,
// which creates the engine (no socket of it ever carries traffic), so that
// keys reach it at once.
//
// One control per input, never started. Checks: every call returns one of
// the results the control can give, and a value the control refuses with
// E_INVALIDARG leaves every setting as it was.

#include "Bstr.h"
#include "DebugOutput.h"
#include "MessagePresenter.h"
#include "ResultCodes.h"
#include "TextConversion.h"
#include "Tunnel.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace zan {

namespace {

void Quiet(const char*, void*) {}
void QuietMessage(const char16_t*, const char16_t*, uint32_t, void*) {}

// Reads one text up to a 0x00 (UTF-8) or a 0x0000 unit (UTF-16).
std::u16string TakeText(const uint8_t*& at, const uint8_t* end, bool raw)
{
    std::u16string text;
    if (raw) {
        while (end - at >= 2) {
            const char16_t unit = static_cast<char16_t>(at[0] | (at[1] << 8));
            at += 2;
            if (unit == 0) {
                break;
            }
            text.push_back(unit);
        }
        return text;
    }
    const uint8_t* stop = static_cast<const uint8_t*>(std::memchr(at, 0, static_cast<size_t>(end - at)));
    const uint8_t* textEnd = stop != nullptr ? stop : end;
    text = Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(at), static_cast<size_t>(textEnd - at)));
    at = stop != nullptr ? stop + 1 : end;
    return text;
}

BstrOwner MakeBstr(const std::u16string& text, bool null)
{
    return BstrOwner(null ? nullptr : SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size())));
}

bool Expected(HRESULT result)
{
    return result == S_OK || result == E_INVALIDARG || result == E_NOTIMPL || result == E_POINTER;
}

} // namespace

} // namespace zan

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Exception reports go nowhere: no message, no debug output, and a log
    // folder that does not exist (the control never creates it).
    zan::SetDebugOutputCallback(&zan::Quiet, nullptr);
    zan::SetMessagePresenter(&zan::QuietMessage, nullptr);
    setenv("ZAN_COMMON_APPDATA", "/nonexistent-zan-fuzz", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace zan;
    CZAN_Tunnel* control = nullptr;
    if (CZAN_Tunnel::CreateInstance(&control) != S_OK) {
        std::abort();
    }
    const uint8_t* at = data;
    const uint8_t* end = data + size;
    while (at < end) {
        const uint8_t op = *at++;
        const bool raw = (op & 1) != 0;
        const std::u16string name = TakeText(at, end, raw);
        const std::u16string value = TakeText(at, end, raw);
        if ((op & 16) != 0) {
            const BstrOwner instance = MakeBstr(u"t_instance", false);
            BSTR answer = nullptr;
            if (control->GetProperties(instance.Get(), &answer) != S_OK || answer == nullptr) {
                std::abort();
            }
            SysFreeString(answer);
        }
        const BstrOwner prop = MakeBstr(name, (op & 2) != 0);
        const BstrOwner newValue = MakeBstr(value, (op & 4) != 0);
        const ControlSettings before = control->Settings();
        const HRESULT result = control->SetProperties(prop.Get(), newValue.Get());
        if (!Expected(result) && result != 0) {
            std::abort();
        }
        if (result == E_INVALIDARG && before.Fields() != control->Settings().Fields()) {
            std::abort();  // a refused value changed a setting
        }
        if ((op & 8) != 0) {
            BSTR answer = nullptr;
            const HRESULT got = control->GetProperties(prop.Get(), &answer);
            if (!Expected(got) && got != 0) {
                std::abort();
            }
            SysFreeString(answer);
        }
    }
    control->ReleaseControl();
    return 0;
}
