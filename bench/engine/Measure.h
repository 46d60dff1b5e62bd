#pragma once

// The two measurements made on every path:
//
//   FindMaxRate  the highest offered rate the path carries with at most
//                0.1% loss, found by a short search over offered rates;
//                each step sends a bounded number of numbered datagrams for
//                a bounded time and counts what came out.
//   MeasureRtt   round trips under light load: one datagram per slot (1000
//                per second), echoed at the far end back through the path.

#include "Paths.h"

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace zan {

namespace enginebench {

struct Settings {
    std::chrono::milliseconds step{400};  // traffic time of one search step
    uint64_t minCount = 4000;             // so that 0.1% is a few datagrams
    uint64_t maxCount = 400000;
    std::chrono::milliseconds stepLimit{2000};
    int searchSteps = 6;
    double maxLoss = 0.001;
    uint64_t rttCount = 1500;
    double rttRate = 1000;
    bool verbose = false;  // every step on standard error
};

struct StepResult {
    double offered = 0;    // per second; 0: as fast as the sender could
    uint64_t sent = 0;
    uint64_t received = 0;
    uint64_t reordered = 0;
    double seconds = 0;    // from the first send to the last arrival
    double cpuSeconds = 0; // of the whole process (load, path and sink) over the step
    [[nodiscard]] double Loss() const { return sent == 0 ? 1.0 : 1.0 - double(received) / double(sent); }
    [[nodiscard]] double Delivered() const { return seconds <= 0 ? 0 : double(received) / seconds; }
    [[nodiscard]] double CpuUsPerDatagram() const { return received == 0 ? 0 : cpuSeconds * 1e6 / double(received); }
};

struct RateResult {
    bool found = false;  // some step met the loss bound
    StepResult best;     // the passing step that delivered the most per second
    uint64_t reordered = 0;  // over every step
    int steps = 0;
};

struct RttResult {
    double p50Us = 0;
    double p99Us = 0;
    uint64_t samples = 0;
    uint64_t lost = 0;
};

[[nodiscard]] RateResult FindMaxRate(const Route& route, size_t payload, const Settings& settings);
[[nodiscard]] RttResult MeasureRtt(const Path& path, size_t payload, const Settings& settings);

}  // namespace enginebench

} // namespace zan
