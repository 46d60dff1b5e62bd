#pragma once

#include "HostOptions.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zan {

// What the settings of a command line (and its config file) amount to,
// read from the actions in the order the control will get them.
struct TunnelPlan {
    enum class Mode { kUdp, kUdpListen, kTcp };
    Mode mode = Mode::kUdp;
    std::string destination;  // UDP peer address as given
    uint32_t destinationPort = 0;
    uint32_t learnPort = 0;
    std::string tcpHost;  // tcp_tunnel_connect
    uint32_t tcpPort = 0;
    std::string receiveAddress = "127.0.0.2";
    std::vector<uint32_t> receivePorts;
    std::string receiverNic = "0.0.0.0";
    uint32_t cryptoType = 0;
    bool legacyKey = false;                 // crypto key text for types 1-7
    std::optional<uint32_t> keyId;          // tunnel_cc key of type 8
    bool proxy = false;

    std::string ModeName() const;
    // "127.0.0.1:7000", "listening on 0.0.0.0:7000", "relay.example:443".
    std::string Remote() const;
    // "127.0.0.2:5004,5006".
    std::string Local() const;
};

TunnelPlan PlanOf(const std::vector<HostOptions::Action>& actions);

struct CheckFinding {
    bool fatal;           // the tunnel cannot work: no start
    std::string message;  // one line: what is wrong and what to do
};

// Resolves a host name to a numeric IPv4 address; nothing when it does not
// resolve. Passed in so that tests need no name service.
using Resolver = std::function<std::optional<std::string>(const std::string&)>;
std::optional<std::string> ResolveIPv4(const std::string& host);

// Runs every check on the settings. A UDP destination given as a name is
// replaced in `actions` by the address it resolves to (the control takes
// numeric addresses only).
std::vector<CheckFinding> CheckSettings(std::vector<HostOptions::Action>& actions, const Resolver& resolve);

} // namespace zan
