#pragma once

#include "RecordingSource.h"

#include <ostream>
#include <span>
#include <string>

namespace zan {

// The commands of zan-rec. Each works on a RecordingSource and streams
// (memory stays bounded whatever the file's size), so tests and the fuzzer
// run them in-process on files or bytes.
//
//   zan-rec info FILE
//   zan-rec dump FILE [--hex]
//   zan-rec verify FILE
//   zan-rec replay FILE --address ADDR [--speed X]
//
// Exit codes: 0 success; 1 the file is damaged, foreign or unreadable;
// 2 bad command line; 3 (verify) sound but never closed.
namespace ZanRecExit {
inline constexpr int kOk = 0;
inline constexpr int kBadFile = 1;
inline constexpr int kUsage = 2;
inline constexpr int kNotClosed = 3;
}  // namespace ZanRecExit

// Runs one command line (without the program name).
int RunZanRec(std::span<const std::string> args, std::ostream& out, std::ostream& err);

int InfoCommand(RecordingSource& source, std::ostream& out);
int DumpCommand(RecordingSource& source, bool hex, std::ostream& out);
int VerifyCommand(RecordingSource& source, std::ostream& out);

} // namespace zan
