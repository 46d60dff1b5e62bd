#include "DebugOutput.h"

#include "TextConversion.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

namespace zan {

namespace {

constexpr const char* kIdent = "ZAN_Tunnel";
constexpr const char* kDefaultSyslogPath = "/dev/log";
// Facility user (1) times 8, plus priority debug (7).
constexpr int kUserDebugPriority = 8 + 7;

std::mutex outputLock;  // guards: callback, callbackContext, syslogPath
DebugOutputCallback callback = nullptr;
void* callbackContext = nullptr;
std::string syslogPath = kDefaultSyslogPath;

// One syslog record: "<15>Mmm dd hh:mm:ss ZAN_Tunnel[pid]: text". Written
// straight to the log socket rather than through openlog/syslog, which would
// change the ident of the whole host process.
std::string SyslogRecord(const char* text)
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32] = {};
    std::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
    return "<" + std::to_string(kUserDebugPriority) + ">" + stamp + " " + kIdent + "[" +
           std::to_string(getpid()) + "]: " + text;
}

// Best effort: without a listening log daemon the text is dropped.
void SendToSyslog(const std::string& path, const std::string& record)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    static_cast<void>(sendto(fd, record.data(), record.size(), MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(&address), sizeof address));
    close(fd);
}

} // namespace

void OutputDebugStringA(const char* text)
{
    if (text == nullptr) {
        return;
    }
    std::lock_guard guard(outputLock);
    if (callback != nullptr) {
        callback(text, callbackContext);
        return;
    }
    SendToSyslog(syslogPath, SyslogRecord(text));
}

void OutputDebugStringW(const char16_t* text)
{
    if (text == nullptr) {
        return;
    }
    OutputDebugStringA(Utf16ToUtf8(text).c_str());
}

void SetDebugOutputCallback(DebugOutputCallback newCallback, void* context)
{
    std::lock_guard guard(outputLock);
    callback = newCallback;
    callbackContext = context;
}

void SetDebugOutputSyslogPath(const char* path)
{
    std::lock_guard guard(outputLock);
    syslogPath = (path != nullptr) ? path : kDefaultSyslogPath;
}

} // namespace zan
