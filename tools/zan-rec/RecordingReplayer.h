#pragma once

#include "ProgressBar.h"
#include "RecordingSource.h"

#include <cstdint>
#include <ostream>
#include <string>

namespace zan {

struct ReplayOptions {
    std::string address;  // numeric IPv4 or IPv6 address
    double speed = 1.0;   // 2 plays twice as fast
};

struct ReplayResult {
    uint64_t sent = 0;
    uint64_t bytes = 0;
    uint64_t skipped = 0;  // blocks that cannot travel as one UDP datagram
    uint64_t failed = 0;   // sends the system refused
};

// Plays the tunnel datagrams of a recording as UDP datagrams to
// `options.address`, each on its recorded port at its recorded time divided
// by the speed, counted from the start of the replay. External data and the
// file's own blocks are not sent. Every whole datagram is played, also from
// a damaged file. Returns the exit code (0; 1 when the file is damaged or
// could not be played to its end) after a summary on `out`.
// `progress`, when given, follows the replay through the file.
int ReplayCommand(RecordingSource& source, const ReplayOptions& options, std::ostream& out, std::ostream& err,
                  ProgressBar* progress = nullptr);

} // namespace zan
