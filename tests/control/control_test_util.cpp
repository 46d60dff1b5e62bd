#include "control_test_util.h"

#include "CNetworkSocket.h"

namespace zan {

namespace controltest {

uint16_t FreePort()
{
    CNetworkSocket probe;
    probe.OpenUdp();
    probe.Bind("127.0.0.1", 0);
    std::string address;
    uint32_t port = 0;
    probe.GetLocalEndPoint(address, port);
    return static_cast<uint16_t>(port);
}

} // namespace controltest

} // namespace zan
