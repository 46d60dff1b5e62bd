#include "TunnelSenderThread.h"

#include "CTunnel.h"

namespace zan {

TunnelSenderThread::TunnelSenderThread(CTunnel* engine, TunnelStatistics* stats)
    : TunnelStack(stats), engine(engine)
{
    scratch.Reserve(kPacketSize);
}

TunnelSenderThread::~TunnelSenderThread()
{
    Stop();
}

int TunnelSenderThread::Run()
{
    if (engine->SenderStopRequested()) {
        return CTunnel::kEndThread;
    }
    // The event is manual-reset and cleared only when the queue empties, so
    // passes follow each other without waiting while datagrams remain.
    const bool popped = SendEvent().Wait(kQueueWaitMs) && SendQueue().PopPacket(scratch);
    return engine->SendOrKeepAlive(scratch, !popped) == CTunnel::kEndThread ? CTunnel::kEndThread : CTunnel::kRunAgain;
}

} // namespace zan
