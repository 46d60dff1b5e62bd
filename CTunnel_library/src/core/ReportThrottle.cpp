#include "ReportThrottle.h"

namespace zan {

std::optional<std::string> ReportThrottle::Admit(const std::string& text, int64_t nowMs)
{
    std::lock_guard guard(lock);
    auto found = entries.find(text);
    if (found == entries.end()) {
        if (entries.size() >= kMaxTexts) {
            entries.clear();
        }
        entries.emplace(text, Entry{nowMs, 0});
        return text;
    }
    Entry& entry = found->second;
    // A clock that stepped back counts as a new window, so nothing is held
    // back for ever.
    const int64_t since = nowMs - entry.reportedAtMs;
    if (since >= 0 && since < windowMs) {
        ++entry.heldBack;
        return std::nullopt;
    }
    const uint64_t repeats = entry.heldBack;
    entry = Entry{nowMs, 0};
    if (repeats == 0) {
        return text;
    }
    const bool lineFeed = !text.empty() && text.back() == '\n';
    std::string counted = lineFeed ? text.substr(0, text.size() - 1) : text;
    counted += " (" + std::to_string(repeats) + (repeats == 1 ? " repeat" : " repeats") + " not shown)";
    if (lineFeed) {
        counted += '\n';
    }
    return counted;
}

} // namespace zan
