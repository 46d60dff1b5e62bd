#include "HostChecks.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>
#include <sstream>

namespace zan {

namespace {

using Kind = HostOptions::Kind;

std::vector<std::string> Words(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

bool IsLoopback(const std::string& address)
{
    in_addr parsed{};
    return ::inet_pton(AF_INET, address.c_str(), &parsed) == 1 && (ntohl(parsed.s_addr) >> 24) == 127;
}

bool IsHex(const std::string& text, size_t bytes)
{
    return text.size() == bytes * 2 && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

void ApplyProperty(TunnelPlan& plan, const std::string& name, const std::string& value, bool& tcpType)
{
    const std::vector<std::string> words = Words(value);
    if (name == "tunnel_cc" && words.size() == 4) {
        plan.keyId = static_cast<uint32_t>(std::strtoul(words[0].c_str(), nullptr, 10));
    } else if (name == "tcp_tunnel_type") {
        tcpType = value == "1";
    } else if (name == "tcp_tunnel_connect" && words.size() == 2) {
        plan.tcpHost = words[0];
        plan.tcpPort = static_cast<uint32_t>(std::strtoul(words[1].c_str(), nullptr, 10));
    } else if (name == "tcp_tunnel" && words.size() == 2) {
        plan.mode = TunnelPlan::Mode::kTcp;
    } else if (name == "receiver_nic") {
        plan.receiverNic = value;
    } else if (name == "tcp_tunnel_proxy") {
        plan.proxy = !words.empty() && words[0] == "1";
    }
}

} // namespace

std::string TunnelPlan::ModeName() const
{
    switch (mode) {
    case Mode::kUdp: return "udp";
    case Mode::kUdpListen: return "udp-listen";
    case Mode::kTcp: return "tcp";
    }
    return "udp";
}

std::string TunnelPlan::Remote() const
{
    switch (mode) {
    case Mode::kTcp: return tcpHost + ":" + std::to_string(tcpPort) + (proxy ? " (through a proxy)" : "");
    case Mode::kUdpListen: return "learned on " + receiverNic + ":" + std::to_string(learnPort);
    case Mode::kUdp: return destination + ":" + std::to_string(destinationPort);
    }
    return {};
}

std::string TunnelPlan::Local() const
{
    std::string text = receiveAddress + ":";
    for (size_t i = 0; i < receivePorts.size(); ++i) {
        text += (i == 0 ? "" : ",") + std::to_string(receivePorts[i]);
    }
    return receivePorts.empty() ? receiveAddress + " (no receive port)" : text;
}

TunnelPlan PlanOf(const std::vector<HostOptions::Action>& actions)
{
    TunnelPlan plan;
    bool tcpType = false;
    bool learning = false;
    for (const HostOptions::Action& action : actions) {
        switch (action.kind) {
        case Kind::Destination:
            plan.destination = action.text;
            plan.destinationPort = action.number;
            break;
        case Kind::LearnPort:
            plan.learnPort = action.number;
            learning = true;
            break;
        case Kind::ReceiveAddress: plan.receiveAddress = action.text; break;
        case Kind::ReceivePort: plan.receivePorts.push_back(action.number); break;
        case Kind::CryptoType: plan.cryptoType = action.number; break;
        case Kind::CryptoKey: plan.legacyKey = !action.text.empty(); break;
        case Kind::SetProperty: ApplyProperty(plan, action.name, action.text, tcpType); break;
        default: break;
        }
    }
    if (plan.mode == TunnelPlan::Mode::kTcp && !tcpType) {
        plan.mode = TunnelPlan::Mode::kUdp;  // tcp_tunnel without type 1 only names the UDP peer
    }
    if (plan.mode == TunnelPlan::Mode::kUdp && plan.destination.empty() && learning) {
        plan.mode = TunnelPlan::Mode::kUdpListen;
    }
    return plan;
}

std::optional<std::string> ResolveIPv4(const std::string& host)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return std::nullopt;
    }
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const bool ok = ::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr;
    ::freeaddrinfo(found);
    return ok ? std::optional<std::string>(text) : std::nullopt;
}

std::vector<CheckFinding> CheckSettings(std::vector<HostOptions::Action>& actions, const Resolver& resolve)
{
    std::vector<CheckFinding> findings;
    const auto fail = [&](std::string message) { findings.push_back({true, std::move(message)}); };
    const auto warn = [&](std::string message) { findings.push_back({false, std::move(message)}); };

    for (HostOptions::Action& action : actions) {
        if (action.kind == Kind::Destination) {
            in_addr numeric{};
            if (::inet_pton(AF_INET, action.text.c_str(), &numeric) != 1) {
                if (const auto address = resolve(action.text)) {
                    action.text = *address;
                } else {
                    fail("--destination " + action.text + " does not resolve to an IPv4 address; give an address "
                         "or a name the resolver knows");
                }
            }
            if (action.number == 0) {
                fail("--destination needs a port from 1 to 65535");
            }
        } else if ((action.kind == Kind::LearnPort || action.kind == Kind::ReceivePort) && action.number == 0) {
            fail(std::string(action.kind == Kind::LearnPort ? "--learn-port" : "--receive-port") +
                 " needs a port from 1 to 65535");
        } else if (action.kind == Kind::SetProperty && action.name == "tunnel_cc") {
            const std::vector<std::string> words = Words(action.text);
            if (words.size() == 4 && (!IsHex(words[1], 32) || !IsHex(words[2], 14))) {
                fail("the tunnel_cc key wants 64 hex digits of key and 28 of salt (make one with "
                     "'zan-tunnel genkey')");
            }
        }
    }

    const TunnelPlan plan = PlanOf(actions);
    if (plan.cryptoType > 8) {
        fail("unknown crypto type " + std::to_string(plan.cryptoType) +
             ": use 0 (plain), 1-7 (legacy ciphers) or 8 (authenticated)");
    } else if (plan.cryptoType == 8 && !plan.keyId) {
        fail("crypto type 8 needs a key: --set-file tunnel_cc=FILE with a key made by 'zan-tunnel genkey'");
    } else if (plan.cryptoType >= 1 && plan.cryptoType <= 7 && !plan.legacyKey) {
        fail("crypto type " + std::to_string(plan.cryptoType) + " needs a key: --crypto-key-file FILE");
    }
    if (plan.mode == TunnelPlan::Mode::kTcp) {
        if (plan.tcpHost.empty() || plan.tcpPort == 0 || plan.tcpPort > 65535) {
            fail("the TCP tunnel needs its relay as HOST:PORT (--tcp HOST:PORT)");
        } else if (!plan.proxy && !resolve(plan.tcpHost)) {
            fail("the TCP relay " + plan.tcpHost + " does not resolve; give an address or a known name");
        }
    } else if (plan.mode == TunnelPlan::Mode::kUdp && plan.destination.empty()) {
        fail("no tunnel peer: give --destination ADDR:PORT, --learn-port PORT or --tcp HOST:PORT");
    }
    if (plan.cryptoType == 0) {
        const std::string& peer = plan.mode == TunnelPlan::Mode::kTcp ? plan.tcpHost : plan.destination;
        const std::optional<std::string> address = peer.empty() ? std::nullopt : resolve(peer);
        const bool remote = plan.mode != TunnelPlan::Mode::kUdpListen && address && !IsLoopback(*address);
        if (remote) {
            warn("crypto type 0 sends the datagrams unprotected to " + peer + "; use --crypto-type 8 with a key file");
        }
        if (plan.mode == TunnelPlan::Mode::kUdpListen && !IsLoopback(plan.receiverNic)) {
            warn("listening on " + plan.receiverNic + ":" + std::to_string(plan.learnPort) +
                 " without protection: the first sender anywhere becomes the peer; use --crypto-type 8");
        }
    }
    return findings;
}

} // namespace zan
