#pragma once

// Helpers for the control's tests: automation strings, a control that is
// released at the end, and the property table without an engine; sinks,
// shown messages and the log folder come from the platform tests' helpers.

#include "Bstr.h"
#include "ControlSettings.h"
#include "IZAN_Tunnel.h"
#include "LoopbackSockets.h"
#include "TextConversion.h"
#include "Tunnel.h"
#include "TunnelProperties.h"
#include "ZAN_Properties.h"
#include "base_exception.h"
#include "platform_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zan {

namespace controltest {

// An automation string made from UTF-8, freed with the object.
struct Text : BstrOwner {
    explicit Text(std::string_view utf8) : BstrOwner(SysAllocStringView(Utf8ToUtf16(utf8))) {}
    operator BSTR() const { return Get(); }  // NOLINT: passed where a BSTR is expected
};

inline std::string Take(BSTR text)
{
    std::string utf8 = text == nullptr ? "<null>" : Utf16ToUtf8(std::u16string_view(text, SysStringLen(text)));
    SysFreeString(text);
    return utf8;
}

// A control created for a test, released at its end.
class Control {
public:
    Control() { EXPECT_EQ(CZAN_Tunnel::CreateInstance(&control), S_OK); }
    ~Control()
    {
        if (control != nullptr) {
            control->ReleaseControl();
        }
    }
    CZAN_Tunnel* operator->() const { return control; }
    CZAN_Tunnel& operator*() const { return *control; }
    // Releases now (final release), e.g. to test what follows it.
    void Release()
    {
        control->ReleaseControl();
        control = nullptr;
    }

private:
    CZAN_Tunnel* control = nullptr;
};

// A UDP port on 127.0.0.1 that was free a moment ago.
inline uint16_t FreePort()
{
    return sockettest::FreePort(SOCK_DGRAM);
}

} // namespace controltest

namespace proptest {

// Runs `call` and checks that it throws exc_tunnel with these parts.
template <typename Call>
void ExpectTunnelError(Call&& call, int32_t line, uint32_t code, const std::string& message)
{
    try {
        call();
        ADD_FAILURE() << "no exception; expected \"" << message << "\"";
    } catch (const exc_tunnel& e) {
        EXPECT_EQ(e.message, message);
        EXPECT_EQ(e.line, line) << message;
        EXPECT_EQ(e.code, code) << message;
        EXPECT_EQ(e.component, "tunnel");
    }
}

inline bool SameSettings(const ControlSettings& a, const ControlSettings& b)
{
    return a.Fields() == b.Fields();
}

// A control's property table and settings, without an engine.
class PropertiesTest : public ::testing::Test {
protected:
    HRESULT Set(const char16_t* prop, const char16_t* value)
    {
        return TunnelProperties::Set(names, settings, nullptr, prop, value);
    }

    ZAN_Properties names;
    ControlSettings settings;
};

} // namespace proptest

} // namespace zan
