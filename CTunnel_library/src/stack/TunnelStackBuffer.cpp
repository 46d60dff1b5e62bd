#include "TunnelStackBuffer.h"

#include "CSyncEvent.h"
#include "CZAN_AutoLock.h"

#include <cstring>
#include <new>

namespace zan {

TunnelStackBuffer::TunnelStackBuffer() : ICircularBuffer(kSlotCount)
{
}

TunnelStackBuffer::~TunnelStackBuffer() = default;

bool TunnelStackBuffer::Push(const TunnelPacket& packet)
{
    CZAN_AutoLock guard(&lock);
    TunnelPacket& slot = slots[writeIndex];
    try {
        // Grow the address first: the copy below then cannot fail after it
        // has begun overwriting the slot, which may hold the oldest datagram.
        slot.endpoint.address.reserve(packet.endpoint.address.size());
        slot = packet;
    } catch (const std::bad_alloc&) {
        return false;
    }
    CommitPush();
    return true;
}

bool TunnelStackBuffer::PushData(const void* data, uint32_t length, PacketEndpoint endpoint,
                                 uint8_t kind)
{
    if (data == nullptr && length != 0) {
        return false;
    }
    CZAN_AutoLock guard(&lock);
    TunnelPacket& slot = slots[writeIndex];
    try {
        slot.endpoint.address.reserve(endpoint.address.size());
        slot.Assign(data, length, endpoint, kind);
    } catch (const std::bad_alloc&) {
        return false;
    }
    CommitPush();
    return true;
}

bool TunnelStackBuffer::Pop(void* buffer, uint32_t& length, PacketEndpoint& endpoint, uint8_t& kind)
{
    CZAN_AutoLock guard(&lock);
    if (empty) {
        return false;
    }
    const TunnelPacket& slot = slots[readIndex];
    const uint32_t bufferSize = buffer != nullptr ? length : 0;
    length = slot.length;
    if (bufferSize < slot.length) {
        return false;
    }
    try {
        endpoint.address = slot.endpoint.address;
    } catch (const std::bad_alloc&) {
        return false;
    }
    endpoint.port = slot.endpoint.port;
    kind = slot.kind;
    if (slot.length != 0) {
        std::memcpy(buffer, slot.data, slot.length);
    }
    CommitPop();
    return true;
}

bool TunnelStackBuffer::PopPacket(TunnelPacket& packet)
{
    CZAN_AutoLock guard(&lock);
    if (empty) {
        return false;
    }
    try {
        packet = slots[readIndex];
    } catch (const std::bad_alloc&) {
        return false;
    }
    CommitPop();
    return true;
}

void TunnelStackBuffer::SetNotifyEvent(CSyncEvent* event)
{
    CZAN_AutoLock guard(&lock);
    notifyEvent = event;
    if (notifyEvent == nullptr) {
        return;
    }
    if (empty) {
        notifyEvent->Reset();
    } else {
        notifyEvent->Set();
    }
}

void TunnelStackBuffer::CommitPush()
{
    CommitWrite();
    if (notifyEvent != nullptr) {
        notifyEvent->Set();
    }
}

void TunnelStackBuffer::CommitPop()
{
    CommitRead();
    if (empty && notifyEvent != nullptr) {
        notifyEvent->Reset();
    }
}

} // namespace zan
