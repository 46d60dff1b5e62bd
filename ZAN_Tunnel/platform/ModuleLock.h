#pragma once

#include <cstdint>

namespace zan {

// The module's lock count: one per living object whose code is in the
// module (controls, class factories) and one per server lock. The module
// may be unloaded only while it is 0. Atomic: objects die on any thread.
class ModuleLock {
public:
    static void Lock();
    static void Unlock();
    static int64_t Count();

    // One lock for the life of the holder.
    class Holder {
    public:
        Holder() { Lock(); }
        ~Holder() { Unlock(); }
        Holder(const Holder&) { Lock(); }
        Holder& operator=(const Holder&) = default;
    };
};

} // namespace zan
