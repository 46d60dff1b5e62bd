#pragma once

#include <cstdint>

namespace zan {

// The state of the TCP tunnel's connection. The settled states are those a
// transfer can see (it holds the connection lock shared, and every change
// of state happens with it held exclusively); kConnecting and kProxyExchange
// last only while a connect holds the lock.
//
//   kClosed --Connect--> kConnecting [--proxy--> kProxyExchange] --> kEstablished
//   kEstablished --transfer fails / stream error--> kLost
//   kLost --loss reported--> kReconnecting --try--> kConnecting ...
//   a failed connect (the first one too) is a failed try: kReconnecting,
//   or kGivenUp once a limit of tries is reached or at Shutdown (final
//   for the reading side; only a new Connect leaves it)
enum class TcpConnectionState : uint8_t {
    kClosed,         // no connect was made yet
    kConnecting,     // opening the TCP connection (to the peer or the proxy)
    kProxyExchange,  // connected to the proxy, asking it for the peer
    kEstablished,    // frames flow
    kLost,           // a transfer found the connection gone; not yet handled
    kReconnecting,   // the loss was reported; attempts are being made
    kGivenUp,        // no further attempt: transfers fail for good
};

[[nodiscard]] constexpr bool IsAllowedTransition(TcpConnectionState from, TcpConnectionState to)
{
    using S = TcpConnectionState;
    switch (from) {
    case S::kClosed: return to == S::kConnecting || to == S::kGivenUp;
    case S::kConnecting:
        return to == S::kProxyExchange || to == S::kEstablished || to == S::kReconnecting || to == S::kGivenUp;
    case S::kProxyExchange: return to == S::kEstablished || to == S::kReconnecting || to == S::kGivenUp;
    case S::kEstablished: return to == S::kLost || to == S::kConnecting || to == S::kGivenUp;
    case S::kLost: return to == S::kReconnecting || to == S::kConnecting || to == S::kGivenUp;
    case S::kReconnecting: return to == S::kConnecting || to == S::kGivenUp;
    case S::kGivenUp: return to == S::kConnecting;
    }
    return false;
}

[[nodiscard]] constexpr const char* StateName(TcpConnectionState state)
{
    using S = TcpConnectionState;
    switch (state) {
    case S::kClosed: return "closed";
    case S::kConnecting: return "connecting";
    case S::kProxyExchange: return "proxy exchange";
    case S::kEstablished: return "established";
    case S::kLost: return "lost";
    case S::kReconnecting: return "reconnecting";
    case S::kGivenUp: return "given up";
    }
    return "?";
}

} // namespace zan
