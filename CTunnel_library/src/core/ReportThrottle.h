#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace zan {

// Keeps a repeating report from flooding the log: a text is let through at
// most once per window (a minute by default). Repeats inside the window are
// counted, and the next time the text is let through it carries that count.
// Texts are told apart whole; a report ending in a line feed keeps it last.
class ReportThrottle {
public:
    static constexpr int64_t kDefaultWindowMs = 60000;
    // Distinct texts remembered; beyond that the oldest memory is cleared.
    static constexpr size_t kMaxTexts = 64;

    explicit ReportThrottle(int64_t windowMs = kDefaultWindowMs) : windowMs(windowMs) {}

    // The text to report now (with the count of the repeats held back since
    // it was last reported), or nothing when it is held back.
    [[nodiscard]] std::optional<std::string> Admit(const std::string& text, int64_t nowMs);

private:
    struct Entry {
        int64_t reportedAtMs = 0;
        uint64_t heldBack = 0;
    };

    const int64_t windowMs;
    std::mutex lock;  // guards: entries
    std::map<std::string, Entry> entries;
};

} // namespace zan
