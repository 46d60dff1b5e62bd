#include "TunnelSocketSenderThread.h"

#include "CTunnel.h"
#include "base_exception.h"

TunnelSocketSenderThread::TunnelSocketSenderThread(CTunnel* engine, const PacketEndpoint& local)
    : engine(engine), local(local)
{
    packet.Reserve(kPacketSize);
    try {
        socket.Bind(local.address.c_str(), local.port);
        socket.SetReceiverBufferLength(static_cast<int32_t>(CTunnel::kSocketBufferSize));
    } catch (const base_exception& e) {
        if (engine != nullptr) {
            engine->ReportError(ThreadErrorReport(e));
        }
        return;
    }
    if (engine != nullptr) {
        Start();
    }
}

TunnelSocketSenderThread::~TunnelSocketSenderThread()
{
    Stop();
}

int TunnelSocketSenderThread::Run()
{
    const bool idle = socket.ReceivePacket(packet) <= 0;
    return engine->SendOrKeepAlive(packet, idle) == CTunnel::kEndThread ? CTunnel::kEndThread : 0;
}
