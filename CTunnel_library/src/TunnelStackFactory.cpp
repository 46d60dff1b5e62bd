#include "TunnelStackFactory.h"

#include "CTunnel.h"

namespace zan {

ISocketStack* TunnelStackFactory::CreateStack(std::string /*address*/, uint32_t port)
{
    // The registry is keyed by port alone; the address is not used.
    return tunnel->CreatePortStack(port);
}

ISocketStack* TunnelStackFactory::CreateSenderStack()
{
    return tunnel->CreateSenderStack();
}

bool TunnelStackFactory::ReleaseStack(ISocketStack* stack)
{
    return tunnel->ReleaseStack(stack);
}

} // namespace zan
