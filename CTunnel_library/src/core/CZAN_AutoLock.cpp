#include "CZAN_AutoLock.h"

namespace zan {

CZAN_AutoLock::CZAN_AutoLock(std::mutex* mutex) : mutex(mutex)
{
    // A failing lock throws std::system_error before the pointer counts as
    // held, so the destructor never unlocks a mutex it did not take.
    if (mutex != nullptr) {
        mutex->lock();
    }
}

CZAN_AutoLock::~CZAN_AutoLock()
{
    if (mutex != nullptr) {
        mutex->unlock();
    }
}

} // namespace zan
