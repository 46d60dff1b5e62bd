#pragma once

#include "TunnelStatisticsSnapshot.h"

#include <nlohmann/json.hpp>

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace zan {

// Every counter of a snapshot under a stable name (JSON of --stats and of
// the status file).
nlohmann::json CountersOf(const TunnelStatisticsSnapshot& snapshot);

// The counters as one text line: "name=value name=value ...".
std::string CountersText(const nlohmann::json& counters);

// Writes `content` to `path` through a temporary file in the same folder
// and a rename, so a reader sees the old or the new file, never a part.
// False (errno set) when it could not.
bool WriteFileAtomically(const std::string& path, const std::string& content);

// Warnings for datagrams dropped because the two ends do not match (key,
// key id or packet format): at most one a minute per reason.
class DropWarnings {
public:
    using Clock = std::chrono::steady_clock;
    struct Warning {
        std::string reason;  // stable name: "format", "no_key", "authentication"
        uint64_t count;      // drops since the last warning of this reason
        std::string message;
    };
    // The warnings due for the counters of `snapshot` at `now`.
    std::vector<Warning> Check(const TunnelStatisticsSnapshot& snapshot, Clock::time_point now);

    static constexpr std::chrono::seconds kInterval{60};

private:
    struct Reason {
        uint64_t warnedAt = 0;  // the count when it was last warned of
        std::optional<Clock::time_point> lastWarning;
    };
    std::array<Reason, 3> reasons{};
};

} // namespace zan
