// zan-tunnel run as a program: how it ends when a tunnel cannot work, which
// files it reads, and datagrams carried between two of its processes, over
// UDP set up from config files and over TCP through each kind of proxy.

#include "ProgramRun.h"
#include "SquidProxy.h"
#include "TcpTestPeer.h"
#include "WaitUntil.h"
#include "control_test_util.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace zan {

namespace {

#ifdef ZAN_TUNNEL_PROGRAM

using namespace controltest;
using squidtest::SquidProxy;

// A folder of the test's files, removed at the end.
struct Folder : TempFolder {
    std::string Write(const std::string& name, const std::string& content, mode_t mode = 0600)
    {
        std::ofstream(Path(name)) << content;
        ::chmod(Path(name).c_str(), mode);
        return Path(name);
    }
    std::string Path(const std::string& name) const { return (path / name).string(); }
};

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string Port(uint16_t port)
{
    return std::to_string(port);
}

// A key made by the program itself.
std::string GeneratedKey(Folder& folder)
{
    const ProgramOutcome made = RunProgram(std::string(ZAN_TUNNEL_PROGRAM) + " genkey");
    EXPECT_EQ(made.code, 0) << made.err;
    EXPECT_EQ(Lines(made.out).size(), 1u) << made.out;
    return folder.Write("generated.key", made.out);
}

// Runs that end by themselves, each with nothing of ours in the
// environment; standard error says why in one line unless a case allows more.
void ExpectExits(std::vector<ProgramCase> cases)
{
    for (ProgramCase& c : cases) {
        c.errLines = std::max<size_t>(c.errLines, 1);
    }
    ExpectAnswers(std::string("env -i PATH=/usr/bin:/bin ") + ZAN_TUNNEL_PROGRAM, cases);
}

TEST(CommandLineHost, TunnelsThatCannotWorkAndBadValuesEndAtOnceWithTheirCodeAndReason)
{
    // Ports held by this test: the tunnel cannot bind them.
    const uint16_t tunnelPort = FreePort();
    const uint16_t receivePort = FreePort();
    const sockettest::Fd heldTunnelPort = sockettest::BoundUdp("127.0.0.1", tunnelPort);
    const sockettest::Fd heldReceivePort = sockettest::BoundUdp("127.0.0.2", receivePort);
    ASSERT_TRUE(heldTunnelPort.Get() >= 0 && heldReceivePort.Get() >= 0);
    ExpectExits({
        {"--learn-port " + Port(tunnelPort) + " --set receiver_nic=127.0.0.1 --duration 20", 1, "", "could not start"},
        {"--destination 127.0.0.1:9 --receive-port " + Port(receivePort) + " --duration 20", 1, "", "could not start"},
        // A refused TCP relay is tried again (saying it is not up yet) until the limit.
        {"--tcp 127.0.0.1:" + Port(FreePort()) + " --reconnect 2 --duration 20", 1, "", "gave up after 2", 3},
        {"--destination 127.0.0.1:9 --crypto-type 8", 2, "", "needs a key"},
        {"--no-such-option", 2, "", "--no-such-option"},
        {"--destination 127.0.0.1:9 --set draw_logo=1", 2, "", "known property name"},
        {"--receive-port 70000", 2, "", "--receive-port"},
        {"--destination 127.0.0.1", 2, "", "--destination"},
        {"--set novalue", 2, "", "novalue"},
    });
}

TEST(CommandLineHost, CheckAnswersGoodAndBadConfigFilesWithoutOpeningASocket)
{
    Folder folder;
    const std::string key = GeneratedKey(folder);
    // The tunnel port is held: --check still passes, as it binds nothing.
    const uint16_t port = FreePort();
    const sockettest::Fd held = sockettest::BoundUdp("127.0.0.1", port);
    ASSERT_GE(held.Get(), 0);
    const std::string good = folder.Write("good.conf", "learn-port = " + Port(port) +
                                                           "\nset = \"receiver_nic=127.0.0.1\"\ncrypto-type = 8\n"
                                                           "set-file = \"tunnel_cc=" + key + "\"\n");
    const std::string noKey = folder.Write("nokey.conf", "learn-port = " + Port(port) + "\ncrypto-type = 8\n");
    const std::string inlineKey =
        folder.Write("inline.conf", "destination = 127.0.0.1:9\nset = \"tunnel_cc=" + ReadText(key).substr(0, 110) + "\"\n");
    const std::string unknown = folder.Write("unknown.conf", "destination = 127.0.0.1:9\nno-such-name = 1\n");
    ExpectExits({
        {"--config " + good + " --check", 0, "", "pass every check"},
        {"--config " + noKey + " --check", 1, "", "needs a key"},
        {"--config " + noKey + " --check --crypto-type 0", 0, "", "first sender", 2},  // the command line wins
        {"--config " + inlineKey + " --check", 2, "", "holds a key"},
        {"--config " + unknown + " --check", 2, "", "no-such-name"},
        {"--config " + folder.Path("missing.conf") + " --check", 2, "", "missing.conf"},
    });
}

// Secrets and headers are read only from small regular files; a secret
// others may read draws a warning. An accepted file's run is ended by the
// bad port that follows it.
TEST(CommandLineHost, OnlySmallRegularFilesAreReadAndOpenSecretsDrawAWarning)
{
    Folder folder;
    const std::string badPort = " --receive-port 70000";
    const std::pair<std::string, std::string> files[] = {
        {"/dev/zero", "not a regular file"},
        {(::mkfifo(folder.Path("fifo").c_str(), 0600), folder.Path("fifo")), "not a regular file"},
        {folder.Path(""), "not a regular file"},
        {folder.Write("large", std::string(4097, 'k')), "larger than 4096 bytes"},
        {folder.Path("missing"), "No such file"},
        {folder.Write("empty", "\n"), "first line is empty"},
        {folder.Write("fits", std::string(4096, 'k')), "--receive-port"},
    };
    std::vector<ProgramCase> cases;
    for (const auto& [path, why] : files) {
        cases.push_back({"--crypto-key-file " + path + badPort, 2, "", why});
    }
    // The other secrets are read the same way.
    for (const std::string option : {"--set-file tunnel_cc=", "--proxy alice@127.0.0.1:3128 --proxy-password-file "}) {
        cases.push_back({option + "/dev/zero" + badPort, 2, "", "not a regular file"});
        cases.push_back({option + files[3].first + badPort, 2, "", "larger than 4096 bytes"});
    }
    const std::string recording = " --record " + folder.Path("out.rec") + " --record-header ";
    cases.push_back({recording + "/dev/zero", 2, "", "not a regular file"});
    cases.push_back({recording + folder.Path("fifo"), 2, "", "not a regular file"});
    cases.push_back({recording + folder.Write("huge", std::string((1 << 20) + 1, 'h')), 2, "", "larger than 1048576 bytes"});
    for (const mode_t mode : {mode_t{0600}, mode_t{0640}, mode_t{0604}, mode_t{0400}}) {
        const std::string path = folder.Write("secret" + std::to_string(mode), "s3cret\n", mode);
        const bool open = (mode & 077) != 0;
        cases.push_back({"--set-file tunnel_cc=" + path + badPort, 2, "",
                         open ? "accessible by other users" : "--receive-port", open ? 2u : 1u});
    }
    ExpectExits(cases);
}

// Sends until a datagram comes out whole at `out`, for at most 10 s: the far
// end may still be learning its peer or connecting.
bool Carried(const sockettest::Fd& sender, const char* to, uint16_t port, const sockettest::Fd& out, char fill)
{
    const std::string payload(1200, fill);
    return WaitUntil([&] {
        sockettest::SendDatagram(sender, port, payload, to);
        return sockettest::ReadSome(out, 200) == payload;
    });
}

TEST(CommandLineHost, TwoSitesFromConfigFilesWithAGeneratedKeyCarryDatagramsBothWaysAndReportInJson)
{
    Folder folder;
    const std::string key = GeneratedKey(folder);
    const uint16_t tunnelPort = FreePort();
    const uint16_t portA = FreePort();
    const uint16_t portB = FreePort();
    const std::string siteB = folder.Write(
        "site-b.conf", "learn-port = " + Port(tunnelPort) + "\nset = \"receiver_nic=127.0.0.1\"\nreceive-address = "
                       "127.0.0.3\nreceive-port = " + Port(portB) + "\nsend-address = 127.0.0.5\ncrypto-type = 8\n"
                       "set-file = \"tunnel_cc=" + key + "\"\nlog-format = json\n");
    const std::string siteA = folder.Write(
        "site-a.conf", "destination = 127.0.0.1:" + Port(tunnelPort) + "\nreceive-port = " + Port(portA) +
                       "\nsend-address = 127.0.0.4\ncrypto-type = 8\nset-file = \"tunnel_cc=" + key + "\"\n");
    const sockettest::Fd outOfB = sockettest::BoundUdp("127.0.0.5", portA);
    const sockettest::Fd outOfA = sockettest::BoundUdp("127.0.0.4", portB);
    const sockettest::Fd sender = sockettest::BoundUdp("127.0.0.1");

    const std::string status = folder.Path("a.status");
    Program b({ZAN_TUNNEL_PROGRAM, "--config", siteB, "--duration", "30"});
    Program a({ZAN_TUNNEL_PROGRAM, "--config", siteA, "--duration", "30", "--stats", "0.2", "--status-file", status,
               "--log-format", "json"});
    EXPECT_TRUE(Carried(sender, "127.0.0.2", portA, outOfB, 'B')) << a.Errors() << b.Errors();
    EXPECT_TRUE(Carried(sender, "127.0.0.3", portB, outOfA, 'A')) << a.Errors() << b.Errors();

    // The status file, read while the tunnel runs: whole JSON, counters moving.
    nlohmann::json seen;
    EXPECT_TRUE(WaitUntil([&] {
        const std::string text = ReadText(status);
        seen = text.empty() ? nlohmann::json() : nlohmann::json::parse(text);  // throws on a torn file
        return !text.empty() && seen["counters"]["datagrams_sent"].get<uint64_t>() > 0;
    })) << seen.dump();
    EXPECT_EQ(seen["state"].dump() + seen["mode"].dump() + seen["peer"].dump(),
              "\"running\"\"udp\"\"127.0.0.1:" + Port(tunnelPort) + "\"");

    EXPECT_EQ(a.Stop(), 0) << a.Errors();
    EXPECT_EQ(b.Stop(), 0) << b.Errors();
    EXPECT_EQ(nlohmann::json::parse(ReadText(status))["state"], "stopped");

    // Every line of both ends is one JSON object with the stable fields.
    for (Program* end : {&a, &b}) {
        bool started = false;
        bool stats = false;
        for (const std::string& line : Lines(end->Errors())) {
            const nlohmann::json parsed = nlohmann::json::parse(line);
            ASSERT_TRUE(parsed.contains("time") && parsed.contains("level") && parsed.contains("event")) << line;
            if (parsed["event"] == "start") {
                started = true;
                EXPECT_EQ(parsed["crypto_type"].dump() + parsed["key_id"].dump(), "81") << line;
            }
            stats = stats || (parsed["event"] == "stats" && parsed["counters"].contains("drops_gcm_tag"));
        }
        EXPECT_TRUE(started) << end->Errors();
        EXPECT_EQ(stats, end == &a) << end->Errors();
    }
}

// Two processes whose TCP tunnels meet in a pairing relay through a squid
// (found through https_proxy, or given with a Basic or an NTLM login);
// datagrams go both ways.
TEST(CommandLineHost, TunnelsThroughEachKindOfProxyCarryDatagramsBothWays)
{
    if (const auto missing = squidtest::MissingSquid()) {
        GTEST_SKIP() << *missing;
    }
    Folder folder;
    const std::string password = folder.Write("password", std::string(squidtest::kBasicPassword) + "\n");
    const struct {
        SquidProxy::Kind kind;
        std::string proxy;  // ahead of the proxy's port
        std::vector<std::string> more;
    } cases[] = {
        {SquidProxy::Kind::kOpen, "auto", {}},
        {SquidProxy::Kind::kBasic, std::string(squidtest::kBasicUser) + "@127.0.0.1:", {"--proxy-password-file", password}},
        {SquidProxy::Kind::kNtlm, "CORP\\alice:ntlm-password@127.0.0.1:", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.proxy);
        SquidProxy proxy(c.kind);
        ASSERT_TRUE(proxy.Start()) << proxy.Error();
        TcpTestPeer relay(TcpTestPeer::Mode::kPair);
        ASSERT_TRUE(relay.Start()) << relay.Error();
        const uint16_t portA = FreePort();
        const uint16_t portB = FreePort();
        const sockettest::Fd outOfB = sockettest::BoundUdp("127.0.0.5", portA);
        const sockettest::Fd outOfA = sockettest::BoundUdp("127.0.0.4", portB);
        const sockettest::Fd sender = sockettest::BoundUdp("127.0.0.1");
        const bool found = c.proxy == "auto";
        const std::vector<std::string> environment = {"https_proxy=http://127.0.0.1:" + Port(proxy.Port())};
        auto args = [&](const char* receive, uint16_t port, const char* send) {
            std::vector<std::string> a = {ZAN_TUNNEL_PROGRAM, "--set", "tcp_tunnel_type=1", "--set",
                                          "tcp_tunnel_connect=127.0.0.1 " + Port(relay.Port()), "--set",
                                          "tcp_tunnel=127.0.0.1 x", "--receive-address", receive, "--receive-port",
                                          Port(port), "--send-address", send, "--duration", "60", "--proxy",
                                          found ? c.proxy : c.proxy + Port(proxy.Port())};
            a.insert(a.end(), c.more.begin(), c.more.end());
            return a;
        };
        Program a(args("127.0.0.2", portA, "127.0.0.4"), found ? environment : std::vector<std::string>{});
        Program b(args("127.0.0.3", portB, "127.0.0.5"), found ? environment : std::vector<std::string>{});
        ASSERT_TRUE(relay.WaitForConnections(2, 20000)) << a.Errors() << b.Errors();
        EXPECT_TRUE(Carried(sender, "127.0.0.2", portA, outOfB, 'B')) << a.Errors() << b.Errors();
        EXPECT_TRUE(Carried(sender, "127.0.0.3", portB, outOfA, 'A')) << a.Errors() << b.Errors();
        EXPECT_EQ(a.Stop(), 0) << a.Errors();
        EXPECT_EQ(b.Stop(), 0) << b.Errors();
    }
}

#endif

}  // namespace

}  // namespace zan
