#include "ICircularBuffer.h"

#include "CZAN_AutoLock.h"

namespace zan {

ICircularBuffer::ICircularBuffer(uint32_t slotCount) : capacity(slotCount)
{
}

bool ICircularBuffer::IsFull()
{
    CZAN_AutoLock guard(&lock);
    return full;
}

bool ICircularBuffer::IsEmpty()
{
    CZAN_AutoLock guard(&lock);
    return empty;
}

ICircularBuffer::State ICircularBuffer::Snapshot()
{
    CZAN_AutoLock guard(&lock);
    return State{readIndex, writeIndex, count, full, empty};
}

uint32_t ICircularBuffer::NextIndex(uint32_t index) const
{
    return index + 1 < capacity ? index + 1 : 0;
}

void ICircularBuffer::CommitWrite()
{
    if (full) {
        // The write landed on the oldest entry: the reader skips it.
        readIndex = NextIndex(readIndex);
        --count;
        full = false;
    }
    writeIndex = NextIndex(writeIndex);
    ++count;
    full = count >= capacity;
    empty = false;
}

void ICircularBuffer::CommitRead()
{
    readIndex = NextIndex(readIndex);
    --count;
    empty = count == 0;
    full = false;
}

} // namespace zan
