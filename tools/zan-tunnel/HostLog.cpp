#include "HostLog.h"

#include <chrono>
#include <ctime>

namespace zan {

HostLog& HostLog::Instance()
{
    static HostLog log;
    return log;
}

void HostLog::Configure(Format newFormat, Level newThreshold)
{
    std::lock_guard guard(lock);
    format = newFormat;
    threshold = newThreshold;
}

const char* HostLog::LevelName(Level level)
{
    switch (level) {
    case Level::kError: return "error";
    case Level::kWarning: return "warning";
    case Level::kInfo: return "info";
    case Level::kDebug: return "debug";
    }
    return "info";
}

std::string HostLog::Now()
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
    return text;
}

std::string HostLog::Render(Level level, std::string_view event, const std::string& message,
                            const nlohmann::json& fields, const std::string& time) const
{
    if (format == Format::kJson) {
        nlohmann::json line = {{"time", time}, {"level", LevelName(level)}, {"event", event}};
        if (!message.empty()) {
            line["message"] = message;
        }
        for (const auto& [key, value] : fields.items()) {
            line[key] = value;
        }
        // Invalid UTF-8 in a message (a peer's text) is replaced, never thrown on.
        return line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    std::string text = time + " ";
    if (level != Level::kInfo) {
        text += LevelName(level);
        text += ": ";
    }
    return text + message;
}

void HostLog::Write(Level level, std::string_view event, const std::string& message, const nlohmann::json& fields)
{
    if (!Shows(level)) {
        return;
    }
    const std::string line = Render(level, event, message, fields, Now());
    std::lock_guard guard(lock);
    std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
}

} // namespace zan
