#include "CZAN_DynamicBuffer.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace zan {

namespace {
std::atomic<AllocationFailureHook> failureHook{nullptr};
}

void SetAllocationFailureHook(AllocationFailureHook hook)
{
    failureHook.store(hook);
}

uint8_t* AllocateAligned(size_t size, size_t alignment)
{
    if (AllocationFailureHook hook = failureHook.load(); hook != nullptr && hook(size)) {
        throw std::bad_alloc();
    }
    // aligned_alloc wants a size that is a multiple of the alignment, and a
    // zero-byte request still yields a distinct block.
    const size_t rounded = size == 0 ? alignment : (size + alignment - 1) / alignment * alignment;
    void* block = std::aligned_alloc(alignment, rounded);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return static_cast<uint8_t*>(block);
}

void FreeAligned(uint8_t* block)
{
    std::free(block);
}

CZAN_DynamicBuffer::~CZAN_DynamicBuffer()
{
    FreeAligned(data);
}

void CZAN_DynamicBuffer::Reserve(uint32_t size)
{
    if (size <= capacity) {
        return;
    }
    uint8_t* block = AllocateAligned(size, alignment == 0 ? kDefaultAlignment : alignment);
    FreeAligned(data);
    data = block;
    capacity = size;
}

} // namespace zan
