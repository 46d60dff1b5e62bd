#pragma once

#include "ISocketStackFactory.h"

namespace zan {

class CTunnel;

// The factory handed to sibling modules; every slot forwards to the
// engine's stack registry. Valid as long as the engine.
class TunnelStackFactory : public ISocketStackFactory {
public:
    explicit TunnelStackFactory(CTunnel* tunnel) : tunnel(tunnel) {}

    ISocketStack* CreateStack(std::string address, uint32_t port) override;
    ISocketStack* CreateSenderStack() override;
    bool ReleaseStack(ISocketStack* stack) override;

private:
    CTunnel* tunnel;
};

} // namespace zan
