#pragma once

#include <cstdint>
#include <mutex>

namespace zan {

// Index bookkeeping of a fixed ring of slots; the derived buffer owns the
// slots and calls CommitWrite / CommitRead while holding `lock`, so that the
// slots and the indices change together. A full ring overwrites its oldest
// entry: producers never wait for the consumer.
class ICircularBuffer {
public:
    // A consistent snapshot of the bookkeeping, taken under the lock.
    struct State {
        uint32_t readIndex;
        uint32_t writeIndex;
        uint32_t count;
        bool full;
        bool empty;
    };

    ICircularBuffer(const ICircularBuffer&) = delete;
    ICircularBuffer& operator=(const ICircularBuffer&) = delete;

    uint32_t Capacity() const { return capacity; }
    bool IsFull();
    bool IsEmpty();
    State Snapshot();

protected:
    // `slotCount` must be at least 1.
    explicit ICircularBuffer(uint32_t slotCount);
    ~ICircularBuffer() = default;

    uint32_t NextIndex(uint32_t index) const;

    // Must hold `lock`. The slot at `writeIndex` has just been filled: when
    // the ring was full that slot held the oldest entry, which is now gone.
    void CommitWrite();

    // Must hold `lock`, and the ring must not be empty. Drops the entry at
    // `readIndex`; the slot itself keeps whatever it holds for reuse.
    void CommitRead();

    std::mutex lock;  // guards: the indices, count, flags and the derived buffer's slots
    const uint32_t capacity;
    uint32_t readIndex = 0;   // slot of the oldest entry
    uint32_t writeIndex = 0;  // slot the next entry goes into
    uint32_t count = 0;
    bool full = false;
    bool empty = true;
};

} // namespace zan
