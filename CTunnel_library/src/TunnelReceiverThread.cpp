#include "TunnelReceiverThread.h"

#include "CTunnel.h"

int TunnelReceiverThread::Run()
{
    return engine->ReceiveLoop();
}
