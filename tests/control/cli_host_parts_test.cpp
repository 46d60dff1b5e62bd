// The command-line host's parts that need no process: the checks on its
// settings, the drop warnings' rate limit, JSON log lines, the status
// file's atomic rewrite, key generation and property error messages.

#include "EventPrinter.h"
#include "HostChecks.h"
#include "HostLog.h"
#include "HostStatus.h"
#include "KeyGeneration.h"
#include "PropertyList.h"
#include "control_test_util.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <thread>

namespace zan {

namespace {

#ifdef ZAN_TUNNEL_PROGRAM

using Kind = HostOptions::Kind;
using Action = HostOptions::Action;

constexpr char kKey[] = "1 000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f a0a1a2a3a4a5a6a7a8a9aaabacad 0";

Action Set(const std::string& name, const std::string& value)
{
    return {Kind::SetProperty, value, name, 0, 0};
}

// Names resolve only in this table; nothing reaches a name service.
std::optional<std::string> FakeResolve(const std::string& host)
{
    if (host == "peer.example") {
        return "192.0.2.7";
    }
    if (host == "localhost" || host.rfind("127.", 0) == 0) {
        return host == "localhost" ? "127.0.0.1" : host;
    }
    if (host.find_first_not_of("0123456789.") == std::string::npos) {
        return host;
    }
    return std::nullopt;
}

TEST(HostChecks, EachFaultIsFoundAndNamedAndSoundSettingsPass)
{
    const Action udp{Kind::Destination, "127.0.0.1", {}, 7000, 0};
    const Action type8{Kind::CryptoType, {}, {}, 8, 0};
    struct Case {
        const char* what;
        std::vector<Action> actions;
        int fatal;          // findings that stop a start
        int warnings;
        const char* words;  // in the first finding
    };
    const Case cases[] = {
        {"type 8 with its key", {udp, type8, Set("tunnel_cc", kKey)}, 0, 0, ""},
        {"type 8 without key", {udp, type8}, 1, 0, "needs a key"},
        {"type 8 with a source tag only", {udp, type8, Set("tunnel_cc", "7")}, 1, 0, "needs a key"},
        {"type 3 without key", {udp, {Kind::CryptoType, {}, {}, 3, 0}}, 1, 0, "--crypto-key-file"},
        {"type 3 with key", {udp, {Kind::CryptoType, {}, {}, 3, 0}, {Kind::CryptoKey, "secret", {}, 0, 0}}, 0, 0, ""},
        {"type 9", {udp, {Kind::CryptoType, {}, {}, 9, 0}}, 1, 0, "unknown crypto type 9"},
        {"short key", {udp, type8, Set("tunnel_cc", "1 00 11 0")}, 1, 0, "64 hex digits"},
        {"name that does not resolve", {{Kind::Destination, "nowhere.invalid", {}, 7000, 0}}, 1, 0, "does not resolve"},
        {"port 0", {{Kind::Destination, "127.0.0.1", {}, 0, 0}}, 1, 0, "port from 1"},
        {"receive port 0", {udp, {Kind::ReceivePort, {}, {}, 0, 0}}, 1, 0, "port from 1"},
        {"no peer at all", {{Kind::ReceivePort, {}, {}, 5004, 0}}, 1, 0, "no tunnel peer"},
        {"plain to a remote peer", {{Kind::Destination, "peer.example", {}, 7000, 0}}, 0, 1, "unprotected"},
        {"plain over loopback", {udp}, 0, 0, ""},
        {"plain, learning on every address", {{Kind::LearnPort, {}, {}, 7000, 0}}, 0, 1, "first sender"},
        {"plain, learning on loopback", {{Kind::LearnPort, {}, {}, 7000, 0}, Set("receiver_nic", "127.0.0.1")}, 0, 0, ""},
        {"TCP relay that does not resolve",
         {Set("tcp_tunnel_type", "1"), Set("tcp_tunnel_connect", "nowhere.invalid 443"),
          Set("tcp_tunnel", "nowhere.invalid -")}, 1, 0, "does not resolve"},
        {"TCP relay behind a proxy is the proxy's to resolve",
         {Set("tcp_tunnel_type", "1"), Set("tcp_tunnel_connect", "127.0.0.9 443"), Set("tcp_tunnel", "127.0.0.9 -"),
          Set("tcp_tunnel_proxy", "1 proxy.corp 3128")}, 0, 0, ""},
    };
    for (const Case& c : cases) {
        std::vector<Action> actions = c.actions;
        const std::vector<CheckFinding> findings = CheckSettings(actions, FakeResolve);
        int fatal = 0;
        for (const CheckFinding& finding : findings) {
            fatal += finding.fatal ? 1 : 0;
        }
        EXPECT_EQ(fatal, c.fatal) << c.what;
        EXPECT_EQ(static_cast<int>(findings.size()) - fatal, c.warnings) << c.what;
        if (!findings.empty()) {
            EXPECT_NE(findings[0].message.find(c.words), std::string::npos) << c.what << ": " << findings[0].message;
        }
    }
}

TEST(HostChecks, ANamedPeerIsHandedToTheControlAsItsAddressAndThePlanSaysWhatRuns)
{
    std::vector<Action> actions = {{Kind::Destination, "peer.example", {}, 7000, 0},
                                   {Kind::ReceivePort, {}, {}, 5004, 0},
                                   {Kind::ReceivePort, {}, {}, 5006, 0},
                                   {Kind::CryptoType, {}, {}, 8, 0},
                                   Set("tunnel_cc", kKey)};
    EXPECT_TRUE(CheckSettings(actions, FakeResolve).empty());
    EXPECT_EQ(actions[0].text, "192.0.2.7");
    const TunnelPlan plan = PlanOf(actions);
    EXPECT_EQ(plan.ModeName() + " " + plan.Remote() + " " + plan.Local() + " " + std::to_string(plan.keyId.value_or(0)),
              "udp 192.0.2.7:7000 127.0.0.2:5004,5006 1");

    std::vector<Action> tcp = {Set("tcp_tunnel_type", "1"), Set("tcp_tunnel_connect", "127.0.0.9 443"),
                               Set("tcp_tunnel", "127.0.0.9 -")};
    EXPECT_EQ(PlanOf(tcp).ModeName() + " " + PlanOf(tcp).Remote(), "tcp 127.0.0.9:443");
    tcp.erase(tcp.begin());  // without type 1 tcp_tunnel only names the UDP peer
    EXPECT_NE(PlanOf(tcp).ModeName(), "tcp");
}

TEST(HostDropWarnings, OneWarningAMinutePerReasonCountingWhatCameBetween)
{
    using Clock = DropWarnings::Clock;
    DropWarnings warnings;
    TunnelStatisticsSnapshot s;
    // The warnings due at `seconds`, as "reason count ...".
    const auto due = [&](int seconds) {
        std::string text;
        for (const auto& warning : warnings.Check(s, Clock::time_point{} + std::chrono::seconds(seconds))) {
            text += warning.reason + " " + std::to_string(warning.count) + " ";
        }
        return text;
    };
    EXPECT_EQ(due(0), "") << "nothing dropped";
    s.drops[7] = 3;  // digest mismatch
    EXPECT_EQ(due(0), "authentication 3 ");
    s.drops[8] = 5;  // GCM tag: the same reason, within the minute
    s.drops[6] = 2;  // no key: another reason, warned at once
    EXPECT_EQ(due(10), "no_key 2 ");
    EXPECT_EQ(due(61), "authentication 5 ") << "the drops held back during the minute";
    EXPECT_EQ(due(200), "") << "no new drops, no warning";
}

TEST(HostLogLines, JsonLinesParseWithStableFieldsAndTextLinesCarryTheTime)
{
    HostLog& log = HostLog::Instance();
    log.Configure(HostLog::Format::kJson, HostLog::Level::kInfo);
    const std::string line = log.Render(HostLog::Level::kWarning, "error", "bad \"peer\"\n\xff",
                                        {{"code", "0x80004005"}}, "2026-01-02T03:04:05.678Z");
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const nlohmann::json parsed = nlohmann::json::parse(line);
    EXPECT_EQ(parsed["time"].dump() + parsed["level"].dump() + parsed["event"].dump() + parsed["code"].dump(),
              R"("2026-01-02T03:04:05.678Z""warning""error""0x80004005")");
    EXPECT_NE(parsed["message"].get<std::string>().find("bad \"peer\""), std::string::npos);

    log.Configure(HostLog::Format::kText, HostLog::Level::kInfo);
    EXPECT_EQ(log.Render(HostLog::Level::kError, "x", "it failed", {}, "T"), "T error: it failed");
    EXPECT_EQ(log.Render(HostLog::Level::kInfo, "x", "started", {{"mode", "udp"}}, "T"), "T started");
    EXPECT_TRUE(log.Shows(HostLog::Level::kWarning));
    EXPECT_FALSE(log.Shows(HostLog::Level::kDebug));

    EXPECT_TRUE(std::regex_match(HostLog::Now(), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
        << HostLog::Now();
}

TEST(HostLogLines, AReportOrMessageBecomesOneLine)
{
    EXPECT_EQ(EventPrinter::OneLine("Unknown property :x\ntunnel\r\n\nZAN_Tunnel/Tunnel(700)\n\n"),
              "Unknown property :x; tunnel; ZAN_Tunnel/Tunnel(700)");
    EXPECT_EQ(EventPrinter::OneLine("one"), "one");
    EXPECT_EQ(EventPrinter::OneLine(""), "");
}

TEST(HostStatusFile, ReadersSeeTheOldOrTheNewFileNeverAPart)
{
    const TempFolder temp("zan-status");
    const std::filesystem::path& folder = temp.path;
    const std::string path = (folder / "status.json").string();
    const std::string small = "{\"n\":1}\n";
    const std::string large = "{\"n\":\"" + std::string(200000, 'x') + "\"}\n";
    ASSERT_TRUE(WriteFileAtomically(path, small));
    std::atomic<bool> done{false};
    int torn = 0;
    std::thread reader([&] {
        while (!done.load()) {
            std::ifstream in(path);
            const std::string seen{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            torn += seen != small && seen != large ? 1 : 0;
        }
    });
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(WriteFileAtomically(path, i % 2 == 0 ? large : small));
    }
    done.store(true);
    reader.join();
    EXPECT_EQ(torn, 0);
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp")) << "no temporary left behind";
    EXPECT_FALSE(WriteFileAtomically((folder / "no-such-dir" / "s.json").string(), small));

    const nlohmann::json counters = CountersOf(TunnelStatisticsSnapshot{});
    EXPECT_EQ(counters.size(), 27u) << "every counter of a snapshot: " << counters.dump();
}

TEST(HostKeys, AGeneratedKeyIsFreshAndPassesTheChecks)
{
    const auto first = GenerateTunnelKey();
    const auto second = GenerateTunnelKey();
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    std::vector<Action> actions = {{Kind::Destination, "127.0.0.1", {}, 7000, 0}, {Kind::CryptoType, {}, {}, 8, 0},
                                   Set("tunnel_cc", *first)};
    EXPECT_TRUE(CheckSettings(actions, FakeResolve).empty()) << *first;
    EXPECT_EQ(first->rfind("1 ", 0), 0u);
    EXPECT_EQ(first->substr(first->size() - 2), " 0");
}

TEST(HostPropertyMessages, UnknownUnusedAndRefusedAreToldApart)
{
    EXPECT_NE(PropertyErrorMessage("no_such_name", "r").find("no property has this name"), std::string::npos);
    const std::string unused = PropertyErrorMessage("draw_logo", "r");
    EXPECT_NE(unused.find("known property name, but this control does not use it"), std::string::npos) << unused;
    EXPECT_EQ(unused.find("completed successfully"), std::string::npos);
    const std::string refused = PropertyErrorMessage("ttl", "Set property error:ttl; 0x80070057");
    EXPECT_NE(refused.find("refused (Set property error:ttl; 0x80070057)"), std::string::npos) << refused;
    EXPECT_NE(refused.find("--set ttl=16"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("\\n"), std::string::npos);
}

#endif

} // namespace

} // namespace zan
