#include "ResultCodes.h"
#include "control_test_util.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace zan {

namespace {

using namespace proptest;

class GetPropertiesTest : public PropertiesTest {
protected:
    std::u16string Get(const char16_t* prop)
    {
        return TunnelProperties::Get(names, settings, prop, [this] {
            ++factoryCalls;
            return factory;
        });
    }

    intptr_t factory = 0;
    int factoryCalls = 0;
};

TEST_F(GetPropertiesTest, AnswersVersionFlagAndUnsignedNumbers)
{
    EXPECT_EQ(Get(u"cv_version"), u"5.14.0.7");
    EXPECT_EQ(Get(u"tcp_tunnel"), u"0");
    EXPECT_EQ(Get(u"ttl"), u"128");
    ASSERT_EQ(Set(u"tcp_tunnel", u"relay 1"), S_OK);
    ASSERT_EQ(Set(u"ttl", u"-1"), S_OK);
    ASSERT_EQ(Set(u"audio_tos", u"184"), S_OK);
    EXPECT_EQ(Get(u"tcp_tunnel and more"), u"1");  // the first part names it
    EXPECT_EQ(Get(u"ttl"), u"4294967295");
    for (const char16_t* tos : {u"tos", u"video_tos", u"audio_tos"}) {
        EXPECT_EQ(Get(tos), u"184");
    }
    EXPECT_EQ(factoryCalls, 0);
}

TEST_F(GetPropertiesTest, InstanceIsTheFactoryAddressInFull)
{
    factory = static_cast<intptr_t>(0x7ffd12345678);
    EXPECT_EQ(Get(u"t_instance"), u"140724908873336");
    factory = -5;
    EXPECT_EQ(Get(u"t_instance x"), u"-5");
    EXPECT_EQ(factoryCalls, 2);
}

TEST_F(GetPropertiesTest, NullAndUnknownNamesAreErrors)
{
    ExpectTunnelError([&] { (void)Get(nullptr); }, 722, static_cast<uint32_t>(E_INVALIDARG),
                      "Get property error:");
    // The message names only the first part.
    ExpectTunnelError([&] { (void)Get(u"volume up"); }, 760, 0, "Unknown property :volume");
    for (const char16_t* prop : {u"TTL", u"tunnel_cc", u"sender_nic", u"dpi_scale_factor", u""}) {
        const std::u16string_view view(prop);
        ExpectTunnelError([&] { (void)Get(prop); }, 760, 0,
                          "Unknown property :" + std::string(view.begin(), view.end()));
    }
}

} // namespace

} // namespace zan
