#pragma once

#include <cstdint>
#include <string>

namespace zan {

// The end point a datagram belongs to: the port it is addressed to (host
// order), the address text that goes with it, and a display form
// "<address>:<port>" ("0:<port>" for an empty address) for messages.
struct PacketEndpoint {
    uint32_t port = 0;
    std::string address;
    std::string text;

    // Rebuilds `text` from `address` and `port`.
    void UpdateText();
};

} // namespace zan
