#include "AppDataFolder.h"
#include "ComException.h"
#include "ComResults.h"
#include "DebugOutput.h"
#include "ExceptionBoundary.h"
#include "ExceptionReport.h"
#include "MessagePresenter.h"
#include "SystemMessages.h"
#include "TextConversion.h"
#include "ZAN_Time.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name(name)
    {
        if (const char* old = std::getenv(name)) {
            previous = old;
        }
        Set(value);
    }
    ~ScopedEnv() { Set(previous); }

private:
    void Set(const std::optional<std::string>& value)
    {
        if (value) {
            setenv(name, value->c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
    const char* name;
    std::optional<std::string> previous;
};

// A fresh folder under the system's temporary folder, removed afterwards;
// ZAN_COMMON_APPDATA points to it for the test's life.
class TempAppData {
public:
    explicit TempAppData(bool withLogFolder)
        : root(MakeRoot()), env("ZAN_COMMON_APPDATA", root.string())
    {
        if (withLogFolder) {
            fs::create_directories(root / "Corvana/Client/Log");
        }
    }
    ~TempAppData() { fs::remove_all(root); }

    fs::path LogFile() const { return root / "Corvana/Client/Log/zan_debug.txt"; }
    const fs::path& Root() const { return root; }

private:
    static fs::path MakeRoot()
    {
        std::string pattern = (fs::temp_directory_path() / "zan_appdata_XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        return pattern;
    }
    fs::path root;
    ScopedEnv env;
};

struct Message {
    std::u16string caption;
    std::u16string text;
    uint32_t flags;
};

// Installs a presenter and a debug-output callback that record what they get.
class Capture {
public:
    Capture()
    {
        SetMessagePresenter(&Capture::Present, this);
        SetDebugOutputCallback(&Capture::Output, this);
    }
    ~Capture()
    {
        SetMessagePresenter(nullptr, nullptr);
        SetDebugOutputCallback(nullptr, nullptr);
    }

    std::vector<Message> messages;
    std::vector<std::string> debugOutput;

private:
    static void Present(const char16_t* caption, const char16_t* text, uint32_t flags, void* self)
    {
        static_cast<Capture*>(self)->messages.push_back({caption, text, flags});
    }
    static void Output(const char* text, void* self) { static_cast<Capture*>(self)->debugOutput.push_back(text); }
};

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Whether `text` fits `pattern`, where '#' stands for a digit, '@' for a
// letter, '?' for a digit or a space, and anything else for itself.
bool FitsPattern(std::string_view text, std::string_view pattern)
{
    if (text.size() != pattern.size()) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool fits = pattern[i] == '#'   ? std::isdigit(c) != 0
                          : pattern[i] == '@' ? std::isalpha(c) != 0
                          : pattern[i] == '?' ? (std::isdigit(c) != 0 || c == ' ')
                                              : text[i] == pattern[i];
        if (!fits) {
            return false;
        }
    }
    return true;
}

constexpr std::string_view kLogHeader = "####-##-## ##:##:##.### [Exception]";

int64_t FixedTime()
{
    // 2024-03-05 14:07:09.042 UTC
    return 1709647629042;
}

const std::u16string kInvalidArgText = SystemMessageText(E_INVALIDARG);

TEST(ExceptionReport, HasTheFourLinesOfTheReportFormat)
{
    const exc_tunnel e(659, static_cast<uint32_t>(E_INVALIDARG), "Set property error:ttl");
    EXPECT_EQ(kInvalidArgText, u"The parameter is incorrect.\n");
    EXPECT_EQ(BuildExceptionReport(e), u"Set property error:ttl\ntunnel\nZAN_Tunnel/Tunnel(659)\n"
                                       u"0x80070057 The parameter is incorrect.\n\n");

    // Engine exceptions carry 0, shown with the text for success.
    const exc_ZANTunnel engine(-3, "Bind Error.");
    EXPECT_EQ(BuildExceptionReport(engine), u"Bind Error.\nZANTunnel\nCTunnel_library/src/CTunnel(-3)\n"
                                            u"0x00000000 The operation completed successfully.\n\n");

    // Socket exceptions carry an errno value; an unknown code has no text.
    const exc_ZANSocket socket(12, 111, "Connect failed");
    EXPECT_EQ(BuildExceptionReport(socket), u"Connect failed\nZANSocket\nCTunnel_library/src/CZANSocket(12)\n"
                                            u"0x0000006F " + SystemMessageText(111) + u"\n");
    EXPECT_FALSE(SystemMessageText(111).empty());
    const exc_tunnel unknown(1, 0xABCDEF01u, "m");
    EXPECT_EQ(BuildExceptionReport(unknown), u"m\ntunnel\nZAN_Tunnel/Tunnel(1)\n0xABCDEF01 \n");
}

TEST(ExceptionReport, IsCutTo1023CharactersWithoutSplittingAPair)
{
    const exc_tunnel longOne(1, 0, std::string(2000, 'x'));
    const std::u16string report = BuildExceptionReport(longOne);
    EXPECT_EQ(report.size(), kMaxExceptionReportLength);
    EXPECT_EQ(report, std::u16string(kMaxExceptionReportLength, u'x'));

    // A four-byte character whose pair would straddle the cut is left out
    // whole rather than leaving half of it.
    const exc_tunnel straddling(1, 0, std::string(1022, 'y') + "\xF0\x9F\x98\x80");
    const std::u16string cut = BuildExceptionReport(straddling);
    EXPECT_EQ(cut, std::u16string(1022, u'y'));
}

TEST(ExceptionLog, TwoReportsGiveTwoEntriesEachWithItsTimeStamp)
{
    TempAppData appData(true);
    AppendToLog(u"first\nreport\n");
    AppendToLog(u"second \u00E9\n");
    const std::vector<std::string> lines = Lines(ReadFile(appData.LogFile()));
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_TRUE(FitsPattern(lines[0], kLogHeader)) << lines[0];
    EXPECT_EQ(lines[1], "first");
    EXPECT_EQ(lines[2], "report");
    EXPECT_EQ(lines[3], "");
    EXPECT_TRUE(FitsPattern(lines[4], kLogHeader)) << lines[4];
    EXPECT_EQ(lines[5], "second \xC3\xA9");  // UTF-8
    EXPECT_EQ(lines[6], "");
    EXPECT_EQ(ReadFile(appData.LogFile()).find('\r'), std::string::npos);
}

TEST(ExceptionLog, TimeStampIsTheLocalTimeWithMilliseconds)
{
    TempAppData appData(true);
    {
        ScopedEnv tz("TZ", "UTC");
        tzset();
        SetTimeSource(&FixedTime);
        AppendToLog(u"r\n");
        SetTimeSource(nullptr);
    }
    tzset();
    EXPECT_EQ(ReadFile(appData.LogFile()), "2024-03-05 14:07:09.042 [Exception]\nr\n\n");
}

TEST(ExceptionLog, WritesNothingWhereItCannot)
{
    {
        // The Log folder is missing: it is not created, nothing is written.
        TempAppData appData(false);
        AppendToLog(u"lost\n");
        EXPECT_FALSE(fs::exists(appData.Root() / "Corvana"));
    }
    {
        // A path beyond 999 characters is refused even though it exists.
        TempAppData appData(false);
        fs::path deep = appData.Root();
        while (deep.string().size() < 1000) {
            deep /= std::string(200, 'd');
        }
        fs::create_directories(deep / "Corvana/Client/Log");
        ScopedEnv env("ZAN_COMMON_APPDATA", deep.string());
        AppendToLog(u"lost\n");
        EXPECT_FALSE(fs::exists(deep / "Corvana/Client/Log/zan_debug.txt"));
    }
    {
        ScopedEnv relative("ZAN_COMMON_APPDATA", "relative/folder");
        EXPECT_EQ(CommonAppDataFolder(), std::nullopt);
        AppendToLog(u"lost\n");
    }
    ScopedEnv unset("ZAN_COMMON_APPDATA", std::nullopt);
    EXPECT_EQ(CommonAppDataFolder(), "/var/lib");
}

TEST(ExceptionBoundary, ModuleExceptionIsReportedEverywhereAndReturnsItsCode)
{
    TempAppData appData(true);
    Capture capture;
    const HRESULT hr = InvokeWithinBoundary(u"CZAN_Tunnel::SetProperties", []() -> HRESULT {
        throw exc_tunnel(659, static_cast<uint32_t>(E_INVALIDARG), "Set property error:ttl");
    });
    EXPECT_EQ(hr, E_INVALIDARG);
    const std::u16string report = u"Set property error:ttl\ntunnel\nZAN_Tunnel/Tunnel(659)\n0x80070057 " +
                                  kInvalidArgText + u"\n";
    ASSERT_EQ(capture.messages.size(), 1u);
    EXPECT_EQ(capture.messages[0].caption, u"Exception");
    EXPECT_EQ(capture.messages[0].text, report);
    EXPECT_EQ(capture.messages[0].flags, MB_ICONERROR);
    EXPECT_EQ(capture.debugOutput, std::vector<std::string>{Utf16ToUtf8(report)});
    const std::vector<std::string> lines = Lines(ReadFile(appData.LogFile()));
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[1], "Set property error:ttl");
    EXPECT_EQ(lines[4], "0x80070057 The parameter is incorrect.");

    // An engine exception's code is 0: the method reports and succeeds.
    EXPECT_EQ(InvokeWithinBoundary(u"CZAN_Tunnel::Start", []() -> HRESULT { throw exc_ZANTunnel(1, "e"); }),
              S_OK);
    EXPECT_EQ(capture.messages.size(), 2u);
}

TEST(ExceptionBoundary, OtherExceptionsGiveAMessageOnly)
{
    TempAppData appData(true);
    Capture capture;
    EXPECT_EQ(InvokeWithinBoundary(u"CZAN_Tunnel::Start",
                                   []() -> HRESULT { throw std::runtime_error("standard \xC3\xA9rror"); }),
              E_FAIL);
    EXPECT_EQ(InvokeWithinBoundary(u"CZAN_Tunnel::Start",
                                   []() -> HRESULT { throw ComException(E_OUTOFMEMORY); }),
              E_OUTOFMEMORY);
    EXPECT_EQ(InvokeWithinBoundary(u"CZAN_Tunnel::Stop",
                                   []() -> HRESULT { throw ComException(static_cast<HRESULT>(0x80041234u)); }),
              static_cast<HRESULT>(0x80041234u));
    EXPECT_EQ(InvokeWithinBoundary(u"CZAN_Tunnel::put_Filename", []() -> HRESULT { throw 42; }), E_FAIL);

    ASSERT_EQ(capture.messages.size(), 4u);
    EXPECT_EQ(capture.messages[0].text, u"standard \u00E9rror");
    EXPECT_EQ(capture.messages[1].text,
              u"ZAN Atl exception\nCZAN_Tunnel::Start\n" + SystemMessageText(E_OUTOFMEMORY) + u"\n");
    EXPECT_EQ(capture.messages[2].text, u"ZAN Atl exception\nCZAN_Tunnel::Stop\nUnknown\n");
    EXPECT_EQ(capture.messages[3].text, u"ZAN Unknown exception\nCZAN_Tunnel::put_Filename");
    for (const Message& m : capture.messages) {
        EXPECT_EQ(m.caption, u"Exception");
        EXPECT_EQ(m.flags, MB_ICONERROR);
    }
    EXPECT_TRUE(capture.debugOutput.empty());
    EXPECT_FALSE(fs::exists(appData.LogFile()));  // only module exceptions are logged

    // A body that returns normally passes its result through, silently.
    EXPECT_EQ(InvokeWithinBoundary(u"CZAN_Tunnel::Start", [] { return S_FALSE; }), S_FALSE);
    EXPECT_EQ(capture.messages.size(), 4u);
}

TEST(DebugOutput, WithoutCallbackGoesToSyslogUnderTheModulesIdent)
{
    const fs::path socketPath = fs::temp_directory_path() / ("zan_log_" + std::to_string(getpid()));
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.string().size(), sizeof address.sun_path);
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    SetDebugOutputSyslogPath(socketPath.c_str());
    OutputDebugStringW(u"final release: 12 ms\n");
    SetDebugOutputSyslogPath(nullptr);

    char buffer[512] = {};
    const ssize_t got = recv(fd, buffer, sizeof buffer - 1, 0);
    close(fd);
    fs::remove(socketPath);
    ASSERT_GT(got, 0);
    const std::string record(buffer, static_cast<size_t>(got));
    const std::string tail = " ZAN_Tunnel[" + std::to_string(getpid()) + "]: final release: 12 ms\n";
    ASSERT_GT(record.size(), tail.size());
    EXPECT_TRUE(FitsPattern(record.substr(0, record.size() - tail.size()), "<15>@@@ ?# ##:##:##")) << record;
    EXPECT_TRUE(record.ends_with(tail)) << record;
}

TEST(MessagePresenter, DefaultWritesCaptionAndTextToStandardError)
{
    testing::internal::CaptureStderr();
    ShowMessage(u"Exception", u"line one\nline \u00E9", MB_ICONERROR);
    ShowMessage(nullptr, nullptr, MB_OK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Exception: line one\nline \xC3\xA9\n: \n");
}

} // namespace
