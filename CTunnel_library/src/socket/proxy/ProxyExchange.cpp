#include "ProxyExchange.h"

#include "NtlmTokens.h"
#include "ProxyBase64.h"
#include "ProxyReplyText.h"
#include "ProxyRequestText.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace zan {

namespace {

constexpr const char* kSendError = "Proxy login : send() error";
constexpr const char* kNtlmSendError = "Proxy NTLM login : send() error";
constexpr const char* kNtlmSendError2 = "Proxy NTLM login : send(2) error";
constexpr const char* kAuthenticationFailed = "Proxy Authentication failed : ";
// The longest request text of a login (the size of its work area).
constexpr size_t kMaxRequest = 131070;
// The Basic token's buffer, the terminating zero included.
constexpr size_t kBasicTokenBuffer = 131070;

void WipeText(std::string& text)
{
    if (!text.empty()) {
        OPENSSL_cleanse(text.data(), text.size());
    }
    text.clear();
}

// Null for an empty text: "no user", "no domain" to the NTLM library.
const char* OrNull(const std::string& text)
{
    return text.empty() ? nullptr : text.c_str();
}

}  // namespace

ProxyExchange::Settings::~Settings()
{
    WipeText(password);
}

ProxyExchange::ProxyExchange(IProxyConnection& connection, const Settings& settings)
    : connection(connection), settings(settings), readArea(kMaxProxyReply)
{
}

ProxyExchange::~ProxyExchange()
{
    // A reply may echo a token; the stream start is tunnel data.
    WipeText(firstReply);
}

bool ProxyExchange::Run()
{
    State state = State::kSendConnect;
    for (;;) {
        switch (state) {
        case State::kSendConnect: state = DoSendConnect(); break;
        case State::kReadReply: state = DoReadReply(); break;
        case State::kReopen: state = DoReopen(); break;
        case State::kChooseScheme: state = DoChooseScheme(); break;
        case State::kBasicLogin: state = DoBasicLogin(); break;
        case State::kNtlmLogin: state = DoNtlmLogin(); break;
        case State::kNtlmAnonymous: state = DoNtlmAnonymous(); break;
        case State::kInvalidResponse: state = DoInvalidResponse(); break;
        case State::kAuthenticationFailed: state = DoAuthenticationFailed(); break;
        case State::kSucceeded: return true;
        case State::kFailed: return false;
        }
    }
}

ProxyExchange::State ProxyExchange::DoSendConnect()
{
    const std::string request = ConnectRequest(settings.destinationHost, settings.destinationPort);
    return Send(request, kSendError) ? State::kReadReply : State::kFailed;
}

ProxyExchange::State ProxyExchange::DoReadReply()
{
    if (ReadProxyReply(firstReply, code, reason)) {
        return State::kSucceeded;
    }
    return code == "407" ? State::kReopen : State::kInvalidResponse;
}

ProxyExchange::State ProxyExchange::DoReopen()
{
    if (!connection.PrepareSocket()) {
        connection.ReportError("Proxy login : Creating TCP socket : " + settings.proxyHost + "\n");
        return State::kFailed;
    }
    const int32_t result = connection.ConnectToProxy();
    if (result != 0) {
        connection.ReportError("Proxy login : connect(" + settings.destinationHost + ":" +
                               std::to_string(settings.destinationPort) + ") failed : " + std::to_string(result) +
                               "\n");
        return State::kFailed;
    }
    return State::kChooseScheme;
}

ProxyExchange::State ProxyExchange::DoChooseScheme()
{
    const uint32_t schemes = GetAuthSchemes(firstReply);
    failureMessage = kAuthenticationFailed;
    if ((schemes & ProxyScheme::kBasic) != 0) {
        failureMessage += "Basic.\n";
        return State::kBasicLogin;
    }
    if ((schemes & ProxyScheme::kNtlm) != 0) {
        failureMessage += "NTLM.\n";
        return settings.user.empty() ? State::kNtlmAnonymous : State::kNtlmLogin;
    }
    if ((schemes & ProxyScheme::kNegotiate) != 0) {
        failureMessage += "Negotiate scheme not supported.\n";
    } else if ((schemes & ProxyScheme::kKerberos) != 0) {
        failureMessage += "Kerberos scheme not supported.\n";
    } else {
        failureMessage += "Authentication scheme not supported.\n";
    }
    return State::kAuthenticationFailed;
}

ProxyExchange::State ProxyExchange::DoBasicLogin()
{
    std::string token;
    if (!settings.user.empty() && !settings.password.empty()) {
        // The user without its domain part; the domain is not sent.
        std::string credentials = settings.user + ":" + settings.password;
        std::string encoded(kBasicTokenBuffer, '\0');
        const int32_t length = Base64Encode({reinterpret_cast<const uint8_t*>(credentials.data()), credentials.size()},
                                            {encoded.data(), encoded.size()});
        WipeText(credentials);
        if (length < 0) {
            return State::kAuthenticationFailed;  // nothing sent
        }
        encoded.resize(static_cast<size_t>(length));
        token = std::move(encoded);
    }
    std::string request = BasicConnectRequest(settings.destinationHost, settings.destinationPort, token);
    WipeText(token);
    const bool sent = Send(request, kSendError);
    WipeText(request);
    if (!sent) {
        return State::kAuthenticationFailed;
    }
    std::string reply;
    return ReadProxyReply(reply, code, reason) ? State::kSucceeded : State::kAuthenticationFailed;
}

ProxyExchange::State ProxyExchange::DoNtlmLogin()
{
    if (NtlmLogin(settings.user.c_str(), settings.password.c_str(), OrNull(settings.domain))) {
        return State::kSucceeded;
    }
    return State::kNtlmAnonymous;
}

ProxyExchange::State ProxyExchange::DoNtlmAnonymous()
{
    return NtlmLogin(nullptr, nullptr, nullptr) ? State::kSucceeded : State::kAuthenticationFailed;
}

ProxyExchange::State ProxyExchange::DoInvalidResponse()
{
    connection.ReportError("Proxy login : invalid proxy response : " + code + " : " + settings.proxyHost + "\n");
    return State::kFailed;
}

ProxyExchange::State ProxyExchange::DoAuthenticationFailed()
{
    connection.ReportError(failureMessage + connection.LastErrorText() + "\n");
    return State::kFailed;
}

bool ProxyExchange::NtlmLogin(const char* user, const char* password, const char* domain)
{
    const std::optional<std::string> negotiate = NtlmNegotiateToken(user, domain);
    if (!negotiate) {
        return false;
    }
    const std::string request = NtlmConnectRequest(settings.destinationHost, settings.destinationPort, *negotiate);
    if (request.size() > kMaxRequest || !Send(request, kNtlmSendError)) {
        return false;
    }
    std::string reply;
    (void)ReadProxyReply(reply, code, reason);
    std::string challenge;
    if (!GetProxyChallenge(reply, challenge)) {
        return false;
    }
    const std::optional<std::string> authenticate = NtlmAuthenticateToken(challenge, user, password);
    if (!authenticate) {
        return false;
    }
    const std::string answer = NtlmConnectRequest(settings.destinationHost, settings.destinationPort, *authenticate);
    if (answer.size() > kMaxRequest || !Send(answer, kNtlmSendError2)) {
        return false;
    }
    std::string last;
    return ReadProxyReply(last, code, reason);
}

bool ProxyExchange::Send(const std::string& request, const char* failure)
{
    const int32_t result = connection.SendAll({reinterpret_cast<const uint8_t*>(request.data()), request.size()});
    if (result == 0) {
        connection.ReportError(failure);
        return false;
    }
    return true;
}

bool ProxyExchange::ReadProxyReply(std::string& reply, std::string& statusCode, std::string& statusReason)
{
    ProxyReplyProgress progress;
    const int64_t start = connection.NowMs();
    while (reply.size() < kMaxProxyReply) {
        const size_t room = std::min(readArea.size(), kMaxProxyReply - reply.size());
        const int32_t count = connection.Receive({readArea.data(), room}, kReadWaitMs);
        if (count < 1) {
            break;
        }
        reply.append(reinterpret_cast<const char*>(readArea.data()), std::min<size_t>(static_cast<size_t>(count), room));
        if (progress.Complete(reply) || connection.NowMs() - start >= kReplyLimitMs) {
            break;
        }
    }
    if (reply.empty()) {
        return false;
    }
    const bool ok = ParseProxyStatus(reply, statusCode, statusReason);
    if (ok) {
        streamStart = reply.substr(progress.End(reply));
    }
    return ok;
}

} // namespace zan
