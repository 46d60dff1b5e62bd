#include "TunnelSocketSenderThread.h"

#include "CTunnel.h"
#include "base_exception.h"

namespace zan {

TunnelSocketSenderThread::TunnelSocketSenderThread(CTunnel* engine, const PacketEndpoint& local)
    : engine(engine), local(local)
{
    // Each packet of a batch can take the largest datagram.
    for (TunnelPacket& packet : packets) {
        packet.Reserve(kPacketSize);
    }
    try {
        socket.Bind(local.address.c_str(), local.port);
        socket.SetReceiverBufferLength(static_cast<int32_t>(CTunnel::kSocketBufferSize));
        stamp = socket.LocalEndPoint();
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
    const size_t received = socket.ReceivePackets(packets, stamp);
    engine->CountLocalReads(socket.TakeReadCounts());
    const int result = received == 0 ? engine->SendOrKeepAlive(packets[0], true)
                                     : engine->SendDatagrams(std::span(packets.data(), received));
    return result == CTunnel::kEndThread ? CTunnel::kEndThread : CTunnel::kRunAgain;
}

} // namespace zan
