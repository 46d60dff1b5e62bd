#include "Bstr.h"
#include "ComException.h"
#include "TextConversion.h"
#include "Variant.h"
#include "ComResults.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using namespace std::string_literals;

TEST(Bstr, NullStaysDistinctFromEmpty)
{
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);

    BstrOwner empty(SysAllocString(u""));
    ASSERT_NE(empty.Get(), nullptr);
    EXPECT_EQ(SysStringLen(empty.Get()), 0u);
    EXPECT_EQ(empty.Get()[0], u'\0');

    BstrOwner viewEmpty(SysAllocStringView(std::u16string_view()));
    EXPECT_NE(viewEmpty.Get(), nullptr);
}

TEST(Bstr, LengthCountsEmbeddedZerosAndTheTextIsTerminated)
{
    const char16_t source[] = u"ab\0cd";
    BstrOwner text(SysAllocStringLen(source, 5));
    EXPECT_EQ(SysStringLen(text.Get()), 5u);
    EXPECT_EQ(SysStringByteLen(text.Get()), 10u);
    EXPECT_EQ(BstrView(text.Get()), u"ab\0cd"s);
    EXPECT_EQ(text.Get()[5], u'\0');

    // SysAllocString stops at the first zero.
    BstrOwner stopped(SysAllocString(source));
    EXPECT_EQ(BstrView(stopped.Get()), u"ab");
}

TEST(Bstr, NullSourceWithLengthGivesZeroedCharacters)
{
    BstrOwner text(SysAllocStringLen(nullptr, 4));
    ASSERT_EQ(SysStringLen(text.Get()), 4u);
    for (uint32_t i = 0; i <= 4; ++i) {
        EXPECT_EQ(text.Get()[i], u'\0') << i;
    }
}

TEST(Bstr, UnrepresentableLengthThrowsOutOfMemory)
{
    try {
        BstrOwner text(SysAllocStringLen(nullptr, 0xFFFFFFFFu));
        FAIL() << "no exception";
    } catch (const ComException& e) {
        EXPECT_EQ(e.Error(), E_OUTOFMEMORY);
    }
}

TEST(Bstr, OwnerTransfersAndFreesExactlyOnce)
{
    BstrOwner a(SysAllocString(u"one"));
    BstrOwner b(std::move(a));
    EXPECT_EQ(a.Get(), nullptr);
    EXPECT_EQ(BstrView(b.Get()), u"one");

    BstrOwner c(SysAllocString(u"two"));
    c = std::move(b);  // "two" is freed here (ASan reports a leak otherwise)
    EXPECT_EQ(BstrView(c.Get()), u"one");

    BSTR detached = c.Detach();
    EXPECT_EQ(c.Get(), nullptr);
    c.Attach(detached);
    EXPECT_EQ(c.Get(), detached);
    c.Attach(detached);  // attaching what it holds must not free it
    EXPECT_EQ(BstrView(c.Get()), u"one");

    BSTR* slot = c.Receive();
    EXPECT_EQ(*slot, nullptr);
    *slot = SysAllocString(u"three");
    EXPECT_EQ(BstrView(c.Get()), u"three");
    c.Release();
    EXPECT_EQ(c.Get(), nullptr);
}

TEST(TextConversion, RoundTripsEveryEncodedLength)
{
    // One, two, three and four byte sequences; the last is a surrogate pair.
    const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    const std::u16string utf16 = u"A\u00E9\u20AC\U0001F600";
    EXPECT_EQ(Utf8ToUtf16(utf8), utf16);
    EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
    EXPECT_EQ(Utf8ToUtf16("a\0b"s), u"a\0b"s);
    EXPECT_EQ(Utf8ToUtf16("\xF4\x8F\xBF\xBF"), u"\U0010FFFF");
}

TEST(TextConversion, InvalidUtf8BecomesReplacementCharacters)
{
    struct Case {
        std::string input;
        std::u16string expected;
    };
    const Case cases[] = {
        {"a\x80" "b", u"a\uFFFDb"},                     // lone continuation byte
        {"\xC3", u"\uFFFD"},                            // truncated at the end
        {"\xE2\x82" "A", u"\uFFFDA"},                   // truncated, then ASCII
        {"\xC0\x80", u"\uFFFD\uFFFD"},                  // overlong NUL
        {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},        // overlong three-byte form
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},        // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xF5\x80", u"\uFFFD\uFFFD"},                  // invalid lead byte
        {"\xFF", u"\uFFFD"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf8ToUtf16(c.input), c.expected) << "input of " << c.input.size() << " bytes";
    }
}

TEST(TextConversion, LoneSurrogatesBecomeReplacementCharacters)
{
    EXPECT_EQ(Utf16ToUtf8(u"a\xD800" "b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(Utf16ToUtf8(u"\xDC00"), "\xEF\xBF\xBD");
    EXPECT_EQ(Utf16ToUtf8(u"\xD83D"), "\xEF\xBF\xBD");  // high half at the end
    EXPECT_EQ(Utf16ToUtf8(u"\xDE00\xD83D"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // reversed pair
}

TEST(Variant, ClearFreesOwnedStringsOnlyAndRefusesUnknownTypes)
{
    VARIANT owned;
    VariantInit(&owned);
    owned.vt = VT_BSTR;
    owned.bstrVal = SysAllocString(u"owned");  // freed by the clear, or ASan reports a leak
    EXPECT_EQ(VariantClear(&owned), S_OK);
    EXPECT_EQ(owned.vt, VT_EMPTY);

    BstrOwner held(SysAllocString(u"held by the caller"));
    BSTR slot = held.Get();
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BSTR | VT_BYREF;
    byRef.pbstrVal = &slot;
    EXPECT_EQ(VariantClear(&byRef), S_OK);
    EXPECT_EQ(byRef.vt, VT_EMPTY);
    EXPECT_EQ(BstrView(held.Get()), u"held by the caller");  // still alive

    VARIANT odd;
    VariantInit(&odd);
    odd.vt = 9;  // a dispatch pointer: not a type of this layer
    EXPECT_EQ(VariantClear(&odd), DISP_E_BADVARTYPE);
    EXPECT_EQ(odd.vt, 9);
    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

} // namespace
