#pragma once

#include "ISocketStack.h"

#include <cstdint>
#include <string>

namespace zan {

// Makes socket stacks for sibling modules. The virtual slot order is the
// contract with those modules: do not reorder, insert or remove slots.
class ISocketStackFactory {
public:
    // A port stack (port != 0, one per port, the address is not used) or,
    // for port 0, a new sender stack.
    virtual ISocketStack* CreateStack(std::string address, uint32_t port) = 0;
    virtual ISocketStack* CreateSenderStack() = 0;
    // True for null and for a stack released now; false for anything else.
    virtual bool ReleaseStack(ISocketStack* stack) = 0;
    virtual ~ISocketStackFactory() = default;
};

} // namespace zan
