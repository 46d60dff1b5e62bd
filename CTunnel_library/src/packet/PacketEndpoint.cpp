#include "PacketEndpoint.h"

namespace zan {

void PacketEndpoint::UpdateText()
{
    text = (address.empty() ? std::string("0") : address) + ":" + std::to_string(port);
}

} // namespace zan
