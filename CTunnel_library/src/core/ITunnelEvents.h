#pragma once

#include <cstdint>

namespace zan {

// The engine's reports to its owner. Called from any engine thread; text
// arguments are valid only during the call.
class ITunnelEvents {
public:
    virtual void OnConnected(const char* host, uint16_t port) = 0;
    virtual void OnDisconnected(const char* host, uint32_t code) = 0;
    // `code` is always E_FAIL.
    virtual void OnError(const char* message, uint32_t code) = 0;
    // The listening end of a UDP tunnel now sends to another peer address
    // ("address:port" texts). Once per change; a sink may ignore it.
    virtual void OnPeerChanged(const char* oldAddress, const char* newAddress)
    {
        (void)oldAddress;
        (void)newAddress;
    }

protected:
    ~ITunnelEvents() = default;
};

} // namespace zan
