#include "engine_test_util.h"

#include "CTunnel.h"

#include <filesystem>

namespace zan {

namespace enginetest {

int ThreadCount()
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

void ListenOnLoopback(CTunnel& engine, uint16_t tunnelPort, uint32_t cryptoType, const char* key)
{
    engine.SetReceiverNic("127.0.0.1");
    engine.SetUdpTunnel(nullptr, nullptr, tunnelPort, cryptoType, key, 0);
}

} // namespace enginetest

} // namespace zan
