#pragma once

#include "ZAN_Time.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>

namespace zan {

// Replaces the module's clock for one test, so key switch deadlines are
// reached by setting the time rather than by waiting.
class FakeClock {
public:
    FakeClock() { SetTimeSource(&Now); }
    ~FakeClock() { SetTimeSource(nullptr); }
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    void Set(int64_t ms) { now.store(ms); }

private:
    static int64_t Now() { return now.load(); }
    static inline std::atomic<int64_t> now{1'000'000};
};

} // namespace zan
