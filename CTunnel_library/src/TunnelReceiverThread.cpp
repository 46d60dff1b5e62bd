#include "TunnelReceiverThread.h"

#include "CTunnel.h"

namespace zan {

int TunnelReceiverThread::Run()
{
    return engine->ReceiveLoop();
}

} // namespace zan
