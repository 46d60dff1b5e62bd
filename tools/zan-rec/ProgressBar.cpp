#include "ProgressBar.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace zan {

ProgressBar::ProgressBar(std::ostream& out, std::string label, uint64_t total, Clock clock)
    : out(out), label(std::move(label)), total(total), clock(std::move(clock))
{
}

void ProgressBar::Update(uint64_t done)
{
    if (finished) {
        return;
    }
    const auto now = clock();
    if (drawn && now - lastDraw < std::chrono::milliseconds(kRedrawMs)) {
        return;
    }
    lastDraw = now;
    Draw(done);
}

void ProgressBar::Draw(uint64_t done)
{
    const double fraction = total == 0 ? 1.0 : static_cast<double>(std::min(done, total)) / static_cast<double>(total);
    const int filled = static_cast<int>(fraction * kWidth);
    std::string line = "\r" + label + " [";
    line.append(static_cast<size_t>(filled), '#');
    line.append(static_cast<size_t>(kWidth - filled), '.');
    char tail[64];
    std::snprintf(tail, sizeof tail, "] %3d%%  %.1f of %.1f MiB", static_cast<int>(fraction * 100),
                  static_cast<double>(std::min(done, total)) / (1 << 20), static_cast<double>(total) / (1 << 20));
    line += tail;
    // A shorter line than the last one leaves no old characters behind.
    const size_t length = line.size();
    if (length < lineLength) {
        line.append(lineLength - length, ' ');
    }
    lineLength = length;
    out << line << std::flush;
    drawn = true;
}

void ProgressBar::Finish()
{
    if (finished) {
        return;
    }
    finished = true;
    if (drawn) {
        out << '\r' << std::string(lineLength - 1, ' ') << '\r' << std::flush;
    }
}

bool StandardErrorIsTerminal()
{
    return ::isatty(STDERR_FILENO) == 1;
}

} // namespace zan
