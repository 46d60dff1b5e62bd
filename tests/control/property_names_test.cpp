#include "ZAN_Properties.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

namespace zan {

namespace {

// The numbers the control dispatches on.
const std::map<std::u16string, int32_t> kHandled = {
    {u"cv_version", 1},         {u"tos", 11},           {u"video_tos", 11},          {u"audio_tos", 11},
    {u"ttl", 12},               {u"tunnel_rec_buffer", 55}, {u"tunnel_snd_buffer", 56}, {u"sender_nic", 57},
    {u"receiver_nic", 58},      {u"tunnel_cc", 59},     {u"t_rec_type", 60},         {u"t_rec_config", 61},
    {u"t_rcv_address", 62},     {u"t_instance", 63},    {u"tcp_tunnel_type", 64},    {u"tcp_tunnel", 65},
    {u"tcp_tunnel_connect", 66}, {u"tcp_tunnel_proxy", 67},
};

TEST(PropertyNames, HandledNamesHaveTheirNumbersAndTheOthersOneFreeNumberEach)
{
    const ZAN_Properties names;
    ASSERT_EQ(names.Names().size(), 109u);
    EXPECT_EQ(names.Names().front(), u"cv_version");
    EXPECT_EQ(names.Names()[22], u"dpi_scale_factor");
    EXPECT_EQ(names.Names().back(), u"st_stop");
    std::set<int32_t> others;
    for (const std::u16string& name : names.Names()) {
        const std::string text(name.begin(), name.end());
        const int32_t number = names.Lookup(name);
        if (kHandled.count(name) != 0) {
            EXPECT_EQ(number, kHandled.at(name)) << text;
            continue;
        }
        const bool free = (number >= 2 && number <= 10) || (number >= 13 && number <= 54) || number >= 68;
        EXPECT_TRUE(free && number <= 107) << text << " has " << number;
        EXPECT_TRUE(others.insert(number).second) << text << ": number " << number << " given twice";
    }
    EXPECT_EQ(others.size(), 91u);  // 9 + 42 + 40 numbers
    EXPECT_EQ(names.Lookup(u"dpi_scale_factor"), 107);
}

TEST(PropertyNames, LookupIsExactAndCaseSensitive)
{
    const ZAN_Properties names;
    for (const char16_t* absent : {u"TTL", u"ttl ", u"tt", u"", u"no_such_name"}) {
        EXPECT_EQ(names.Lookup(absent), 0);
    }
}

} // namespace

} // namespace zan
