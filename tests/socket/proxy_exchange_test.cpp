// The proxy exchange: its text functions (Base64, the reply readers), what
// it sends over a scripted connection, how it reads replies, which scheme it
// picks and every failure message; and a reply cut in two, over an in-memory
// connection at every byte and over a real stream socket pair (where the
// kernel usually hands a reply over whole).

#include "ProxyBase64.h"
#include "ProxyExchange.h"
#include "ProxyReplyText.h"

#include "LoopbackSockets.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <deque>
#include <iterator>
#include <string>
#include <thread>
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

// ---- the text functions -------------------------------------------------

TEST(ProxyBase64, EncodingAlwaysTerminatesWithinItsOutput)
{
    // The text and its zero must fit: 4 characters need 5 places.
    std::array<char, 5> exact{'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(Base64Encode(AsBytes("abc"), exact), 4);
    EXPECT_EQ(exact[4], '\0');
    std::array<char, 4> tooSmall{};
    EXPECT_EQ(Base64Encode(AsBytes("abc"), tooSmall), -1);
    EXPECT_EQ(Base64Encode({}, std::span<char>()), -1);
}

TEST(ProxyBase64, EncodesWithPaddingDecodesStrictlyAndNeverWritesBeyondItsOutput)
{
    struct Case {
        std::string text;
        std::string expected;
        size_t capacity = kMaxDecodedChallenge;
        bool encoding = false;  // the text is what encoding `expected` gives
    };
    const std::string fits(kMaxDecodedChallenge, 'x');
    const std::string tooLong = fits + "x";
    const Case cases[] = {
        {"YWJj", "abc", kMaxDecodedChallenge, true},
        {"YWI=", "ab", kMaxDecodedChallenge, true},
        {"YQ==", "a", kMaxDecodedChallenge, true},
        {"", "", kMaxDecodedChallenge, true},
        {"YWxpY2U6cGE6c3M=", "alice:pa:ss", kMaxDecodedChallenge, true},
        {"+/8A", std::string("\xfb\xff\x00", 3), kMaxDecodedChallenge, true},
        {" Y\tW\r\nJj \n", "abc"},
        {"YQ=", "a"},                 // the second "=" may follow, need not
        {"YWI", "<-1>"},              // ends inside a group
        {"YW=I", "<-1>"},             // only padding after "="
        {"YWI==", "<-1>"},            // no room for a second "="
        {"=", "<-1>"},                // "=" after 0 characters of a group
        {"YWJjY===", "<-1>"},         // ... and after 1
        {"YWJ*", "<-1>"},             // outside the alphabet
        {"YWJ=", "<-1>"},             // unused bits not zero (J = 001001)
        {"YR==", "<-1>"},             // R = 010001: low 4 bits set
        {"YWJjYWJj=", "<-1>"},        // "=" at a group's start
        // The challenge record's room, and each group boundary: 2 bytes
        // left for a full group, and a padded tail that does not fit either.
        {Encode(fits), fits},
        {Encode(tooLong), "<-1>"},
        {"YWJj", "<-1>", 2},
        {"YWI=", "<-1>", 1},
        {"YQ==", "<-1>", 0},
        {"YQ==", "a", 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Decode(c.text, c.capacity), c.expected) << "text: " << c.text.substr(0, 20);
        if (c.encoding) {
            EXPECT_EQ(Encode(c.expected), c.text);
        }
    }
}

TEST(ProxyReplyText, ContentLengthAndAuthSchemes)
{
    const std::pair<std::string_view, int32_t> lengths[] = {
        {"HTTP/1.1 407 x\r\nContent-Length: 17\r\n\r\n", 17},
        {"HTTP/1.1 200 OK\r\n\r\n", 0},
        {"Content-Length:  42abc\r\n", 42},   // atoi: blanks skipped, stops at a non-digit
        {"Content-Length: -5\r\n", -5},
        {"Content-Length: 99999999999999999999\r\n", INT32_MAX},
        {"Content-Length: -99999999999999999999\r\n", INT32_MIN},
        {"Content-Length: 12\n", 12},
        {"content-length: 12\r\n", 0},        // the name is matched as written
    };
    for (const auto& [text, expected] : lengths) {
        EXPECT_EQ(GetContentLength(text), expected) << text;
    }
    using namespace ProxyScheme;
    const std::pair<std::string_view, uint32_t> schemes[] = {
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
    for (const auto& [text, expected] : schemes) {
        EXPECT_EQ(GetAuthSchemes(text), expected) << text;
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
        std::string expected;  // "<ok>|<code>|<reason>"
    };
    const Case cases[] = {
        {"HTTP/1.0 200 Connection established\r\n\r\n", "1|200|Connection established"},
        {"HTTP/1.1 407 Proxy Authentication Required\r\nX: y\r\n\r\n", "0|407|Proxy Authentication Required"},
        {"HTTP/1.1 200", "1|200|"},
        {"HTTP/1.1", "0||"},                   // shorter than 9 characters
        {"garbage", "0|gar|age"},              // no version: the whole text
        {"200 OK", "1|200|OK"},
        {"xxHTTP/1.0 403 Forbidden\r\n", "0|0 4|3 Forbidden"},  // offset 9 from the start
        {"", "0|old|old"},                     // nothing: both left as they were
    };
    for (const Case& c : cases) {
        std::string code = "old";
        std::string reason = "old";
        const bool ok = ParseProxyStatus(c.reply, code, reason);
        EXPECT_EQ(std::to_string(ok) + "|" + code + "|" + reason, c.expected) << c.reply;
    }
}

// ---- the exchange over scripted connections -------------------------------

constexpr std::string_view kFirstRequest =
    "CONNECT relay.example:5000 HTTP/1.0\r\nUser-Agent: corvana\r\nproxy-Connection: Keep-Alive\r\n"
    "Pragma: no-cache\r\n\r\n";
constexpr std::string_view kLoginHead =
    "CONNECT relay.example:5000 HTTP/1.0\r\nUser-Agent: corvana\r\nProxy-Connection: Keep-Alive\r\n"
    "Pragma: no-cache\r\n";
constexpr std::string_view k407Basic = "HTTP/1.1 407 Proxy Authentication Required\r\n"
                                       "Proxy-Authenticate: Basic realm=\"corp\"\r\nContent-Length: 0\r\n\r\n";
constexpr std::string_view k407Ntlm = "HTTP/1.1 407 Proxy Authentication Required\r\n"
                                      "Proxy-Authenticate: NTLM\r\n\r\n";
constexpr std::string_view k200 = "HTTP/1.0 200 Connection established\r\n\r\n";

// One scripted connection per PrepareSocket: what the proxy sends, read by
// read (an empty chunk is a read that waits its time and gets nothing; the
// end of the script is the end of the stream), and what the exchange sent.
class ScriptedProxy : public IProxyConnection {
public:
    struct Connection {
        std::deque<std::string> replies;
        std::vector<std::string> sent;
    };

    explicit ScriptedProxy(std::deque<std::string> first = {}, std::deque<std::string> login = {})
        : connections{{std::move(first), {}}}, loginReplies(std::move(login))
    {
    }

    Connection& Current() { return connections.back(); }
    // What the current connection has not handed over yet.
    std::string Rest()
    {
        std::string rest;
        for (const std::string& chunk : Current().replies) {
            rest += chunk;
        }
        return rest;
    }

    int32_t SendAll(std::span<const uint8_t> bytes) override
    {
        const bool login = connections.size() > 1;
        if (failSends == Failing::kAll || (login && failSends == Failing::kLogin) ||
            (login && failSends == Failing::kLoginAnswers && ++loginSends % 2 == 0)) {
            return 0;
        }
        Current().sent.emplace_back(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return static_cast<int32_t>(bytes.size());
    }
    int32_t Receive(std::span<uint8_t> buffer, int64_t timeoutMs) override
    {
        auto& replies = Current().replies;
        if (replies.empty()) {
            return -123;
        }
        std::string& chunk = replies.front();
        if (chunk.empty()) {
            now += timeoutMs;
            replies.pop_front();
            return 0;
        }
        const size_t count = std::min(chunk.size(), buffer.size());
        std::copy_n(chunk.begin(), count, buffer.begin());
        chunk.erase(0, count);
        if (chunk.empty()) {
            replies.pop_front();
        }
        now += chunkDelayMs;
        return static_cast<int32_t>(count);
    }
    bool PrepareSocket() override
    {
        if (prepareWorks) {
            connections.push_back({std::move(loginReplies), {}});
        }
        return prepareWorks;
    }
    int32_t ConnectToProxy() override { return connectResult; }
    void ReportError(const std::string& message) override
    {
        lastError = message;
        reports.push_back(message);
    }
    std::string LastErrorText() const override { return lastError; }
    int64_t NowMs() const override { return now; }

    std::deque<Connection> connections;
    std::deque<std::string> loginReplies;  // the script of the connection PrepareSocket opens
    std::vector<std::string> reports = {};
    std::string lastError = "earlier error";
    // Which sends fail: all, those on the login's connection, or every
    // second one there (the answers to the challenge).
    enum class Failing { kNone, kAll, kLogin, kLoginAnswers } failSends = Failing::kNone;
    int loginSends = 0;
    bool prepareWorks = true;
    int32_t connectResult = 0;
    int64_t now = 0;
    int64_t chunkDelayMs = 1;  // how long each chunk takes to come
};

ProxyExchange::Settings MakeSettings(std::string user = "", std::string password = "", std::string domain = "")
{
    ProxyExchange::Settings settings;
    settings.destinationHost = "relay.example";
    settings.destinationPort = 5000;
    settings.proxyHost = "10.0.0.9";
    settings.user = std::move(user);
    settings.password = std::move(password);
    settings.domain = std::move(domain);
    return settings;
}

uint32_t Le(const std::string& bytes, size_t at, size_t width)
{
    uint32_t value = 0;
    for (size_t i = 0; i < width && at + i < bytes.size(); ++i) {
        value |= uint32_t{static_cast<uint8_t>(bytes[at + i])} << (8 * i);
    }
    return value;
}

// The UTF-16LE name an NTLM record carries in the string header at `at`.
std::string NameAt(const std::string& record, size_t at)
{
    std::string name;
    for (uint32_t i = 0; i + 1 < Le(record, at, 2) && Le(record, at + 4, 4) + i < record.size(); i += 2) {
        name.push_back(record[Le(record, at + 4, 4) + i]);
    }
    return name;
}

// A login request as "Basic <credentials>", "none", "NTLM1" (negotiate) or
// "NTLM3 <user>@<domain>" (the answer to the challenge); "?" and the request
// when it is not one of these.
std::string Login(const std::string& request)
{
    if (request.rfind(kLoginHead, 0) != 0) {
        return "?" + request;
    }
    const std::string rest = request.substr(kLoginHead.size());
    if (rest == "\r\n") {
        return "none";
    }
    for (const std::string scheme : {"Basic", "NTLM"}) {
        const std::string header = "Proxy-Authorization: " + scheme + " ";
        if (rest.rfind(header, 0) != 0) {
            continue;
        }
        const std::string token = rest.substr(header.size(), rest.find("\r\n") - header.size());
        if (rest != header + token + "\r\n\r\n") {
            return "?" + request;
        }
        const std::string record = Decode(token, 4096);
        if (scheme == "Basic") {
            return "Basic " + record;
        }
        if (record.rfind(std::string("NTLMSSP\0", 8), 0) == 0 && Le(record, 8, 4) == 1) {
            return "NTLM1";
        }
        if (record.rfind(std::string("NTLMSSP\0", 8), 0) == 0 && Le(record, 8, 4) == 3 && record.size() >= 64) {
            return "NTLM3 " + NameAt(record, 36) + "@" + NameAt(record, 28);
        }
    }
    return "?" + request;
}

std::string ChallengeReply(std::string_view challengeText)
{
    return "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM " + std::string(challengeText) +
           "\r\nContent-Length: 0\r\n\r\n";
}

// NTLM type 2 records naming the domain CORP, its name right after the
// fixed part, at offset 1070 (beyond the record) and at 0xfffffff0.
constexpr std::string_view kCorpChallenge =
    "TlRMTVNTUAACAAAACAAIADAAAAABggAAASNFZ4mrze8AAAAAAAAAAAAAAAAAAAAAQwBPAFIAUAA=";
constexpr std::string_view kNameBeyondTheRecord =
    "TlRMTVNTUAACAAAACAAIAC4EAAABggAAASNFZ4mrze8AAAAAAAAAAAAAAAAAAAAAQwBPAFIAUAA=";
constexpr std::string_view kNameOffsetWraps =
    "TlRMTVNTUAACAAAACAAIAPD///8BggAAASNFZ4mrze8AAAAAAAAAAAAAAAAAAAAAQwBPAFIAUAA=";

const std::string kNtlmFailed = "Proxy Authentication failed : NTLM.\nearlier error\n";
std::string Invalid(std::string code) { return "Proxy login : invalid proxy response : " + code + " : 10.0.0.9\n"; }
std::string Unsupported(std::string scheme)
{
    return "Proxy Authentication failed : " + scheme + " scheme not supported.\nearlier error\n";
}

// One exchange: the first connection's replies, the login connection's (if
// the exchange opens one) and what must come of it.
struct Scenario {
    const char* what;
    std::deque<std::string> first = {};
    std::deque<std::string> login = {};
    std::vector<std::string> reports = {};
    bool ok = false;
    size_t connections = 2;
    std::vector<std::string> loginSent = {};  // the login connection's requests, as Login() names them
    std::deque<std::string> unread = {};      // what the first connection must leave unread
    std::string streamStart = "";             // tunnel bytes read with the reply
    std::string user = "alice", password = "pa:ss", domain = "";
    void (*tweak)(ScriptedProxy&) = nullptr;
};

TEST(ProxyExchange, RepliesSchemesAndFailuresOfEachConnection)
{
    const std::string body(120, 'b');
    const std::string challenge = ChallengeReply(kCorpChallenge);
    const std::string noChallenge = "HTTP/1.1 407 x\r\n\r\n";
    // The challenge of squid's NTLM test helper: its domain's offset points nowhere.
    const std::string squid = "TlRMTVNTUAACAAAACQAJAK6qqqoHgggA8mcpbO2WLTcAAAAAAAA6AFdPUktHUk9VUA==";
    const std::vector<std::string> basic = {"Basic alice:pa:ss"};
    const Scenario scenarios[] = {
        {.what = "open proxy: one request, the stream starts after the blank line",
         .first = {std::string(k200) + std::string("\x02\x00\x07", 3), "never read"}, .ok = true, .connections = 1,
         .unread = {"never read"}, .streamStart = std::string("\x02\x00\x07", 3)},
        {.what = "stops at the blank line without a body",
         .first = {"HTTP/1.1 200 OK\r\n", "Content-Length: 0\r\n", "\r\n", "never read"},
         .ok = true, .connections = 1, .unread = {"never read"}},
        {.what = "an announced body is read to its end before the login",
         .first = {"HTTP/1.1 407 x\r\nProxy-Authenticate: Basic\r\nContent-Length: 120\r\n\r\n" + body.substr(0, 50),
                   body.substr(50, 69), body.substr(119), "never read"},
         .login = {std::string(k200)}, .ok = true, .loginSent = basic, .unread = {"never read"}},
        {.what = "a negative length announces no body",
         .first = {"HTTP/1.1 407 x\r\nProxy-Authenticate: Basic\r\nContent-Length: -7\r\n\r\n", "never read"},
         .login = {std::string(k200)}, .ok = true, .loginSent = basic, .unread = {"never read"}},
        {.what = "403", .first = {"HTTP/1.1 403 Forbidden\r\n\r\n"}, .reports = {Invalid("403")}, .connections = 1},
        {.what = "closed at once", .first = {}, .reports = {Invalid("")}, .connections = 1},
        {.what = "never answers", .first = {"", ""}, .reports = {Invalid("")}, .connections = 1, .unread = {""}},
        {.what = "not HTTP", .first = {std::string("\x16\x03\x01\x00", 4)}, .reports = {Invalid("\x16\x03\x01")},
         .connections = 1},
        {.what = "407 without its blank line still leads to the login", .first = {"HTTP/1.1 407 no end"},
         .reports = {"Proxy Authentication failed : Authentication scheme not supported.\nearlier error\n"}},
        {.what = "send fails", .first = {}, .reports = {"Proxy login : send() error"}, .connections = 1,
         .tweak = [](ScriptedProxy& p) { p.failSends = ScriptedProxy::Failing::kAll; }},
        {.what = "no socket for the login", .first = {std::string(k407Basic)},
         .reports = {"Proxy login : Creating TCP socket : 10.0.0.9\n"}, .connections = 1,
         .tweak = [](ScriptedProxy& p) { p.prepareWorks = false; }},
        {.what = "login connect fails", .first = {std::string(k407Basic)},
         .reports = {"Proxy login : connect(relay.example:5000) failed : -2147467259\n"},
         .tweak = [](ScriptedProxy& p) { p.connectResult = -2147467259; }},
        // Basic: the realm and domain play no part; it is preferred over NTLM.
        {.what = "Basic with a realm", .first = {std::string(k407Basic)}, .login = {std::string(k200)}, .ok = true,
         .loginSent = basic, .domain = "CORP"},
        {.what = "Basic before NTLM",
         .first = {"HTTP/1.1 407 x\r\nProxy-Authenticate: NTLM\r\nProxy-Authenticate: Basic\r\n\r\n"},
         .login = {std::string(k200)}, .ok = true, .loginSent = basic},
        {.what = "no password", .first = {std::string(k407Basic)}, .login = {std::string(k200)}, .ok = true,
         .loginSent = {"none"}, .password = ""},
        {.what = "no user", .first = {std::string(k407Basic)}, .login = {std::string(k200)}, .ok = true,
         .loginSent = {"none"}, .user = ""},
        {.what = "Basic refused: no third connection", .first = {std::string(k407Basic)},
         .login = {std::string(k407Basic)}, .reports = {"Proxy Authentication failed : Basic.\nearlier error\n"},
         .loginSent = basic},
        {.what = "Negotiate", .first = {"HTTP/1.1 407 x\r\nProxy-Authenticate: Negotiate\r\n\r\n"},
         .reports = {Unsupported("Negotiate")}},
        {.what = "Kerberos", .first = {"HTTP/1.1 407 x\r\nProxy-Authenticate: Kerberos\r\n\r\n"},
         .reports = {Unsupported("Kerberos")}},
        {.what = "Negotiate named first",
         .first = {"HTTP/1.1 407 x\r\nProxy-Authenticate: Negotiate\r\nProxy-Authenticate: Kerberos\r\n\r\n"},
         .reports = {Unsupported("Negotiate")}},
        {.what = "no scheme", .first = {noChallenge}, .reports = {Unsupported("Authentication")}},
        // NTLM: two round trips on the new connection answer the challenge;
        // a refused user is followed by a login without credentials on the
        // same connection, and no user goes straight to that one.
        {.what = "NTLM", .first = {std::string(k407Ntlm)}, .login = {challenge, std::string(k200)}, .ok = true,
         .loginSent = {"NTLM1", "NTLM3 alice@CORP"}, .password = "secret", .domain = "CORP"},
        {.what = "NTLM user refused", .first = {std::string(k407Ntlm)},
         .login = {challenge, std::string(k407Ntlm), challenge, std::string(k200)}, .ok = true,
         .loginSent = {"NTLM1", "NTLM3 alice@CORP", "NTLM1", "NTLM3 @CORP"}, .password = "wrong"},
        {.what = "NTLM without a user", .first = {std::string(k407Ntlm)}, .login = {challenge, std::string(k200)},
         .ok = true, .loginSent = {"NTLM1", "NTLM3 @CORP"}, .user = "", .password = ""},
        // A domain named outside the challenge is left out of the answer.
        {.what = "squid's challenge", .first = {std::string(k407Ntlm)},
         .login = {ChallengeReply(squid), std::string(k200)}, .ok = true, .loginSent = {"NTLM1", "NTLM3 alice@"}},
        {.what = "domain beyond the record", .first = {std::string(k407Ntlm)},
         .login = {ChallengeReply(kNameBeyondTheRecord), std::string(k200)}, .ok = true,
         .loginSent = {"NTLM1", "NTLM3 alice@"}},
        {.what = "domain offset wraps", .first = {std::string(k407Ntlm)},
         .login = {ChallengeReply(kNameOffsetWraps), std::string(k200)}, .ok = true,
         .loginSent = {"NTLM1", "NTLM3 alice@"}},
        // A bad challenge (the same for both logins) gets no answer; what the
        // Base64 decoder refuses is listed with its own test.
        {.what = "no challenge", .first = {std::string(k407Ntlm)}, .login = {noChallenge, noChallenge},
         .reports = {kNtlmFailed}, .loginSent = {"NTLM1", "NTLM1"}},
        {.what = "challenge not Base64", .first = {std::string(k407Ntlm)},
         .login = {ChallengeReply("not*base64"), ChallengeReply("not*base64")}, .reports = {kNtlmFailed},
         .loginSent = {"NTLM1", "NTLM1"}},
        // Both logins (with and without credentials) fail their first send, or
        // their answer to the challenge.
        {.what = "NTLM sends fail", .first = {std::string(k407Ntlm)},
         .reports = {"Proxy NTLM login : send() error", "Proxy NTLM login : send() error",
                     "Proxy Authentication failed : NTLM.\nProxy NTLM login : send() error\n"},
         .tweak = [](ScriptedProxy& p) { p.failSends = ScriptedProxy::Failing::kLogin; }},
        {.what = "NTLM answers fail", .first = {std::string(k407Ntlm)}, .login = {challenge, challenge},
         .reports = {"Proxy NTLM login : send(2) error", "Proxy NTLM login : send(2) error",
                     "Proxy Authentication failed : NTLM.\nProxy NTLM login : send(2) error\n"},
         .loginSent = {"NTLM1", "NTLM1"},
         .tweak = [](ScriptedProxy& p) { p.failSends = ScriptedProxy::Failing::kLoginAnswers; }},
    };
    for (const Scenario& c : scenarios) {
        SCOPED_TRACE(c.what);
        ScriptedProxy proxy(c.first, c.login);
        if (c.tweak != nullptr) {
            c.tweak(proxy);
        }
        ProxyExchange exchange(proxy, MakeSettings(c.user, c.password, c.domain));
        EXPECT_EQ(exchange.Run(), c.ok);
        EXPECT_EQ(exchange.StreamStart(), c.streamStart);
        EXPECT_EQ(proxy.reports, c.reports);
        ASSERT_EQ(proxy.connections.size(), c.connections);
        const bool sent = proxy.failSends != ScriptedProxy::Failing::kAll;
        EXPECT_EQ(proxy.connections[0].sent, std::vector<std::string>(sent ? 1 : 0, std::string(kFirstRequest)));
        EXPECT_EQ(proxy.connections[0].replies, c.unread);
        std::vector<std::string> loginSent;
        for (size_t i = 1; i < proxy.connections.size(); ++i) {
            std::ranges::transform(proxy.connections[i].sent, std::back_inserter(loginSent), Login);
        }
        EXPECT_EQ(loginSent, c.loginSent);
    }
}

TEST(ProxyExchange, SlowProxyAndEndlessBodyAreReadOnlyUpToTheReplyLimit)
{
    // The status line says 200 but the header never ends, one byte coming
    // just before each read's wait ends: the read ends after its overall
    // limit and nothing of it reaches the stream.
    ScriptedProxy slow({"HTTP/1.1 200 OK\r\n"});
    slow.chunkDelayMs = ProxyExchange::kReadWaitMs - 1;
    slow.Current().replies.insert(slow.Current().replies.end(), 100, "X");
    ProxyExchange exchange(slow, MakeSettings());
    EXPECT_TRUE(exchange.Run());
    EXPECT_TRUE(exchange.StreamStart().empty());
    EXPECT_LE(slow.now, ProxyExchange::kReplyLimitMs + ProxyExchange::kReadWaitMs);
    EXPECT_GE(slow.now, ProxyExchange::kReplyLimitMs);
    EXPECT_FALSE(slow.Current().replies.empty());

    ScriptedProxy endless({"HTTP/1.1 403 Forbidden\r\nContent-Length: 99999999999\r\n\r\n"});
    endless.Current().replies.insert(endless.Current().replies.end(), 40, std::string(8192, 'z'));
    EXPECT_FALSE(ProxyExchange(endless, MakeSettings()).Run());
    EXPECT_FALSE(endless.Current().replies.empty());  // 327 KiB offered, 128 KiB read
    EXPECT_EQ(endless.reports, std::vector<std::string>{Invalid("403")});
}

// ---- a reply cut in two ------------------------------------------------------

constexpr std::string_view kReply = "HTTP/1.0 200 Connection established\r\nVia: test\r\n\r\n";
const std::string kStreamStart("\x02\x00\x07", 3);

// One end of a connected stream socket pair; the test's proxy writes the
// pieces to the other end with a pause between them, after the request.
class SocketPairConnection : public ScriptedProxy {
public:
    explicit SocketPairConnection(std::vector<std::string> pieces)
    {
        int fds[2] = {-1, -1};
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        near = sockettest::Fd(fds[0]);
        far = sockettest::Fd(fds[1]);
        proxy = std::jthread([this, pieces = std::move(pieces)] {
            if (sockettest::ReadSome(far, 5000).empty()) {
                return;
            }
            for (const std::string& piece : pieces) {
                (void)::send(far.Get(), piece.data(), piece.size(), MSG_NOSIGNAL);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }

    int32_t SendAll(std::span<const uint8_t> bytes) override
    {
        const ssize_t written = ::send(near.Get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        return written == static_cast<ssize_t>(bytes.size()) ? static_cast<int32_t>(written) : 0;
    }
    int32_t Receive(std::span<uint8_t> buffer, int64_t timeoutMs) override
    {
        if (!sockettest::Readable(near, static_cast<int>(timeoutMs))) {
            now += timeoutMs;
            return 0;
        }
        const ssize_t count = ::recv(near.Get(), buffer.data(), buffer.size(), 0);
        return count > 0 ? static_cast<int32_t>(count) : -1;
    }
    // The bytes the exchange left unread: the tunnel reads them next.
    std::string Rest()
    {
        proxy.join();  // everything is written
        return sockettest::ReadSome(near, 0);
    }

private:
    sockettest::Fd near;
    sockettest::Fd far;
    std::jthread proxy;  // joined before the descriptors close
};

// The reply and the first stream bytes, cut at `cut`.
std::vector<std::string> CutAt(size_t cut)
{
    const std::string whole = std::string(kReply) + kStreamStart;
    return {whole.substr(0, cut), whole.substr(cut)};
}

// The exchange succeeds, and the stream bytes it read with the reply plus
// those it left unread are the stream, each byte once: a read that ends the
// reply hands on what followed it, and no read goes past that one.
template <typename Connection>
void ExpectOpenedWithTheWholeStream(Connection& connection, size_t cut)
{
    ProxyExchange exchange(connection, MakeSettings());
    ASSERT_TRUE(exchange.Run()) << "cut at " << cut << ": " << connection.LastErrorText();
    const std::string inReply = cut < kReply.size() ? kStreamStart : kStreamStart.substr(0, cut - kReply.size());
    EXPECT_EQ(exchange.StreamStart(), inReply) << "cut at " << cut;
    EXPECT_EQ(exchange.StreamStart() + connection.Rest(), kStreamStart) << "cut at " << cut;
}

TEST(ProxySplitReply, InMemoryEveryCutOpensAndKeepsTheWholeStream)
{
    for (size_t cut = 1; cut < kReply.size() + kStreamStart.size(); ++cut) {
        const std::vector<std::string> pieces = CutAt(cut);
        ScriptedProxy connection({pieces[0], pieces[1]});
        ExpectOpenedWithTheWholeStream(connection, cut);
    }
}

TEST(ProxySplitReply, SocketPairCutsAroundTheBlankLineOpenAndKeepTheWholeStream)
{
    // Inside the blank line, right after it, and inside the stream bytes.
    for (size_t cut : {kReply.size() - 3, kReply.size() - 1, kReply.size(), kReply.size() + 1}) {
        SocketPairConnection connection(CutAt(cut));
        ExpectOpenedWithTheWholeStream(connection, cut);
    }
}

}  // namespace
}  // namespace zan
