#pragma once

#include "ResultCodes.h"
#include "base_exception.h"

#include <cstddef>
#include <exception>
#include <string>

namespace zan {

class ComException;

// The longest exception report, in UTF-16 characters; longer ones are cut.
inline constexpr size_t kMaxExceptionReportLength = 1023;

// "<message>\n<component>\n<source>(<line>)\n0x<CODE> <system text>\n": the
// code as eight upper-case hexadecimal digits, the system text with its own
// line break (empty for unknown codes). Cut to kMaxExceptionReportLength
// characters, never between the two halves of a surrogate pair.
std::u16string BuildExceptionReport(const base_exception& e);

// Appends one entry to <common application-data folder>/Corvana/Client/Log/
// zan_debug.txt: "<local time stamp> [Exception]", the report's lines and an
// empty line, in UTF-8 with LF line ends. Writes nothing when the folder is
// unknown or missing (it is never created), the path is longer than 999
// characters or the file cannot be opened. Appends of all threads are
// serialised by one process-wide lock.
void AppendToLog(const std::u16string& report);

// The boundary's reports, one per kind of exception. Each never throws and
// returns what the boundary returns for that kind.
//
// A module exception: its report to the debug output, the log and a message
// box (caption "Exception", error icon); the result is its code.
HRESULT ReportException(const base_exception& e) noexcept;
// A standard-library exception: its text in a message box; E_FAIL.
HRESULT ReportStandardException(const std::exception& e) noexcept;
// A framework exception: "ZAN Atl exception\n<operation>\n<system text or
// Unknown>\n" in a message box; its HRESULT.
HRESULT ReportComException(const char16_t* operationName, const ComException& e) noexcept;
// Anything else: "ZAN Unknown exception\n<operation>" in a message box; E_FAIL.
HRESULT ReportUnknownException(const char16_t* operationName) noexcept;

} // namespace zan
