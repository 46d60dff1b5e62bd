#pragma once

#include "CMediaThread.h"
#include "TunnelPacket.h"
#include "TunnelStack.h"

namespace zan {

class CTunnel;

// A sender stack: a socket stack whose thread drains the send queue into
// the tunnel, one datagram per pass, waiting up to 1000 ms for one; an idle
// pass lets the engine send a keep-alive when due. The thread ends when the
// engine stops or when the engine's send operation says so.
class TunnelSenderThread : public CMediaThread, public TunnelStack {
public:
    static constexpr uint32_t kPacketSize = 65535;
    static constexpr int64_t kQueueWaitMs = 1000;

    TunnelSenderThread(CTunnel* engine, TunnelStatistics* stats);
    ~TunnelSenderThread() override;

protected:
    int Run() override;

private:
    CTunnel* engine;
    TunnelPacket scratch;
};

} // namespace zan
