#pragma once

#include "CMediaThread.h"
#include "CZANSocket.h"
#include "PacketEndpoint.h"
#include "TunnelPacket.h"
#include "TunnelSocket.h"

#include <array>
#include <cstddef>

namespace zan {

class CTunnel;

// Forwards the datagrams of one local receive end point into the tunnel:
// each pass waits up to 200 ms for a datagram, reads it with those already
// waiting behind it and sends them in order, or lets the engine send a
// keep-alive when the tunnel has been idle. Each packet is stamped with the
// local port it arrived on, which travels with it.
class TunnelSocketSenderThread : public CMediaThread {
public:
    static constexpr uint32_t kPacketSize = 65535;
    static constexpr size_t kBatchSize = TunnelSocket::kBatchSize;

    // Binds to the end point and starts the thread. A bind or buffer
    // failure is reported through the engine and leaves the thread idle.
    TunnelSocketSenderThread(CTunnel* engine, const PacketEndpoint& local);
    ~TunnelSocketSenderThread() override;

    const PacketEndpoint& LocalEndPoint() const { return local; }

protected:
    int Run() override;

private:
    CTunnel* engine;
    PacketEndpoint local;
    CZANSocket socket;
    PacketEndpoint stamp;  // the bound socket's own end point, read once
    std::array<TunnelPacket, kBatchSize> packets;
};

} // namespace zan
