#include "ModuleLock.h"

#include <atomic>

namespace zan {

namespace {

std::atomic<int64_t> locks{0};

} // namespace

void ModuleLock::Lock()
{
    locks.fetch_add(1, std::memory_order_relaxed);
}

void ModuleLock::Unlock()
{
    // Release: whatever the last object did happens before a reader that
    // sees 0 decides to unload the module.
    locks.fetch_sub(1, std::memory_order_release);
}

int64_t ModuleLock::Count()
{
    return locks.load(std::memory_order_acquire);
}

} // namespace zan
