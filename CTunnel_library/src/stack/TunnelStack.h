#pragma once

#include "CSyncEvent.h"
#include "ISocketStack.h"
#include "TunnelStackBuffer.h"

#include <atomic>

namespace zan {

class TunnelStatistics;

// A socket stack: a receive queue that the engine fills with datagrams for
// one port (a port stack), and a send queue that a sender stack's thread
// drains into the tunnel. Every call takes only its queue's lock, so a
// sibling module's thread never waits for the engine's.
class TunnelStack : public ISocketStack {
public:
    // `stats` may be null; it counts datagrams a full send queue drops.
    explicit TunnelStack(TunnelStatistics* stats = nullptr);
    ~TunnelStack() override;

    int32_t Receive(void* buffer, uint32_t size) override;
    int32_t ReceiveFrom(void* buffer, uint32_t size, StackAddress* from) override;
    int32_t Send(const void* data, int32_t length) override;
    int32_t SendTo(const void* data, int32_t length, StackAddress to) override;
    CSyncEvent* GetReceiveEvent() override { return &receiveEvent; }
    bool GetLoopback() override { return loopback.load(std::memory_order_acquire); }
    void SetLoopback(bool value) override { loopback.store(value, std::memory_order_release); }
    bool IsSendQueueFull() override { return sendQueue.IsFull(); }
    bool IsReceiveQueueFull() override { return receiveQueue.IsFull(); }

    // For the engine: deliveries into the receive queue, and the sender
    // stack's thread's view of the send queue.
    // Pushes a copy; false when the ring dropped its oldest datagram for it.
    bool Deliver(const TunnelPacket& packet);
    CSyncEvent& SendEvent() { return sendEvent; }
    TunnelStackBuffer& SendQueue() { return sendQueue; }

private:
    TunnelStatistics* stats;
    CSyncEvent sendEvent{false, true};
    StackAddress ownAddress;
    CSyncEvent receiveEvent{false, true};
    TunnelStackBuffer receiveQueue;
    TunnelStackBuffer sendQueue;
    std::atomic<bool> loopback{false};
};

} // namespace zan
