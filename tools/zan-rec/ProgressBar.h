#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

namespace zan {

// A one-line progress bar for a terminal: the line is redrawn in place
// (carriage return, no line feed) at most every kRedrawMs and erased by
// Finish, so nothing of it stays in the output. Used only where standard
// error is a terminal: in a file the redraws would pile up as garbage.
class ProgressBar {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    static constexpr int64_t kRedrawMs = 100;
    static constexpr int kWidth = 30;  // cells of the bar itself

    ProgressBar(std::ostream& out, std::string label, uint64_t total, Clock clock = std::chrono::steady_clock::now);
    ~ProgressBar() { Finish(); }

    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // `done` of `total` units are behind us; draws when due.
    void Update(uint64_t done);
    // Erases the line. Idempotent.
    void Finish();

private:
    void Draw(uint64_t done);

    std::ostream& out;
    const std::string label;
    const uint64_t total;
    const Clock clock;
    std::chrono::steady_clock::time_point lastDraw{};
    bool drawn = false;
    bool finished = false;
    size_t lineLength = 0;
};

// Files at least this large get a progress bar on a terminal.
inline constexpr uint64_t kProgressMinFileBytes = uint64_t{32} << 20;
// A replay that lasts at least this long gets one as well.
inline constexpr double kProgressMinSeconds = 30.0;

// Whether standard error is a terminal.
bool StandardErrorIsTerminal();

} // namespace zan
