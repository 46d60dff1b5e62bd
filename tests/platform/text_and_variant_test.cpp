#include "Bstr.h"
#include "ComException.h"
#include "ComResults.h"
#include "TextConversion.h"
#include "Variant.h"

#include <gtest/gtest.h>

#include <string>

namespace zan {

namespace {

using namespace std::string_literals;

TEST(Bstr, NullEmptyAndEmbeddedZerosKeepTheirLengths)
{
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    BstrOwner empty(SysAllocString(u""));
    ASSERT_NE(empty.Get(), nullptr);
    EXPECT_EQ(SysStringLen(empty.Get()), 0u);

    BstrOwner text(SysAllocStringLen(u"ab\0cd", 5));
    EXPECT_EQ(SysStringByteLen(text.Get()), 10u);
    EXPECT_EQ(BstrView(text.Get()), u"ab\0cd"s);
    EXPECT_EQ(text.Get()[5], u'\0');
    BstrOwner stopped(SysAllocString(text.Get()));  // stops at the first zero
    EXPECT_EQ(BstrView(stopped.Get()), u"ab");

    BstrOwner zeroed(SysAllocStringLen(nullptr, 3));
    EXPECT_EQ(BstrView(zeroed.Get()), u"\0\0\0"s);

    try {
        BstrOwner huge(SysAllocStringLen(nullptr, 0xFFFFFFFFu));
        ADD_FAILURE() << "no exception";
    } catch (const ComException& e) {
        EXPECT_EQ(e.Error(), E_OUTOFMEMORY);
    }
}

TEST(Bstr, OwnerFreesEachStringExactlyOnce)
{
    // ASan reports a leak or a double free if any step below gets it wrong.
    BstrOwner a(SysAllocString(u"one"));
    BstrOwner b(SysAllocString(u"two"));
    b = std::move(a);
    EXPECT_EQ(a.Get(), nullptr);
    EXPECT_EQ(BstrView(b.Get()), u"one");
    BSTR detached = b.Detach();
    b.Attach(detached);
    b.Attach(detached);  // attaching what it holds must not free it
    EXPECT_EQ(BstrView(b.Get()), u"one");
    *b.Receive() = SysAllocString(u"three");
    EXPECT_EQ(BstrView(b.Get()), u"three");
}

TEST(TextConversion, RoundTripsEveryEncodedLength)
{
    const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF";
    const std::u16string utf16 = u"A\u00E9\u20AC\U0001F600\U0010FFFF";
    EXPECT_EQ(Utf8ToUtf16(utf8), utf16);
    EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
    EXPECT_EQ(Utf8ToUtf16("a\0b"s), u"a\0b"s);
}

TEST(TextConversion, WhatCannotBeDecodedBecomesReplacementCharacters)
{
    const std::pair<std::string, std::u16string> cases[] = {
        {"a\x80" "b", u"a\uFFFDb"},                         // lone continuation byte
        {"\xC3", u"\uFFFD"},                                // truncated at the end
        {"\xE2\x82" "A", u"\uFFFDA"},                       // truncated, then ASCII
        {"\xC0\x80", u"\uFFFD\uFFFD"},                      // overlong NUL
        {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},            // overlong three-byte form
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xFF", u"\uFFFD"},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(Utf8ToUtf16(input), expected) << "input of " << input.size() << " bytes";
    }
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(Utf16ToUtf8(u"a\xD800" "b"), "a" + replacement + "b");
    EXPECT_EQ(Utf16ToUtf8(u"\xD83D"), replacement);                      // high half at the end
    EXPECT_EQ(Utf16ToUtf8(u"\xDE00\xD83D"), replacement + replacement);  // halves reversed
}

TEST(Variant, ClearFreesOwnedStringsOnlyAndRefusesUnknownTypes)
{
    VARIANT owned;
    VariantInit(&owned);
    owned.vt = VT_BSTR;
    owned.bstrVal = SysAllocString(u"owned");  // leaks under ASan unless cleared
    EXPECT_EQ(VariantClear(&owned), S_OK);
    EXPECT_EQ(owned.vt, VT_EMPTY);

    BstrOwner held(SysAllocString(u"held by the caller"));
    BSTR slot = held.Get();
    VARIANT byRef;
    VariantInit(&byRef);
    byRef.vt = VT_BSTR | VT_BYREF;
    byRef.pbstrVal = &slot;
    EXPECT_EQ(VariantClear(&byRef), S_OK);
    EXPECT_EQ(BstrView(held.Get()), u"held by the caller");  // double free under ASan otherwise

    VARIANT odd;
    VariantInit(&odd);
    odd.vt = 9;  // a dispatch pointer: not a type of this layer
    EXPECT_EQ(VariantClear(&odd), DISP_E_BADVARTYPE);
    EXPECT_EQ(odd.vt, 9);
}

} // namespace

} // namespace zan
