#pragma once

// Helpers of the property tests: the exception a refused call must throw,
// settings comparison, and a Set call without an engine.

#include "ControlSettings.h"
#include "TunnelProperties.h"
#include "ZAN_Properties.h"
#include "base_exception.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace zan {

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
