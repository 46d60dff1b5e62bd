#include "TunnelStack.h"

#include "TunnelStatistics.h"

namespace zan {

TunnelStack::TunnelStack(TunnelStatistics* stats) : stats(stats)
{
    receiveQueue.SetNotifyEvent(&receiveEvent);
    sendQueue.SetNotifyEvent(&sendEvent);
}

TunnelStack::~TunnelStack()
{
    receiveQueue.SetNotifyEvent(nullptr);
    sendQueue.SetNotifyEvent(nullptr);
}

int32_t TunnelStack::Receive(void* buffer, uint32_t size)
{
    StackAddress discarded;
    return ReceiveFrom(buffer, size, &discarded);
}

int32_t TunnelStack::ReceiveFrom(void* buffer, uint32_t size, StackAddress* from)
{
    if (buffer == nullptr) {
        return -1;
    }
    uint32_t length = size;
    PacketEndpoint endpoint;
    uint8_t kind = 0;
    // A datagram longer than `size` stays queued; the caller must offer more.
    if (!receiveQueue.Pop(buffer, length, endpoint, kind)) {
        return 0;
    }
    if (from != nullptr) {
        from->address = std::move(endpoint.address);
        from->port = endpoint.port;
    }
    return static_cast<int32_t>(length);
}

int32_t TunnelStack::Send(const void* data, int32_t length)
{
    return SendTo(data, length, ownAddress);
}

int32_t TunnelStack::SendTo(const void* data, int32_t length, StackAddress to)
{
    // A negative length or null data with a length cannot be queued; the
    // caller learns it from a result that differs from what it passed.
    if (length < 0 || (data == nullptr && length != 0)) {
        return -1;
    }
    const bool overwrites = sendQueue.IsFull();
    PacketEndpoint endpoint;
    endpoint.port = to.port;
    endpoint.address = std::move(to.address);
    if (!sendQueue.PushData(data, static_cast<uint32_t>(length), std::move(endpoint), TunnelPacket::kDataKind)) {
        return -1;
    }
    if (overwrites && stats != nullptr) {
        stats->RingOverwritten();
    }
    return length;
}

bool TunnelStack::Deliver(const TunnelPacket& packet)
{
    const bool overwrites = receiveQueue.IsFull();
    const bool stored = receiveQueue.Push(packet);
    if (overwrites && stored && stats != nullptr) {
        stats->RingOverwritten();
    }
    return stored && !overwrites;
}

} // namespace zan
