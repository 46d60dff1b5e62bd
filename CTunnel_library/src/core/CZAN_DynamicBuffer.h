#pragma once

#include <cstddef>
#include <cstdint>

namespace zan {

// A grow-only, aligned scratch buffer for packet building. Reserve never
// shrinks and never copies: the packet paths stop allocating once the
// largest packet has been seen.
class CZAN_DynamicBuffer {
public:
    static constexpr uint32_t kDefaultAlignment = 32;

    CZAN_DynamicBuffer() = default;
    virtual ~CZAN_DynamicBuffer();

    CZAN_DynamicBuffer(const CZAN_DynamicBuffer&) = delete;
    CZAN_DynamicBuffer& operator=(const CZAN_DynamicBuffer&) = delete;

    // Makes room for `size` bytes. A larger size replaces the block (its
    // contents are then undefined); throws std::bad_alloc and keeps the old
    // block when the new one cannot be had.
    void Reserve(uint32_t size);

    uint8_t* Data() { return data; }
    const uint8_t* Data() const { return data; }
    uint32_t Capacity() const { return capacity; }

private:
    uint8_t* data = nullptr;
    uint32_t capacity = 0;
    uint32_t alignment = 0;  // 0 means kDefaultAlignment
};

// Aligned allocation shared by the module's packet blocks; sizes are rounded
// up to a whole number of alignment units. Throw std::bad_alloc on failure.
uint8_t* AllocateAligned(size_t size, size_t alignment);
void FreeAligned(uint8_t* block);

// Tests make allocations fail to reach the out-of-memory paths: while a hook
// is installed, AllocateAligned throws std::bad_alloc whenever the hook
// returns true for the requested size. nullptr removes it. Process-wide.
using AllocationFailureHook = bool (*)(size_t size);
void SetAllocationFailureHook(AllocationFailureHook hook);

} // namespace zan
