#pragma once

#include "ICircularBuffer.h"
#include "PacketEndpoint.h"
#include "TunnelPacket.h"

#include <array>
#include <cstdint>

namespace zan {

class CSyncEvent;

// A queue of datagrams for the socket stack: a ring of 400 packet slots.
//
//   producers (engine threads)            consumer (a sibling module's thread)
//   Push / PushData ---> [ slots ] ---> Pop / PopPacket
//
// Producers never wait: when the ring is full a push overwrites the oldest
// datagram. Every operation runs under the ring's lock. The optional
// notification event is set and reset under that lock too, so it is
// signaled exactly while at least one datagram is queued (ring lock first,
// then the event's own lock).
//
// Slot blocks are allocated on first use and then reused, so a steady
// stream of similar datagrams allocates nothing. When a slot's block cannot
// be grown (out of memory), the datagram is not stored: the slot keeps what
// it held, the indices and the count do not move, the event is untouched
// and Push / PushData return false.
class TunnelStackBuffer : public ICircularBuffer {
public:
    static constexpr uint32_t kSlotCount = 400;

    TunnelStackBuffer();
    virtual ~TunnelStackBuffer();

    // Appends a copy of `packet` (copy-assignment rules of TunnelPacket).
    // True when stored; false only when the slot's block could not be had.
    bool Push(const TunnelPacket& packet);

    // Appends `length` bytes from `data`. False, with nothing stored, for
    // null `data` with a non-zero length or when the block could not be had.
    bool PushData(const void* data, uint32_t length, PacketEndpoint endpoint, uint8_t kind);

    // Takes the oldest datagram out into `buffer`, which holds `length`
    // bytes (a null buffer counts as holding none). On return `length` is
    // the datagram's length. False when the ring is empty (`length` then
    // unchanged) or when the buffer is too small: the datagram then stays
    // first in the ring and `length` tells the size needed. Only the port
    // and address of `endpoint` are written.
    bool Pop(void* buffer, uint32_t& length, PacketEndpoint& endpoint, uint8_t& kind);

    // Takes the oldest datagram out by copy assignment into `packet` (the
    // sender stack's scratch packet). False when empty, or when the copy
    // could not allocate: the datagram then stays first in the ring.
    bool PopPacket(TunnelPacket& packet);

    // Sets the event that mirrors "not empty" (not owned; may be null). Its
    // state is brought in line with the ring at once.
    void SetNotifyEvent(CSyncEvent* event);

private:
    // Must hold `lock`. Records the filled slot and wakes the consumer.
    void CommitPush();
    // Must hold `lock`. Drops the oldest datagram; clears the event when the
    // ring becomes empty.
    void CommitPop();

    std::array<TunnelPacket, kSlotCount> slots;  // guarded by `lock`
    CSyncEvent* notifyEvent = nullptr;           // guarded by `lock`
};

} // namespace zan
