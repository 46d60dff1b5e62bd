#pragma once

namespace zan {

// A host thread that serves a call queue (an apartment) installs a pump, so
// that the long waits it makes inside the module (joining a worker, a TCP
// connect) keep serving that queue. A worker that reports to the host while
// the host joins it then cannot deadlock. The pump is per thread.
using WaitPump = void (*)(void* context);

void SetThreadWaitPump(WaitPump pump, void* context);

// Runs the calling thread's pump once; false when it has none.
bool RunThreadWaitPump();

} // namespace zan
