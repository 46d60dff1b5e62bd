// The proxy exchange's text functions: Base64 and the reply readers.

#include "ProxyBase64.h"
#include "ProxyReplyText.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace zan {
namespace {

std::span<const uint8_t> AsBytes(std::string_view text)
{
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string Encode(std::string_view bytes)
{
    std::vector<char> out(Base64EncodedLength(bytes.size()) + 1);
    const int32_t length = Base64Encode(AsBytes(bytes), out);
    return length < 0 ? "<failed>" : std::string(out.data(), static_cast<size_t>(length));
}

// The decoded text, or "<-1>".
std::string Decode(std::string_view text, size_t capacity = kMaxDecodedChallenge)
{
    std::vector<uint8_t> out(capacity);
    const int32_t length = Base64Decode(text, out);
    return length < 0 ? "<-1>" : std::string(out.begin(), out.begin() + length);
}

TEST(ProxyBase64, EncodesWithPaddingAndAlwaysTerminates)
{
    for (const auto& [bytes, text] : {std::pair{"abc", "YWJj"}, std::pair{"ab", "YWI="}, std::pair{"a", "YQ=="},
                                      std::pair{"", ""}, std::pair{"alice:pa:ss", "YWxpY2U6cGE6c3M="}}) {
        EXPECT_EQ(Encode(bytes), text);
    }
    EXPECT_EQ(Encode(std::string("\xfb\xff\x00", 3)), "+/8A");
    // The text and its zero must fit: 4 characters need 5 places.
    std::array<char, 5> exact{'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(Base64Encode(AsBytes("abc"), exact), 4);
    EXPECT_EQ(exact[4], '\0');
    std::array<char, 4> tooSmall{};
    EXPECT_EQ(Base64Encode(AsBytes("abc"), tooSmall), -1);
    EXPECT_EQ(Base64Encode({}, std::span<char>()), -1);
}

TEST(ProxyBase64, DecodesStrictly)
{
    struct Case {
        std::string_view text;
        std::string expected;
    };
    const Case cases[] = {
        {"YWJj", "abc"},
        {"YWI=", "ab"},
        {" Y\tW\r\nJj \n", "abc"},
        {"YQ==", "a"},
        {"YQ=", "a"},                 // the second "=" may follow, need not
        {"", ""},
        {"YWI", "<-1>"},              // ends inside a group
        {"YW=I", "<-1>"},             // only padding after "="
        {"YWI==", "<-1>"},            // no room for a second "="
        {"=", "<-1>"},                // "=" after 0 characters of a group
        {"YWJjY===", "<-1>"},         // ... and after 1
        {"YWJ*", "<-1>"},             // outside the alphabet
        {"YWJ=", "<-1>"},             // unused bits not zero (J = 001001)
        {"YR==", "<-1>"},             // R = 010001: low 4 bits set
        {"YWJjYWJj=", "<-1>"},        // "=" at a group's start
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Decode(c.text), c.expected) << "text: " << c.text;
    }
}

TEST(ProxyBase64, DecodingNeverWritesBeyondItsOutput)
{
    // 1077 bytes do not fit the challenge record; 1076 do.
    const std::string fits(kMaxDecodedChallenge, 'x');
    const std::string tooLong(kMaxDecodedChallenge + 1, 'x');
    EXPECT_EQ(Decode(Encode(fits)), fits);
    EXPECT_EQ(Decode(Encode(tooLong)), "<-1>");
    // Each group boundary: 2 bytes left in room for a full group, and a
    // padded tail that does not fit either.
    EXPECT_EQ(Decode("YWJj", 2), "<-1>");
    EXPECT_EQ(Decode("YWI=", 1), "<-1>");
    EXPECT_EQ(Decode("YQ==", 0), "<-1>");
    EXPECT_EQ(Decode("YQ==", 1), "a");
}

TEST(ProxyReplyText, ContentLength)
{
    struct Case {
        std::string_view text;
        int32_t expected;
    };
    const Case cases[] = {
        {"HTTP/1.1 407 x\r\nContent-Length: 17\r\n\r\n", 17},
        {"HTTP/1.1 200 OK\r\n\r\n", 0},
        {"Content-Length:  42abc\r\n", 42},   // atoi: blanks skipped, stops at a non-digit
        {"Content-Length: -5\r\n", -5},
        {"Content-Length: 99999999999999999999\r\n", INT32_MAX},
        {"Content-Length: -99999999999999999999\r\n", INT32_MIN},
        {"Content-Length: 12\n", 12},
        {"content-length: 12\r\n", 0},        // the name is matched as written
    };
    for (const Case& c : cases) {
        EXPECT_EQ(GetContentLength(c.text), c.expected) << c.text;
    }
}

TEST(ProxyReplyText, AuthSchemesMatchTheSchemeToken)
{
    using namespace ProxyScheme;
    struct Case {
        std::string_view text;
        uint32_t expected;
    };
    const Case cases[] = {
        {"Proxy-Authenticate: NTLM\r\nProxy-Authenticate: Basic\r\n\r\n", kNtlm | kBasic},
        {"Proxy-Authenticate: Basic realm=\"proxy\"\r\n\r\n", kBasic},
        {"Proxy-Authenticate: kerberos\r\n", kKerberos},
        {"Proxy-Authenticate: nTlM\r\n", kNtlm},
        {"Proxy-Authenticate: Digest realm=\"x\"\r\n", 0},
        {"Proxy-Authenticate: Basically\r\n", 0},
        {"Proxy-Authenticate: NTLM TlRMTVNTUAACAAAA\r\n", kNtlm},
        {"Proxy-Authenticate:Basic", 0},      // no space: the search ends
        {"HTTP/1.1 200 OK\r\n\r\n", 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(GetAuthSchemes(c.text), c.expected) << c.text;
    }
}

TEST(ProxyReplyText, ChallengeIsTheFirstHeadersValueAfterTheSchemeName)
{
    std::string challenge = "old";
    EXPECT_TRUE(GetProxyChallenge("HTTP/1.1 407 x\r\nProxy-Authenticate: NTLM TlRMTQ==\r\n"
                                  "Proxy-Authenticate: NTLM other\r\n\r\n",
                                  challenge));
    EXPECT_EQ(challenge, "TlRMTQ==");
    EXPECT_TRUE(GetProxyChallenge("Proxy-Authenticate: NTLM abc", challenge));
    EXPECT_EQ(challenge, "abc");

    challenge = "kept";
    EXPECT_FALSE(GetProxyChallenge("HTTP/1.1 200 OK\r\n\r\n", challenge));
    EXPECT_FALSE(GetProxyChallenge("Proxy-Authenticate: NTL", challenge));
    EXPECT_EQ(challenge, "kept");
}

TEST(ProxyReplyText, StatusLine)
{
    struct Case {
        std::string_view reply;
        bool ok;
        std::string code;
        std::string reason;
    };
    const Case cases[] = {
        {"HTTP/1.0 200 Connection established\r\n\r\n", true, "200", "Connection established"},
        {"HTTP/1.1 407 Proxy Authentication Required\r\nX: y\r\n\r\n", false, "407",
         "Proxy Authentication Required"},
        {"HTTP/1.1 200", true, "200", ""},
        {"HTTP/1.1", false, "", ""},          // shorter than 9 characters
        {"garbage", false, "gar", "age"},     // no version: the whole text
        {"200 OK", true, "200", "OK"},
        {"xxHTTP/1.0 403 Forbidden\r\n", false, "0 4", "3 Forbidden"},  // offset 9 from the start
    };
    for (const Case& c : cases) {
        std::string code = "old";
        std::string reason = "old";
        EXPECT_EQ(ParseProxyStatus(c.reply, code, reason), c.ok) << c.reply;
        EXPECT_EQ(code, c.code) << c.reply;
        EXPECT_EQ(reason, c.reason) << c.reply;
    }
    std::string code = "old";
    std::string reason = "old";
    EXPECT_FALSE(ParseProxyStatus("", code, reason));
    EXPECT_EQ(code, "old");
    EXPECT_EQ(reason, "old");
}

TEST(ProxyReplyText, ReplyIsCompleteAtItsBlankLineOrAfterItsBody)
{
    ProxyReplyProgress noBody;
    EXPECT_FALSE(noBody.Complete("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n"));
    const std::string withStream = std::string("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n") + "\x02\x05";
    EXPECT_TRUE(noBody.Complete(withStream));
    EXPECT_EQ(withStream.substr(noBody.End(withStream)), "\x02\x05");

    const std::string header = "HTTP/1.1 407 x\r\nContent-Length: 120\r\n\r\n";
    ProxyReplyProgress body;
    EXPECT_FALSE(body.Complete(header));
    EXPECT_FALSE(body.Complete(header + std::string(119, 'b')));
    EXPECT_TRUE(body.Complete(header + std::string(120, 'b')));
    EXPECT_EQ(body.End(header + std::string(125, 'b')), header.size() + 120);

    ProxyReplyProgress negative;
    EXPECT_TRUE(negative.Complete("HTTP/1.1 407 x\r\nContent-Length: -7\r\n\r\n"));

    // A huge announced body is read only up to the reply limit.
    ProxyReplyProgress huge;
    const std::string hugeHeader = "HTTP/1.1 407 x\r\nContent-Length: 2147483647\r\n\r\n";
    EXPECT_FALSE(huge.Complete(hugeHeader));
    EXPECT_TRUE(huge.Complete(hugeHeader + std::string(kMaxProxyReply - hugeHeader.size(), 'b')));
}

}  // namespace
}  // namespace zan
