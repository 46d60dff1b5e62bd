#include "ExceptionReport.h"

#include "AppDataFolder.h"
#include "ComException.h"
#include "DebugOutput.h"
#include "MessagePresenter.h"
#include "SystemMessages.h"
#include "TextConversion.h"
#include "ZAN_Time.h"

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

namespace zan {

namespace {

constexpr const char16_t* kCaption = u"Exception";
constexpr const char* kLogFileTail = "/Corvana/Client/Log/zan_debug.txt";
// The path buffer holds 1000 characters with its terminator.
constexpr size_t kMaxLogPathLength = 999;

std::mutex logLock;  // guards: every append to the log file

bool IsHighSurrogate(char16_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

void CutReport(std::u16string& report)
{
    if (report.size() <= kMaxExceptionReportLength) {
        return;
    }
    report.resize(kMaxExceptionReportLength);
    if (IsHighSurrogate(report.back())) {
        report.pop_back();
    }
}

// "2024-03-05 14:07:09.042": local time, seconds and milliseconds from one
// reading of the module's clock, so the two always agree.
std::string LogTimeStamp()
{
    const int64_t nowMs = GetTimeMs();
    const std::time_t seconds = static_cast<std::time_t>(nowMs / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[64] = {};
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(nowMs % 1000));
    return stamp;
}

void WriteLogEntry(std::FILE* file, const std::u16string& report)
{
    const std::string entry = LogTimeStamp() + " [Exception]\n" + Utf16ToUtf8(report) + "\n";
    std::fwrite(entry.data(), 1, entry.size(), file);
}

void ShowError(const std::u16string& text)
{
    ShowMessage(kCaption, text.c_str(), MB_OK | MB_ICONERROR);
}

} // namespace

std::u16string BuildExceptionReport(const base_exception& e)
{
    char code[16] = {};
    std::snprintf(code, sizeof code, "0x%08" PRIX32 " ", e.code);
    std::u16string report = Utf8ToUtf16(e.message) + u"\n" + Utf8ToUtf16(e.component) + u"\n" +
                            Utf8ToUtf16(e.sourceFile) + u"(" + Utf8ToUtf16(std::to_string(e.line)) +
                            u")\n" + Utf8ToUtf16(code) +
                            SystemMessageText(static_cast<HRESULT>(e.code)) + u"\n";
    CutReport(report);
    return report;
}

void AppendToLog(const std::u16string& report)
{
    std::lock_guard guard(logLock);
    const std::optional<std::string> folder = CommonAppDataFolder();
    if (!folder) {
        return;
    }
    const std::string path = *folder + kLogFileTail;
    if (path.size() > kMaxLogPathLength) {
        return;
    }
    // "a" creates the file but never its folder.
    std::FILE* file = std::fopen(path.c_str(), "ae");
    if (file == nullptr) {
        return;
    }
    WriteLogEntry(file, report);
    std::fclose(file);
}

HRESULT ReportException(const base_exception& e) noexcept
{
    try {
        const std::u16string report = BuildExceptionReport(e);
        OutputDebugStringW(report.c_str());
        AppendToLog(report);
        ShowError(report);
    } catch (...) {
        // Out of memory while reporting: the caller still gets the code.
    }
    return static_cast<HRESULT>(e.code);
}

HRESULT ReportStandardException(const std::exception& e) noexcept
{
    try {
        ShowError(Utf8ToUtf16(e.what()));
    } catch (...) {
    }
    return E_FAIL;
}

HRESULT ReportComException(const char16_t* operationName, const ComException& e) noexcept
{
    try {
        std::u16string systemText = SystemMessageText(e.Error());
        if (systemText.empty()) {
            systemText = u"Unknown";
        }
        const std::u16string operation = operationName != nullptr ? operationName : u"";
        ShowError(u"ZAN Atl exception\n" + operation + u"\n" + systemText + u"\n");
    } catch (...) {
    }
    return e.Error();
}

HRESULT ReportUnknownException(const char16_t* operationName) noexcept
{
    try {
        const std::u16string operation = operationName != nullptr ? operationName : u"";
        ShowError(u"ZAN Unknown exception\n" + operation);
    } catch (...) {
    }
    return E_FAIL;
}

} // namespace zan
