#pragma once

#include "ProgressBar.h"
#include "RecordingFileFormat.h"
#include "RecordingSource.h"

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

namespace zan {

// The commands of zan-rec. Each works on a RecordingSource and streams
// (memory stays bounded whatever the file's size), so tests and the fuzzer
// run them in-process on files or bytes.
//
//   zan-rec info FILE [--json]
//   zan-rec dump FILE [--hex] [--json] [--port P]... [--from T] [--to T]
//   zan-rec verify FILE [--json]
//   zan-rec replay FILE --address ADDR [--speed X]
//   zan-rec export FILE --pcap OUT [--source ADDR] [--destination ADDR] [--start S]
//
// Exit codes: 0 success; 1 the file is damaged or foreign, or the command
// could not be carried out; 2 bad command line or an input file that
// cannot be opened; 3 (verify) sound but never closed.
namespace ZanRecExit {
inline constexpr int kOk = 0;
inline constexpr int kBadFile = 1;
inline constexpr int kUsage = 2;
inline constexpr int kNotClosed = 3;
}  // namespace ZanRecExit

enum class OutputFormat { Text, Json };

// Which blocks a dump shows. With no filter every block is shown; with any
// filter only records (datagrams and external data) that pass all of them.
struct DumpOptions {
    bool hex = false;
    OutputFormat format = OutputFormat::Text;
    std::vector<uint32_t> ports;     // any of these; empty: every port
    std::optional<uint32_t> fromMs;  // record time at least this
    std::optional<uint32_t> toMs;    // record time at most this

    bool Filtered() const { return !ports.empty() || fromMs || toMs; }
    bool Shows(const RecordingFileFormat::BlockHeader& header) const;
};

// Runs one command line (without the program name). Progress bars go to
// `err` only when it is a terminal.
int RunZanRec(std::span<const std::string> args, std::ostream& out, std::ostream& err, bool errIsTerminal = false);

int InfoCommand(RecordingSource& source, std::ostream& out, OutputFormat format = OutputFormat::Text);
int DumpCommand(RecordingSource& source, const DumpOptions& options, std::ostream& out);
// `progress`, when given, follows the walk through the file.
int VerifyCommand(RecordingSource& source, std::ostream& out, OutputFormat format = OutputFormat::Text,
                  ProgressBar* progress = nullptr);

// A time on the command line: a number of milliseconds, or a number with
// the unit ms, s, min or h ("1500", "1.5s", "2min"). Nothing when malformed
// or beyond what a recording's 32-bit millisecond times reach.
std::optional<uint32_t> ParseRecordTime(const std::string& text);

} // namespace zan
