#pragma once

#include "DatagramLimits.h"
#include "RecordingSource.h"

#include <cstdint>
#include <ostream>
#include <span>
#include <string>

namespace zan {

struct ExportOptions {
    std::string pcapPath;                    // "-": standard output
    std::string source = "127.0.0.1";        // IPv4 addresses written into every packet
    std::string destination = "127.0.0.2";
    uint32_t startSeconds = 0;               // Unix time of record time 0
};

struct ExportResult {
    uint64_t written = 0;
    uint64_t bytes = 0;    // payload bytes
    uint64_t skipped = 0;  // blocks that cannot travel as one IPv4 UDP datagram
};

// Writes the IPv4 and UDP headers into the first 28 bytes of `packet`,
// whose remaining bytes are the payload: `sourceAddress` and
// `destinationAddress` in host byte order, `port` as both UDP ports, `id`
// as the IPv4 identification, with both checksums filled in. The caller
// keeps the payload within kMaxUdpPayload.
void WriteUdpHeaders(std::span<std::byte> packet, uint32_t sourceAddress, uint32_t destinationAddress,
                     uint16_t port, uint16_t id);

// Writes every tunnel datagram of the recording to a capture file (raw
// IPv4 link type) as one IPv4/UDP packet on its recorded port, stamped
// with the start time plus its recorded time. External data and the
// file's own blocks are left out. Every whole datagram is written, also
// from a damaged file. Returns the exit code (0; 1 when the file is
// damaged or could not be read to its end, or the capture could not be
// written; 2 for an option the exporter refuses) after a summary on `out` (on `err`
// when the capture goes to standard output).
int ExportCommand(RecordingSource& source, const ExportOptions& options, std::ostream& out, std::ostream& err);

} // namespace zan
