#pragma once

#include <nlohmann/json.hpp>

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace zan {

// Every line the host writes on standard error goes through here: stamped
// with the time (RFC 3339, UTC, milliseconds) and written either as text
// ("2026-01-02T03:04:05.678Z warning: ...") or as one JSON object a line
// with the fields "time", "level", "event" and the line's own fields.
// Lines come from the host thread and from event sinks; one lock keeps
// them whole.
class HostLog {
public:
    enum class Level { kError, kWarning, kInfo, kDebug };
    enum class Format { kText, kJson };

    static HostLog& Instance();

    void Configure(Format format, Level threshold);
    Format LogFormat() const { return format; }
    bool Shows(Level level) const { return level <= threshold; }

    // `event` names what happened ("start", "connect", "stats", ...);
    // `message` is the text line (its text already says what the fields
    // hold); `fields` are added to the JSON object only.
    void Write(Level level, std::string_view event, const std::string& message,
               const nlohmann::json& fields = nlohmann::json::object());

    // Test seam and for the JSON output of counters: the line as written.
    std::string Render(Level level, std::string_view event, const std::string& message,
                       const nlohmann::json& fields, const std::string& time) const;

    // The current time as "YYYY-MM-DDTHH:MM:SS.mmmZ".
    static std::string Now();
    static const char* LevelName(Level level);

private:
    HostLog() = default;

    std::mutex lock;  // guards: writes to `out`
    std::FILE* out = stderr;
    Format format = Format::kText;
    Level threshold = Level::kInfo;
};

inline void LogError(std::string_view event, const std::string& message,
                     const nlohmann::json& fields = nlohmann::json::object())
{
    HostLog::Instance().Write(HostLog::Level::kError, event, message, fields);
}
inline void LogWarning(std::string_view event, const std::string& message,
                       const nlohmann::json& fields = nlohmann::json::object())
{
    HostLog::Instance().Write(HostLog::Level::kWarning, event, message, fields);
}
inline void LogInfo(std::string_view event, const std::string& message,
                    const nlohmann::json& fields = nlohmann::json::object())
{
    HostLog::Instance().Write(HostLog::Level::kInfo, event, message, fields);
}
inline void LogDebug(std::string_view event, const std::string& message,
                     const nlohmann::json& fields = nlohmann::json::object())
{
    HostLog::Instance().Write(HostLog::Level::kDebug, event, message, fields);
}

} // namespace zan
