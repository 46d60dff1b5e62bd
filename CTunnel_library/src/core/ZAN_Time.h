#pragma once

#include <cstdint>

namespace zan {

// Wall clock in milliseconds since 1970-01-01 UTC. Used for time stamps and
// intervals (keep-alive spacing, recording times).
int64_t GetTimeMs();

// Blocks the calling thread for at least `ms` milliseconds (nothing for ms <= 0).
void SleepMs(int64_t ms);

// Tests replace the clock to step time forwards or backwards without
// waiting; nullptr restores the system clock. The source is process-wide.
using TimeSource = int64_t (*)();
void SetTimeSource(TimeSource source);

} // namespace zan
