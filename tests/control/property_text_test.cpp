#include "PropertyText.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace zan {

namespace {

using namespace PropertyText;
using Views = std::vector<std::u16string_view>;

TEST(PropertyText, ScanIntNeedsDigitsAndA32BitValue)
{
    EXPECT_EQ(ScanInt(u" \t\n-17xyz"), -17);
    EXPECT_EQ(ScanInt(u"2147483647"), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(ScanInt(u"-2147483648"), std::numeric_limits<int32_t>::min());
    // The last is 2^64 + 5: digits past 64 bits must not wrap to a small value.
    for (const char16_t* bad : {u"", u"x1", u"-", u"+-5", u"2147483648", u"-2147483649", u"99999999999999999999999",
                                u"18446744073709551621"}) {
        EXPECT_FALSE(ScanInt(bad).has_value()) << std::u16string_view(bad).size();
    }
}

TEST(PropertyText, DecimalValueIsZeroWithoutDigitsAndSaturates)
{
    EXPECT_EQ(DecimalValue(u"-"), 0);
    EXPECT_EQ(DecimalValue(u"4294967296"), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(DecimalValue(u"-4294967296"), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(DecimalValue64(u"-9223372036854775808"), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(DecimalValue64(u"9223372036854775808"), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(DecimalValue64(u"-99999999999999999999999999"), std::numeric_limits<int64_t>::min());
}

TEST(PropertyText, SplitCutsAtSingleSpacesAndLeavesTheRestToTheLastPart)
{
    EXPECT_EQ(Split(u"a b c d", 2), (Views{u"a", u"b c d"}));
    EXPECT_EQ(Split(u"a  b c", 4), (Views{u"a", u"", u"b", u"c"}));
    EXPECT_EQ(Split(u"a ", 2), (Views{u"a", u""}));
    EXPECT_EQ(Split(u"a\tb", 2), (Views{u"a\tb"}));
}

TEST(PropertyText, ToUtf8EncodesEveryPlaneAndReplacesLoneSurrogates)
{
    EXPECT_EQ(ToUtf8(u"\u00e9\u20ac\U0001F600"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    const char16_t lone[] = {u'a', char16_t{0xD800}, u'b', char16_t{0xDC00}, 0};
    EXPECT_EQ(ToUtf8(lone), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

} // namespace

} // namespace zan
