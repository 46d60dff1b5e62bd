#pragma once

#include <mutex>

namespace zan {

// Scoped lock over a plain mutex. A null mutex pointer makes it a no-op, so
// code that may or may not have a lock to take reads the same either way.
class CZAN_AutoLock {
public:
    explicit CZAN_AutoLock(std::mutex* mutex);
    virtual ~CZAN_AutoLock();

    CZAN_AutoLock(const CZAN_AutoLock&) = delete;
    CZAN_AutoLock& operator=(const CZAN_AutoLock&) = delete;

private:
    std::mutex* mutex;
};

} // namespace zan
