#include "ThreadWaitPump.h"

namespace zan {

namespace {

thread_local WaitPump currentPump = nullptr;
thread_local void* currentContext = nullptr;

} // namespace

void SetThreadWaitPump(WaitPump pump, void* context)
{
    currentPump = pump;
    currentContext = context;
}

bool RunThreadWaitPump()
{
    if (currentPump == nullptr) {
        return false;
    }
    currentPump(currentContext);
    return true;
}

} // namespace zan
