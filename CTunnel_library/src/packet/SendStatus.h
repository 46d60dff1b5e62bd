#pragma once

#include "TunnelPacketFormat.h"

#include <cstdint>

namespace zan {

// What became of one packet handed to a tunnel socket. The sockets keep
// their integer results (their callers and tests know those values); the
// engine turns each result into a SendStatus once, where it receives it,
// and decides on the name rather than on the number. The two sockets read
// their numbers differently: 0 from the UDP send is a failure, while 0 from
// the TCP send means the connection was found lost.
enum class SendStatus : uint8_t {
    kSent,            // the packet left (or, on TCP, was queued for the connection)
    kConnectionLost,  // TCP: the connection was lost under this packet; it is not resent
    kRefused,         // the payload cannot be carried (size, kind, type)
    kCryptoError,     // sealing gave no output
    kDigestError,     // the traffic keys are invalid or the digest failed
    kSocketError,     // the system refused the datagram
    kGaveUp,          // TCP: no connection and no further attempt
};

// Integer results of the TCP tunnel socket besides a byte count.
inline constexpr int32_t kTcpConnectionLost = 0;
inline constexpr int32_t kTcpGaveUp = -4;

// The packet builder's failures, shared by both sockets.
[[nodiscard]] constexpr SendStatus BuildFailureStatus(int32_t result)
{
    switch (result) {
    case TunnelPacketFormat::kCryptoError: return SendStatus::kCryptoError;
    case TunnelPacketFormat::kDigestError: return SendStatus::kDigestError;
    default: return SendStatus::kRefused;
    }
}

// The UDP tunnel socket: bytes sent above 0; 0 and other negative values
// are socket failures.
[[nodiscard]] constexpr SendStatus UdpSendStatus(int32_t result)
{
    if (result > 0) {
        return SendStatus::kSent;
    }
    if (result == TunnelPacketFormat::kBuildRefused || result == TunnelPacketFormat::kCryptoError ||
        result == TunnelPacketFormat::kDigestError) {
        return BuildFailureStatus(result);
    }
    return SendStatus::kSocketError;
}

// The TCP tunnel socket: the frame's size above 0; 0 for a lost connection
// (a reconnection is under way); kTcpGaveUp; the builder's failures.
[[nodiscard]] constexpr SendStatus TcpSendStatus(int32_t result)
{
    if (result > 0) {
        return SendStatus::kSent;
    }
    if (result == kTcpConnectionLost) {
        return SendStatus::kConnectionLost;
    }
    if (result == kTcpGaveUp) {
        return SendStatus::kGaveUp;
    }
    return BuildFailureStatus(result);
}

} // namespace zan
