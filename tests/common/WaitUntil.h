#pragma once

#include <chrono>
#include <thread>

namespace zan {

// Polls `pred` every millisecond until it holds or `ms` milliseconds have
// passed; returns whether it held. Tests wait on behaviour, never on time.
template <typename Pred>
bool WaitUntil(Pred pred, int ms = 10000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace zan
