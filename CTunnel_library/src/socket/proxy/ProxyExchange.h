#pragma once

#include "IProxyConnection.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zan {

// The HTTP proxy's CONNECT exchange on an open connection to the proxy:
//
//   kSendConnect -> kReadReply --200--> done
//                       |--407--> kReopen -> kChooseScheme
//                       |              |--Basic--> kBasicLogin
//                       |              |--NTLM---> kNtlmLogin --failed--> kNtlmAnonymous
//                       |              '--other--> (authentication failed)
//                       '--other--> kInvalidResponse
//
// After a 407 the first connection is abandoned and the login runs on a
// new one, which becomes the tunnel connection when its last reply is 200.
// Basic is preferred when both Basic and NTLM are offered; only one scheme
// is tried. Every reply read waits up to 3000 ms for each piece, and at
// most kReplyLimitMs in all. Every failure is reported through the
// connection's error report with its fixed message.
class ProxyExchange {
public:
    struct Settings {
        std::string destinationHost;  // as given: the proxy resolves it
        uint16_t destinationPort = 0;
        std::string proxyHost;
        std::string user;      // without its domain part
        std::string password;
        std::string domain;    // empty: none
        ~Settings();           // wipes the password
    };

    static constexpr int64_t kReadWaitMs = 3000;
    static constexpr int64_t kReplyLimitMs = 30000;

    ProxyExchange(IProxyConnection& connection, const Settings& settings);
    ~ProxyExchange();

    ProxyExchange(const ProxyExchange&) = delete;
    ProxyExchange& operator=(const ProxyExchange&) = delete;

    // Runs the exchange: true when the proxy answered 200.
    [[nodiscard]] bool Run();

    // After success: bytes that came after the proxy's last reply in the
    // same read. They are the first bytes of the tunnel stream.
    const std::string& StreamStart() const { return streamStart; }

private:
    enum class State {
        kSendConnect,
        kReadReply,
        kReopen,
        kChooseScheme,
        kBasicLogin,
        kNtlmLogin,
        kNtlmAnonymous,
        kInvalidResponse,
        kAuthenticationFailed,
        kSucceeded,
        kFailed,
    };

    State DoSendConnect();
    State DoReadReply();
    State DoReopen();
    State DoChooseScheme();
    State DoBasicLogin();
    State DoNtlmLogin();
    State DoNtlmAnonymous();
    State DoInvalidResponse();
    State DoAuthenticationFailed();

    // Reads one reply into `reply` until it is complete; true when its
    // status is 200. `code` and `reason` are left as they were when
    // nothing came.
    bool ReadProxyReply(std::string& reply, std::string& code, std::string& reason);
    // The NTLM login's two round trips on the current connection; null
    // texts log in without credentials.
    bool NtlmLogin(const char* user, const char* password, const char* domain);
    // Sends `request`; reports `failure` when the write failed.
    bool Send(const std::string& request, const char* failure);

    IProxyConnection& connection;
    // A copy: the caller's settings may be a temporary. Wiped with the exchange.
    const Settings settings;
    std::vector<uint8_t> readArea;
    std::string firstReply;
    std::string code;
    std::string reason;
    std::string failureMessage;  // "Proxy Authentication failed : " and the scheme
    std::string streamStart;
};

} // namespace zan
