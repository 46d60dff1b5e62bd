// The proxy exchange over a scripted connection: what it sends, how it reads
// replies, which scheme it picks and every failure message.

#include "ProxyBase64.h"
#include "ProxyExchange.h"
#include "ProxyReplyText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

namespace zan {
namespace {

constexpr std::string_view kProxyHost = "10.0.0.9";
constexpr std::string_view kFirstRequest =
    "CONNECT relay.example:5000 HTTP/1.0\r\nUser-Agent: corvana\r\nproxy-Connection: Keep-Alive\r\n"
    "Pragma: no-cache\r\n\r\n";
constexpr std::string_view kBasicHead =
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

    ScriptedProxy() { connections.emplace_back(); }

    Connection& Current() { return connections.back(); }
    Connection& At(size_t index) { return connections.at(index); }
    // The script of the connection the next PrepareSocket opens.
    void ThenConnection(std::deque<std::string> replies) { nextReplies.push_back(std::move(replies)); }

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
        ++reads;
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
        if (!prepareWorks) {
            return false;
        }
        connections.emplace_back();
        if (!nextReplies.empty()) {
            Current().replies = std::move(nextReplies.front());
            nextReplies.pop_front();
        }
        return true;
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
    std::deque<std::deque<std::string>> nextReplies;
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
    size_t reads = 0;
};

ProxyExchange::Settings MakeSettings(std::string user = "alice", std::string password = "pa:ss",
                                     std::string domain = "")
{
    ProxyExchange::Settings settings;
    settings.destinationHost = "relay.example";
    settings.destinationPort = 5000;
    settings.proxyHost = kProxyHost;
    settings.user = std::move(user);
    settings.password = std::move(password);
    settings.domain = std::move(domain);
    return settings;
}

struct Outcome {
    bool ok;
    std::string streamStart;
};

Outcome RunExchange(ScriptedProxy& proxy, const ProxyExchange::Settings& settings)
{
    ProxyExchange exchange(proxy, settings);
    const bool ok = exchange.Run();
    return {ok, exchange.StreamStart()};
}

std::string Base64Of(std::string_view text)
{
    std::vector<char> out(Base64EncodedLength(text.size()) + 1);
    const int32_t length = Base64Encode({reinterpret_cast<const uint8_t*>(text.data()), text.size()}, out);
    return std::string(out.data(), static_cast<size_t>(std::max(length, 0)));
}

std::vector<uint8_t> Base64Bytes(std::string_view text)
{
    std::vector<uint8_t> out(4096);
    const int32_t length = Base64Decode(text, out);
    out.resize(static_cast<size_t>(std::max(length, 0)));
    return out;
}

// The token of a request's "Proxy-Authorization: NTLM " line.
std::string NtlmToken(const std::string& request)
{
    constexpr std::string_view kHeader = "Proxy-Authorization: NTLM ";
    const size_t at = request.find(kHeader);
    if (at == std::string::npos) {
        return {};
    }
    const size_t from = at + kHeader.size();
    return request.substr(from, request.find("\r\n", from) - from);
}

uint32_t Le(const std::vector<uint8_t>& bytes, size_t at, size_t width)
{
    uint32_t value = 0;
    for (size_t i = 0; i < width && at + i < bytes.size(); ++i) {
        value |= uint32_t{bytes[at + i]} << (8 * i);
    }
    return value;
}

// An NTLM type 2 record naming `domain`, whose name lies at `nameOffset`
// (48, right after the fixed part, in a well-formed record).
std::string ChallengeRecord(std::string_view domain, uint32_t nameOffset = 48)
{
    std::string record("NTLMSSP\0", 8);
    auto put = [&record](uint32_t value, size_t width) {
        for (size_t i = 0; i < width; ++i) {
            record.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
        }
    };
    put(2, 4);
    put(static_cast<uint32_t>(domain.size() * 2), 2);
    put(static_cast<uint32_t>(domain.size() * 2), 2);
    put(nameOffset, 4);
    put(0x00008201, 4);                  // flags: unicode, NTLM
    record.append("\x01\x23\x45\x67\x89\xab\xcd\xef", 8);  // server challenge
    record.append(16, '\0');             // reserved, empty string header
    for (char c : domain) {
        record.push_back(c);
        record.push_back('\0');
    }
    return record;
}

std::string ChallengeReply(std::string_view challengeText)
{
    return "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM " + std::string(challengeText) +
           "\r\nContent-Length: 0\r\n\r\n";
}

// The user name an NTLM type 3 token carries (UTF-16LE at uUser).
std::string UserOfAuthenticate(const std::string& token)
{
    const std::vector<uint8_t> record = Base64Bytes(token);
    if (record.size() < 64 || std::string(record.begin(), record.begin() + 8) != std::string("NTLMSSP\0", 8) ||
        Le(record, 8, 4) != 3) {
        return "<not a type 3 record>";
    }
    const uint32_t length = Le(record, 36, 2);
    const uint32_t offset = Le(record, 40, 4);
    std::string user;
    for (uint32_t i = 0; i + 1 < length && offset + i < record.size(); i += 2) {
        user.push_back(static_cast<char>(record[offset + i]));
    }
    return user;
}

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
    std::vector<std::string> loginSent = {};  // exact requests on the login connection; unchecked when empty
    size_t loginRequests = 0;
    std::deque<std::string> unread = {};      // what the first connection must leave unread
    std::string user = "alice", password = "pa:ss", domain = "";
    void (*tweak)(ScriptedProxy&) = nullptr;
};

TEST(ProxyExchange, RepliesSchemesAndFailuresOfEachConnection)
{
    const std::string basicAlice = std::string(kBasicHead) + "Proxy-Authorization: Basic " + Base64Of("alice:pa:ss") +
                                   "\r\n\r\n";
    const std::string body(120, 'b');
    const std::string record = ChallengeRecord("CORP");
    const std::string challenge = ChallengeReply(Base64Of(record));
    const std::string huge = ChallengeReply(Base64Of(std::string(kMaxDecodedChallenge + 1, 'A')));
    const std::string noChallenge = "HTTP/1.1 407 x\r\n\r\n";
    const Scenario scenarios[] = {
        {.what = "stops at the blank line without a body",
         .first = {"HTTP/1.1 200 OK\r\n", "Content-Length: 0\r\n", "\r\n", "never read"},
         .ok = true, .connections = 1, .unread = {"never read"}},
        {.what = "an announced body is read to its end before the login",
         .first = {"HTTP/1.1 407 x\r\nProxy-Authenticate: Basic\r\nContent-Length: 120\r\n\r\n" + body.substr(0, 50),
                   body.substr(50, 69), body.substr(119), "never read"},
         .login = {std::string(k200)}, .ok = true, .loginSent = {basicAlice}, .unread = {"never read"}},
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
         .loginSent = {basicAlice}, .domain = "CORP"},
        {.what = "Basic before NTLM",
         .first = {"HTTP/1.1 407 x\r\nProxy-Authenticate: NTLM\r\nProxy-Authenticate: Basic\r\n\r\n"},
         .login = {std::string(k200)}, .ok = true, .loginSent = {basicAlice}},
        {.what = "no password", .first = {std::string(k407Basic)}, .login = {std::string(k200)}, .ok = true,
         .loginSent = {std::string(kBasicHead) + "\r\n"}, .password = ""},
        {.what = "no user", .first = {std::string(k407Basic)}, .login = {std::string(k200)}, .ok = true,
         .loginSent = {std::string(kBasicHead) + "\r\n"}, .user = ""},
        {.what = "Basic refused: no third connection", .first = {std::string(k407Basic)},
         .login = {std::string(k407Basic)}, .reports = {"Proxy Authentication failed : Basic.\nearlier error\n"},
         .loginRequests = 1},
        {.what = "Negotiate", .first = {"HTTP/1.1 407 x\r\nProxy-Authenticate: Negotiate\r\n\r\n"},
         .reports = {Unsupported("Negotiate")}},
        {.what = "Kerberos", .first = {"HTTP/1.1 407 x\r\nProxy-Authenticate: Kerberos\r\n\r\n"},
         .reports = {Unsupported("Kerberos")}},
        {.what = "Negotiate named first",
         .first = {"HTTP/1.1 407 x\r\nProxy-Authenticate: Negotiate\r\nProxy-Authenticate: Kerberos\r\n\r\n"},
         .reports = {Unsupported("Negotiate")}},
        {.what = "Digest", .first = {"HTTP/1.1 407 x\r\nProxy-Authenticate: Digest realm=\"x\"\r\n\r\n"},
         .reports = {Unsupported("Authentication")}},
        {.what = "no scheme", .first = {noChallenge}, .reports = {Unsupported("Authentication")}},
        // NTLM: no user goes straight to the login without credentials; a bad
        // challenge (the same for both logins) gets no answer.
        {.what = "NTLM without a user", .first = {std::string(k407Ntlm)}, .login = {challenge, std::string(k200)},
         .ok = true, .loginRequests = 2, .user = "", .password = ""},
        {.what = "no challenge", .first = {std::string(k407Ntlm)}, .login = {noChallenge, noChallenge},
         .reports = {kNtlmFailed}, .loginRequests = 2},
        {.what = "challenge not Base64", .first = {std::string(k407Ntlm)},
         .login = {ChallengeReply("not*base64"), ChallengeReply("not*base64")}, .reports = {kNtlmFailed},
         .loginRequests = 2},
        {.what = "challenge ends inside a group", .first = {std::string(k407Ntlm)},
         .login = {ChallengeReply(Base64Of(record).substr(0, 10)), ChallengeReply(Base64Of(record).substr(0, 10))},
         .reports = {kNtlmFailed}, .loginRequests = 2},
        {.what = "challenge larger than the record", .first = {std::string(k407Ntlm)}, .login = {huge, huge},
         .reports = {kNtlmFailed}, .loginRequests = 2},
        // Both logins (with and without credentials) fail their first send, or
        // their answer to the challenge.
        {.what = "NTLM sends fail", .first = {std::string(k407Ntlm)},
         .reports = {"Proxy NTLM login : send() error", "Proxy NTLM login : send() error",
                     "Proxy Authentication failed : NTLM.\nProxy NTLM login : send() error\n"},
         .tweak = [](ScriptedProxy& p) { p.failSends = ScriptedProxy::Failing::kLogin; }},
        {.what = "NTLM answers fail", .first = {std::string(k407Ntlm)}, .login = {challenge, challenge},
         .reports = {"Proxy NTLM login : send(2) error", "Proxy NTLM login : send(2) error",
                     "Proxy Authentication failed : NTLM.\nProxy NTLM login : send(2) error\n"},
         .loginRequests = 2, .tweak = [](ScriptedProxy& p) { p.failSends = ScriptedProxy::Failing::kLoginAnswers; }},
    };
    for (const Scenario& c : scenarios) {
        SCOPED_TRACE(c.what);
        ScriptedProxy proxy;
        proxy.Current().replies = c.first;
        proxy.ThenConnection(c.login);
        if (c.tweak != nullptr) {
            c.tweak(proxy);
        }
        EXPECT_EQ(RunExchange(proxy, MakeSettings(c.user, c.password, c.domain)).ok, c.ok);
        EXPECT_EQ(proxy.reports, c.reports);
        ASSERT_EQ(proxy.connections.size(), c.connections);
        EXPECT_EQ(proxy.At(0).replies, c.unread);
        if (c.connections == 2) {
            EXPECT_EQ(proxy.At(1).sent.size(), c.loginSent.empty() ? c.loginRequests : c.loginSent.size());
        }
        if (!c.loginSent.empty()) {
            EXPECT_EQ(proxy.At(1).sent, c.loginSent);
        }
    }
}

TEST(ProxyExchangeReplies, OpenProxyNeedsOneRequestAndTheStreamStartsAfterTheBlankLine)
{
    ScriptedProxy proxy;
    proxy.Current().replies = {std::string(k200) + std::string("\x02\x00\x07", 3), "never read"};
    const Outcome outcome = RunExchange(proxy, MakeSettings());
    ASSERT_TRUE(outcome.ok);
    EXPECT_EQ(proxy.Current().sent, std::vector<std::string>{std::string(kFirstRequest)});
    EXPECT_EQ(outcome.streamStart, std::string("\x02\x00\x07", 3));
    EXPECT_EQ(proxy.reads, 1u);
    EXPECT_EQ(proxy.connections.size(), 1u);
    EXPECT_TRUE(proxy.reports.empty());
}

TEST(ProxyExchangeReplies, SlowProxyAndEndlessBodyAreReadOnlyUpToTheReplyLimit)
{
    ScriptedProxy slow;
    slow.Current().replies.push_back("HTTP/1.1 200 OK\r\n");
    slow.chunkDelayMs = 2999;  // one byte just before each read's wait ends
    slow.Current().replies.insert(slow.Current().replies.end(), 100, "X");
    // The status line says 200 but the header never ends: the read ends
    // after its overall limit and nothing of it reaches the stream.
    const Outcome outcome = RunExchange(slow, MakeSettings());
    EXPECT_TRUE(outcome.ok);
    EXPECT_TRUE(outcome.streamStart.empty());
    EXPECT_LE(slow.now, ProxyExchange::kReplyLimitMs + ProxyExchange::kReadWaitMs);
    EXPECT_GE(slow.now, ProxyExchange::kReplyLimitMs);
    EXPECT_FALSE(slow.Current().replies.empty());

    ScriptedProxy endless;
    endless.Current().replies = {"HTTP/1.1 403 Forbidden\r\nContent-Length: 99999999999\r\n\r\n"};
    endless.Current().replies.insert(endless.Current().replies.end(), 40, std::string(8192, 'z'));
    EXPECT_FALSE(RunExchange(endless, MakeSettings()).ok);
    EXPECT_FALSE(endless.Current().replies.empty());  // 327 KiB offered, 128 KiB read
    EXPECT_EQ(endless.reports, std::vector<std::string>{Invalid("403")});
}

// --- NTLM --------------------------------------------------------------

TEST(ProxyExchangeNtlm, TwoRoundTripsOnTheNewConnectionAnswerTheChallenge)
{
    ScriptedProxy proxy;
    proxy.Current().replies = {std::string(k407Ntlm)};
    proxy.ThenConnection({ChallengeReply(Base64Of(ChallengeRecord("CORP"))), std::string(k200)});
    ASSERT_TRUE(RunExchange(proxy, MakeSettings("alice", "secret", "CORP")).ok);
    ASSERT_EQ(proxy.At(1).sent.size(), 2u);
    const std::vector<uint8_t> negotiate = Base64Bytes(NtlmToken(proxy.At(1).sent[0]));
    ASSERT_GE(negotiate.size(), 12u);
    EXPECT_EQ(std::string(negotiate.begin(), negotiate.begin() + 8), std::string("NTLMSSP\0", 8));
    EXPECT_EQ(Le(negotiate, 8, 4), 1u);
    EXPECT_EQ(UserOfAuthenticate(NtlmToken(proxy.At(1).sent[1])), "alice");
    EXPECT_EQ(proxy.At(1).sent[1].substr(0, kBasicHead.size()), kBasicHead);
    EXPECT_TRUE(proxy.reports.empty());
}

TEST(ProxyExchangeNtlm, RefusedUserIsFollowedByALoginWithoutCredentialsOnTheSameConnection)
{
    const std::string challenge = ChallengeReply(Base64Of(ChallengeRecord("CORP")));
    ScriptedProxy proxy;
    proxy.Current().replies = {std::string(k407Ntlm)};
    proxy.ThenConnection({challenge, std::string(k407Ntlm), challenge, std::string(k200)});
    ASSERT_TRUE(RunExchange(proxy, MakeSettings("alice", "wrong")).ok);
    ASSERT_EQ(proxy.connections.size(), 2u);
    ASSERT_EQ(proxy.At(1).sent.size(), 4u);
    EXPECT_EQ(UserOfAuthenticate(NtlmToken(proxy.At(1).sent[1])), "alice");
    EXPECT_EQ(UserOfAuthenticate(NtlmToken(proxy.At(1).sent[3])), "");
}

TEST(ProxyExchangeNtlm, DomainNamedOutsideTheChallengeIsLeftOutOfTheAnswer)
{
    // squid's NTLM test helper sends an offset that points nowhere (this
    // challenge is one it sent); a name beyond the end of the record too.
    const std::string squidChallenge = "TlRMTVNTUAACAAAACQAJAK6qqqoHgggA8mcpbO2WLTcAAAAAAAA6AFdPUktHUk9VUA==";
    for (const std::string& challenge :
         {squidChallenge, Base64Of(ChallengeRecord("CORP", 1070)), Base64Of(ChallengeRecord("CORP", 0xfffffff0u))}) {
        ScriptedProxy proxy;
        proxy.Current().replies = {std::string(k407Ntlm)};
        proxy.ThenConnection({ChallengeReply(challenge), std::string(k200)});
        ASSERT_TRUE(RunExchange(proxy, MakeSettings("alice", "secret")).ok) << challenge;
        const std::vector<uint8_t> answer = Base64Bytes(NtlmToken(proxy.At(1).sent[1]));
        EXPECT_EQ(UserOfAuthenticate(NtlmToken(proxy.At(1).sent[1])), "alice");
        EXPECT_EQ(Le(answer, 28, 2), 0u) << "no domain in the answer";
    }
}

}  // namespace
}  // namespace zan
