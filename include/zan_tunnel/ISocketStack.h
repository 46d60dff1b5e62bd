#pragma once

#include "CSyncEvent.h"

#include <cstdint>
#include <string>

namespace zan {

// Address of a socket-stack datagram.
struct StackAddress {
    std::string address;
    uint32_t port = 0;
};

// A datagram socket for sibling modules in the same process, addressed by
// port number. The virtual slot order is the contract with those modules:
// do not reorder, insert or remove slots.
class ISocketStack {
public:
    // The oldest queued datagram: its length; 0 when none is queued or it
    // does not fit in `size` (it then stays queued); -1 for a null buffer.
    virtual int32_t Receive(void* buffer, uint32_t size) = 0;
    virtual int32_t ReceiveFrom(void* buffer, uint32_t size, StackAddress* from) = 0;
    // Queue a datagram for the tunnel; never blocks, drops the oldest when
    // the queue is full; returns `length`.
    virtual int32_t Send(const void* data, int32_t length) = 0;
    virtual int32_t SendTo(const void* data, int32_t length, StackAddress to) = 0;
    // Signaled exactly while the receive queue holds a datagram.
    virtual CSyncEvent* GetReceiveEvent() = 0;
    virtual bool GetLoopback() = 0;
    virtual void SetLoopback(bool loopback) = 0;
    virtual bool IsSendQueueFull() = 0;
    virtual bool IsReceiveQueueFull() = 0;
    virtual ~ISocketStack() = default;
};

} // namespace zan
