#pragma once

#include "ZAN_Time.h"

#include <atomic>
#include <cstdint>

namespace zan {

// Replaces the module's clock while it lives, so that deadlines (key
// switches, keep-alives, record times) are reached by setting the time
// rather than by waiting. One at a time.
class FakeClock {
public:
    explicit FakeClock(int64_t start = 1'000'000)
    {
        now.store(start);
        SetTimeSource(&Read);
    }
    ~FakeClock() { SetTimeSource(nullptr); }
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    void Set(int64_t ms) { now.store(ms); }
    void Advance(int64_t ms) { now.fetch_add(ms); }
    [[nodiscard]] int64_t Now() const { return now.load(); }

private:
    static int64_t Read() { return now.load(); }
    static inline std::atomic<int64_t> now{0};
};

} // namespace zan
