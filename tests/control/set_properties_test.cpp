#include "ResultCodes.h"
#include "control_test_util.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace zan {

namespace {

using namespace proptest;

std::string Narrow(const char16_t* text)
{
    const std::u16string_view view = text != nullptr ? text : u"(null)";
    return std::string(view.begin(), view.end());
}

// Settings away from their defaults, so that a refused call which resets
// any field before refusing is seen.
ControlSettings Configured()
{
    ControlSettings s;
    s.tcpTunnelType = 1;
    s.proxyEnabled = true;
    s.proxyHost = u"old-proxy";
    s.proxyUser = u"olduser";
    s.proxyPassword = u"oldpass";
    s.ttl = 3;
    s.receiveBuffer = 5;
    s.sourceTag = 77;
    s.keyId = 8;
    s.masterKey[0] = 0xAA;
    s.masterKeyLength = 1;
    return s;
}

auto Proxy(const ControlSettings& s)
{
    return std::tuple(s.proxyEnabled, s.proxyHost, s.proxyPort, s.proxyUser, s.proxyPassword);
}

TEST_F(PropertiesTest, AcceptedValuesAreStored)
{
    EXPECT_EQ(Set(u"ttl", u"  -5xyz"), S_OK);
    EXPECT_EQ(settings.ttl, -5);
    EXPECT_EQ(Set(u"video_tos", u"+32 more"), S_OK);
    EXPECT_EQ(settings.tos, 32);
    EXPECT_EQ(Set(u"tunnel_rec_buffer", u"65536"), S_OK);
    EXPECT_EQ(Set(u"tunnel_snd_buffer", u"4096"), S_OK);
    EXPECT_EQ(std::tuple(settings.receiveBuffer, settings.sendBuffer), std::tuple(65536, 4096));
    EXPECT_EQ(Set(u"sender_nic", u"10.0.0.1"), S_OK);
    EXPECT_EQ(Set(u"receiver_nic", u""), S_OK);
    EXPECT_EQ(Set(u"t_rcv_address", u"239.1.2.3 x"), S_OK);
    EXPECT_EQ(std::tuple(settings.senderNic, settings.receiverNic, settings.receiveGroup),
              std::tuple(WideText(u"10.0.0.1"), WideText(u""), WideText(u"239.1.2.3 x")));
    // Parsed, then refused without storing anything.
    const ControlSettings before = settings;
    EXPECT_EQ(Set(u"t_rec_type", u"3"), E_NOTIMPL);
    EXPECT_EQ(Set(u"t_rec_config", u" 1\t-2\n+3 tail"), E_NOTIMPL);
    EXPECT_TRUE(SameSettings(settings, before));
}

// Every refused value: the name's line, E_INVALIDARG, and nothing stored.
TEST(SetPropertiesErrors, BadValuesAreRefusedWithTheNamesLine)
{
    const std::u16string key130 = u"5 " + std::u16string(130, u'a') + u" eeff 1000";
    const std::u16string salt130 = u"5 0a0b " + std::u16string(130, u'0') + u" 1000";
    const std::u16string longProxyField = u"1 " + std::u16string(256, u'h') + u" 8080 user pass";
    const struct {
        const char16_t* prop;
        const char16_t* value;
        int32_t line;
    } cases[] = {
        {u"t_rec_type", u"a", 510}, {u"t_rec_type", nullptr, 510},
        {u"t_rec_config", u"1 2", 521}, {u"t_rec_config", u"1,2,3", 521}, {u"t_rec_config", nullptr, 521},
        {u"tunnel_cc", nullptr, 539},
        {u"tunnel_cc", u"5 0A1B2C3D eeff 1000", 539},  // upper case
        {u"tunnel_cc", u"5 0a1b2 eeff 1000", 539},     // odd digit count
        {u"tunnel_cc", u"5 0a1b 0x1f 1000", 539},      // not a hex digit
        {u"tunnel_cc", key130.c_str(), 539},           // key over 64 bytes
        {u"tunnel_cc", salt130.c_str(), 539},          // salt over 64 bytes
        {u"sender_nic", nullptr, 591}, {u"receiver_nic", nullptr, 599},
        {u"tcp_tunnel_type", u"", 607}, {u"tcp_tunnel_type", nullptr, 607},
        {u"tcp_tunnel", u"10.1.2.3", 615}, {u"tcp_tunnel", nullptr, 615},
        {u"tcp_tunnel_connect", u"10.1.2.3", 631}, {u"tcp_tunnel_connect", nullptr, 631},
        {u"tcp_tunnel_connect", u"10.1.2.3 70000", 631}, {u"tcp_tunnel_connect", u"10.1.2.3 -1", 631},
        {u"tcp_tunnel_proxy", nullptr, 650}, {u"tcp_tunnel_proxy", longProxyField.c_str(), 650},
        {u"ttl", u"x", 659}, {u"ttl", u"99999999999", 659}, {u"ttl", nullptr, 659},
        {u"tos", u"- 5", 667}, {u"video_tos", nullptr, 667}, {u"audio_tos", u"", 667},
        {u"tunnel_rec_buffer", u"-1", 675}, {u"tunnel_rec_buffer", nullptr, 675},
        {u"tunnel_snd_buffer", u"big", 683}, {u"tunnel_snd_buffer", u"-4096", 683},
        {u"t_rcv_address", nullptr, 691},
    };
    const ZAN_Properties names;
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.prop) + " = " + Narrow(c.value));
        ControlSettings settings = Configured();
        ExpectTunnelError([&] { (void)TunnelProperties::Set(names, settings, nullptr, c.prop, c.value); },
                          c.line, static_cast<uint32_t>(E_INVALIDARG), "Set property error:" + Narrow(c.prop));
        EXPECT_TRUE(SameSettings(settings, Configured()));
    }
}

TEST(SetPropertiesErrors, UnhandledNamesAreUnknownWithCodeZero)
{
    const ZAN_Properties names;
    // Other controls' names, read-only names, case variants, nothing at all.
    for (const char16_t* prop : {u"volume", u"dpi_scale_factor", u"cv_version", u"t_instance", u"TTL", u"tt",
                                 u"tcp_tunnel ", u"", static_cast<const char16_t*>(nullptr)}) {
        ControlSettings settings = Configured();
        const std::string name = prop != nullptr ? Narrow(prop) : "";
        ExpectTunnelError([&] { (void)TunnelProperties::Set(names, settings, nullptr, prop, u"1"); }, 700, 0,
                          "Unknown property :" + name);
        EXPECT_TRUE(SameSettings(settings, Configured())) << name;
    }
    ControlSettings settings;
    ExpectTunnelError([&] { (void)TunnelProperties::Set(names, settings, nullptr, u"vol\u00fcme", u"1"); }, 700,
                      0, "Unknown property :vol\xC3\xBCme");
}

TEST_F(PropertiesTest, TcpTunnelAndConnectDependOnTheType)
{
    EXPECT_EQ(Set(u"tcp_tunnel", u"relay.example 443"), S_OK);
    EXPECT_TRUE(settings.tcpTunnel);
    EXPECT_EQ(settings.destinationAddress, u"relay.example");
    const ControlSettings before = settings;
    EXPECT_EQ(Set(u"tcp_tunnel_connect", u"10.1.2.3 443"), S_OK);  // type 0: nothing
    EXPECT_TRUE(SameSettings(settings, before));

    // The order a host uses for a TCP tunnel: tcp_tunnel's host is not used.
    settings = ControlSettings();
    EXPECT_EQ(Set(u"tcp_tunnel_type", u"1"), S_OK);
    EXPECT_EQ(Set(u"tcp_tunnel_connect", u"10.1.2.3 443"), S_OK);
    EXPECT_EQ(Set(u"tcp_tunnel", u"10.9.9.9 x"), S_OK);
    EXPECT_TRUE(settings.tcpTunnel);
    EXPECT_EQ(std::tuple(settings.destinationAddress, settings.destinationPort),
              std::tuple(WideText(u"10.1.2.3"), uint16_t{443}));
    // The port is a decimal value: leading space and trailing text pass.
    EXPECT_EQ(Set(u"tcp_tunnel_connect", u"relay  8080abc"), S_OK);
    EXPECT_EQ(std::tuple(settings.destinationAddress, settings.destinationPort),
              std::tuple(WideText(u"relay"), uint16_t{8080}));
}

TEST_F(PropertiesTest, ProxyValueForms)
{
    const std::u16string none;
    settings = Configured();  // a flag alone also drops user and password
    EXPECT_EQ(Set(u"tcp_tunnel_proxy", u"1"), S_OK);
    EXPECT_EQ(Proxy(settings), std::tuple(true, none, none, none, none));
    EXPECT_EQ(Set(u"tcp_tunnel_proxy", u"off"), S_OK);
    EXPECT_FALSE(settings.proxyEnabled);

    settings = Configured();
    EXPECT_EQ(Set(u"tcp_tunnel_proxy", u"1 proxy.local 3128"), S_OK);
    EXPECT_EQ(Proxy(settings), std::tuple(true, std::u16string(u"proxy.local"), std::u16string(u"3128"), none, none));

    // Five fields, any white space, flag 0: texts kept, proxy off.
    EXPECT_EQ(Set(u"tcp_tunnel_proxy", u"0\tproxy.local  8080 alice s3cret extra"), S_OK);
    EXPECT_EQ(Proxy(settings), std::tuple(false, std::u16string(u"proxy.local"), std::u16string(u"8080"),
                                          std::u16string(u"alice"), std::u16string(u"s3cret")));
    const std::u16string host(255, u'h');  // the longest field
    EXPECT_EQ(Set(u"tcp_tunnel_proxy", (u"1 " + host + u" 8080 u p").c_str()), S_OK);
    EXPECT_EQ(settings.proxyHost, host);
}

TEST_F(PropertiesTest, TunnelCcWithoutEngineStoresKeyIdAndPeriod)
{
    EXPECT_EQ(Set(u"tunnel_cc", u"5 0a1b2c3d eeff 1000"), S_OK);
    EXPECT_EQ(std::tuple(settings.keyId, settings.rekeyPeriod, settings.masterKeyLength, settings.masterSaltLength),
              std::tuple(5u, 1000u, 4, 2));
    EXPECT_EQ(std::tuple(settings.masterKey[0], settings.masterKey[3], settings.masterSalt[1]),
              std::tuple(0x0a, 0x3d, 0xff));
    EXPECT_EQ(settings.sourceTag, 0);

    // A shorter key leaves no byte of the longer one behind.
    EXPECT_EQ(Set(u"tunnel_cc", u"6 01 02 0"), S_OK);
    EXPECT_EQ(std::tuple(settings.masterKeyLength, settings.masterKey[1], settings.masterSalt[1]),
              std::tuple(1, 0, 0));
    // 128 digits fill the 64-byte fields exactly.
    const std::u16string full = u"1 " + std::u16string(128, u'f') + u" " + std::u16string(128, u'e') + u" 0";
    EXPECT_EQ(Set(u"tunnel_cc", full.c_str()), S_OK);
    EXPECT_EQ(std::tuple(settings.masterKeyLength, settings.masterSaltLength, settings.masterSalt[63]),
              std::tuple(64, 64, 0xee));
}

TEST_F(PropertiesTest, TunnelCcOtherwiseSetsTheSourceTag)
{
    const ControlSettings before = settings;
    EXPECT_EQ(Set(u"tunnel_cc", u"7"), S_OK);
    EXPECT_EQ(settings.sourceTag, 7);
    EXPECT_EQ(Set(u"tunnel_cc", u"-4294967296"), S_OK);
    EXPECT_EQ(settings.sourceTag, -4294967296);
    EXPECT_EQ(Set(u"tunnel_cc", u"12 0a0b eeff"), S_OK);  // fewer than four parts
    EXPECT_EQ(settings.sourceTag, 12);
    settings.sourceTag = before.sourceTag;
    EXPECT_TRUE(SameSettings(settings, before));
}

} // namespace

} // namespace zan
