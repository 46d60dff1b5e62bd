#include "AppDataFolder.h"
#include "platform_test_support.h"
#include "ComException.h"
#include "ComResults.h"
#include "ExceptionBoundary.h"
#include "ExceptionReport.h"
#include "SystemMessages.h"
#include "ZAN_Time.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace zan {

namespace {

namespace fs = std::filesystem;

int64_t FixedTime()
{
    return 1709647629042;  // 2024-03-05 14:07:09.042 UTC
}

const std::u16string kSetPropertyReport =
    u"Set property error:ttl\ntunnel\nZAN_Tunnel/Tunnel(659)\n0x80070057 The parameter is incorrect.\n\n";

TEST(ExceptionReport, HasTheReportLinesForEveryKindOfCode)
{
    EXPECT_EQ(BuildExceptionReport(exc_tunnel(659, static_cast<uint32_t>(E_INVALIDARG), "Set property error:ttl")),
              kSetPropertyReport);
    // Engine exceptions carry 0, shown with the text for success.
    EXPECT_EQ(BuildExceptionReport(exc_ZANTunnel(-3, "Bind Error.")),
              u"Bind Error.\nZANTunnel\nCTunnel_library/src/CTunnel(-3)\n"
              u"0x00000000 The operation completed successfully.\n\n");
    // Socket exceptions carry an errno value; an unknown code has no text.
    EXPECT_EQ(BuildExceptionReport(exc_ZANSocket(12, 111, "Connect failed")),
              u"Connect failed\nZANSocket\nCTunnel_library/src/CZANSocket(12)\n0x0000006F Connection refused\n\n");
    EXPECT_EQ(BuildExceptionReport(exc_tunnel(1, 0xABCDEF01u, "m")), u"m\ntunnel\nZAN_Tunnel/Tunnel(1)\n0xABCDEF01 \n");
}

TEST(ExceptionReport, IsCutTo1023CharactersWithoutSplittingAPair)
{
    EXPECT_EQ(BuildExceptionReport(exc_tunnel(1, 0, std::string(2000, 'x'))), std::u16string(1023, u'x'));
    // A character whose surrogate pair would straddle the cut is left out.
    EXPECT_EQ(BuildExceptionReport(exc_tunnel(1, 0, std::string(1022, 'y') + "\xF0\x9F\x98\x80")),
              std::u16string(1022, u'y'));
}

TEST(ExceptionLog, EachReportIsAnEntryUnderItsLocalTimeStamp)
{
    TemporaryAppData appData(true);
    AppendToLog(u"first\n");
    const std::string log = appData.Log();
    ASSERT_GT(log.size(), 35u);
    EXPECT_TRUE(std::regex_match(log.substr(0, 35), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[Exception\])")))
        << log;
    EXPECT_EQ(log.substr(35), "\nfirst\n\n");
    {
        ScopedEnvironment tz("TZ", "UTC");
        SetTimeSource(&FixedTime);
        AppendToLog(u"second \u00E9\nline\n");
        SetTimeSource(nullptr);
    }
    // UTF-8, LF line ends, the second entry after the first.
    EXPECT_EQ(appData.Log(), log + "2024-03-05 14:07:09.042 [Exception]\nsecond \xC3\xA9\nline\n\n");
}

TEST(ExceptionLog, WritesNothingWhereItCannot)
{
    {
        // The Log folder is missing: it is not created, nothing is written,
        // and the report still reaches the debug output and the user.
        TemporaryAppData appData(false);
        ShownMessages capture;
        EXPECT_EQ(ReportException(exc_tunnel(659, static_cast<uint32_t>(E_INVALIDARG), "Set property error:ttl")),
                  E_INVALIDARG);
        EXPECT_FALSE(fs::exists(appData.folder.path / "Corvana"));
        EXPECT_EQ(capture.debugOutput.size(), 1u);
        EXPECT_EQ(capture.messages.size(), 1u);
    }
    {
        // A path beyond 999 characters is refused even where it exists.
        TemporaryAppData appData(false);
        fs::path deep = appData.folder.path;
        while (deep.string().size() < 1000) {
            deep /= std::string(200, 'd');
        }
        fs::create_directories(deep / "Corvana/Client/Log");
        ScopedEnvironment env("ZAN_COMMON_APPDATA", deep.string());
        AppendToLog(u"lost\n");
        EXPECT_FALSE(fs::exists(deep / "Corvana/Client/Log/zan_debug.txt"));
    }
    ScopedEnvironment environment("ZAN_COMMON_APPDATA", "relative/folder");
    EXPECT_EQ(CommonAppDataFolder(), std::nullopt);
    environment.Set("ZAN_COMMON_APPDATA", std::nullopt);
    EXPECT_EQ(CommonAppDataFolder(), "/var/lib");
}

TEST(ExceptionBoundary, ModuleExceptionGoesToDebugOutputLogAndMessage)
{
    TemporaryAppData appData(true);
    ShownMessages capture;
    EXPECT_EQ(InvokeWithinBoundary(u"CZAN_Tunnel::SetProperties", []() -> HRESULT {
                  throw exc_tunnel(659, static_cast<uint32_t>(E_INVALIDARG), "Set property error:ttl");
              }), E_INVALIDARG);
    ASSERT_EQ(capture.messages.size(), 1u);
    const ShownMessages::Message& shown = capture.messages[0];
    EXPECT_EQ(std::tie(shown.caption, shown.text, shown.flags), std::tie(u"Exception", kSetPropertyReport, MB_ICONERROR));
    EXPECT_EQ(capture.debugOutput, std::vector<std::string>{Utf16ToUtf8(kSetPropertyReport)});
    EXPECT_NE(appData.Log().find(" [Exception]\n" + Utf16ToUtf8(kSetPropertyReport) + "\n"), std::string::npos);

    // An engine exception's code is 0: the method reports and succeeds.
    EXPECT_EQ(InvokeWithinBoundary(u"CZAN_Tunnel::Start", []() -> HRESULT { throw exc_ZANTunnel(1, "e"); }), S_OK);
    EXPECT_EQ(capture.messages.size(), 2u);
}

TEST(ExceptionBoundary, OtherExceptionsGiveAMessageOnly)
{
    TemporaryAppData appData(true);
    ShownMessages capture;
    const HRESULT unknownCode = static_cast<HRESULT>(0x80041234u);
    EXPECT_EQ(InvokeWithinBoundary(u"CZAN_Tunnel::Start", []() -> HRESULT { throw std::runtime_error("bad \xC3\xA9"); }),
              E_FAIL);
    EXPECT_EQ(InvokeWithinBoundary(u"CZAN_Tunnel::Start", []() -> HRESULT { throw ComException(E_OUTOFMEMORY); }),
              E_OUTOFMEMORY);
    EXPECT_EQ(InvokeWithinBoundary(u"CZAN_Tunnel::Stop", [&]() -> HRESULT { throw ComException(unknownCode); }),
              unknownCode);
    EXPECT_EQ(InvokeWithinBoundary(u"CZAN_Tunnel::put_Filename", []() -> HRESULT { throw 42; }), E_FAIL);
    EXPECT_EQ(InvokeWithinBoundary(u"CZAN_Tunnel::Start", [] { return S_FALSE; }), S_FALSE);

    ASSERT_EQ(capture.messages.size(), 4u);
    EXPECT_EQ(capture.messages[0].text, u"bad \u00E9");
    EXPECT_EQ(capture.messages[1].text,
              u"ZAN Atl exception\nCZAN_Tunnel::Start\n" + SystemMessageText(E_OUTOFMEMORY) + u"\n");
    EXPECT_EQ(capture.messages[2].text, u"ZAN Atl exception\nCZAN_Tunnel::Stop\nUnknown\n");
    EXPECT_EQ(capture.messages[3].text, u"ZAN Unknown exception\nCZAN_Tunnel::put_Filename");
    for (const ShownMessages::Message& m : capture.messages) {
        EXPECT_EQ(m.caption, u"Exception");
        EXPECT_EQ(m.flags, MB_ICONERROR);
    }
    EXPECT_TRUE(capture.debugOutput.empty());
    EXPECT_EQ(appData.Log(), "");  // only module exceptions are logged
}

TEST(DebugOutput, WithoutCallbackGoesToSyslogUnderTheModulesIdent)
{
    const TempFolder folder;
    const std::string socketPath = (folder.path / "log").string();
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    SetDebugOutputSyslogPath(socketPath.c_str());
    OutputDebugStringW(u"final release: 12 ms\n");
    SetDebugOutputSyslogPath(nullptr);
    char buffer[512] = {};
    const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    close(fd);

    const std::string record(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    const std::string tail = " ZAN_Tunnel[" + std::to_string(getpid()) + "]: final release: 12 ms\n";
    ASSERT_TRUE(record.ends_with(tail)) << record;
    EXPECT_TRUE(std::regex_match(record.substr(0, record.size() - tail.size()),
                                 std::regex(R"(<15>[A-Za-z]{3} [ \d]\d \d\d:\d\d:\d\d)")))
        << record;
}

TEST(MessagePresenter, DefaultWritesCaptionAndTextToStandardError)
{
    testing::internal::CaptureStderr();
    ShowMessage(u"Exception", u"line one\nline \u00E9", MB_ICONERROR);
    ShowMessage(nullptr, nullptr, MB_OK);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Exception: line one\nline \xC3\xA9\n: \n");
}

} // namespace

} // namespace zan
