// zan-tunnel as an operator runs it: exit codes of tunnels that cannot
// work, --check, genkey with a config file end to end, JSON log lines and
// the status file of a running tunnel.

#include "CNetworkSocket.h"
#include "HostProcess.h"
#include "ProgramRun.h"
#include "control_test_util.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace zan {

namespace {

#ifdef ZAN_TUNNEL_PROGRAM

using controltest::FreePort;

// A folder of the test's files, removed at the end.
class Folder {
public:
    Folder() : root(std::filesystem::temp_directory_path() / ("zan-cli-op-" + std::to_string(::getpid())))
    {
        std::filesystem::create_directories(root);
    }
    ~Folder() { std::filesystem::remove_all(root); }
    std::string Write(const std::string& name, const std::string& content)
    {
        const std::string path = Path(name);
        std::ofstream(path) << content;
        ::chmod(path.c_str(), 0600);
        return path;
    }
    std::string Path(const std::string& name) const { return (root / name).string(); }

private:
    std::filesystem::path root;
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

std::string Slurp(const std::string& path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Port(uint16_t port)
{
    return std::to_string(port);
}

// A key made by the program itself.
std::string GeneratedKey(Folder& folder, const std::string& name)
{
    const ProgramOutcome made = RunProgram(std::string(ZAN_TUNNEL_PROGRAM) + " genkey");
    EXPECT_EQ(made.code, 0) << made.err;
    EXPECT_EQ(Lines(made.out).size(), 1u) << made.out;
    return folder.Write(name, made.out);
}

TEST(OperatorExitCodes, TunnelsThatCannotWorkEndAtOnceWithTheirCodeAndOneLine)
{
    // Ports held by this test: the tunnel cannot bind them.
    CNetworkSocket heldTunnelPort;
    heldTunnelPort.OpenUdp();
    const uint16_t tunnelPort = FreePort();
    ASSERT_EQ(heldTunnelPort.Bind("127.0.0.1", tunnelPort), S_OK);
    CNetworkSocket heldReceivePort;
    heldReceivePort.OpenUdp();
    const uint16_t receivePort = FreePort();
    ASSERT_EQ(heldReceivePort.Bind("127.0.0.2", receivePort), S_OK);
    const std::string nobody = "127.0.0.1:" + Port(FreePort());  // a TCP port nothing listens on

    struct Case {
        const char* what;
        std::vector<std::string> args;
        int code;
        const char* words;
    };
    const Case cases[] = {
        {"tunnel port taken", {"--learn-port", Port(tunnelPort), "--set", "receiver_nic=127.0.0.1"}, 1,
         "could not start"},
        {"receive port taken", {"--destination", "127.0.0.1:9", "--receive-port", Port(receivePort)}, 1,
         "could not start"},
        {"TCP relay refuses, limit of 2 tries", {"--tcp", nobody, "--reconnect", "2"}, 1, "gave up after 2"},
        {"type 8 without key", {"--destination", "127.0.0.1:9", "--crypto-type", "8"}, 2, "needs a key"},
        {"unknown crypto type", {"--destination", "127.0.0.1:9", "--crypto-type", "9"}, 2, "unknown crypto type"},
        {"unknown option", {"--no-such-option"}, 2, "--no-such-option"},
        {"property this control does not use", {"--destination", "127.0.0.1:9", "--set", "draw_logo=1"}, 2,
         "known property name"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--duration", "20"});
        HostProcess host(args);
        const auto code = host.WaitForExit(10000);
        ASSERT_TRUE(code.has_value()) << c.what << " did not end: " << host.Errors();
        EXPECT_EQ(*code, c.code) << c.what << ": " << host.Errors();
        // The reason is the last line; a TCP tunnel said before that it is
        // not up yet and tried again.
        const std::vector<std::string> lines = Lines(host.Errors());
        ASSERT_FALSE(lines.empty()) << c.what;
        EXPECT_NE(lines.back().find(c.words), std::string::npos) << c.what << ": " << host.Errors();
        EXPECT_LE(lines.size(), c.code == 1 && c.args[0] == std::string("--tcp") ? 3u : 1u)
            << c.what << ": " << host.Errors();
    }
}

TEST(OperatorExitCodes, ARefusedTcpConnectionIsRetriedNotFatal)
{
    HostProcess host({"--tcp", "127.0.0.1:" + Port(FreePort()), "--duration", "20"});
    EXPECT_FALSE(host.WaitForExit(2500).has_value()) << host.Errors();
    EXPECT_NE(host.Errors().find("not connected yet"), std::string::npos) << host.Errors();
    EXPECT_EQ(host.Stop(), 0) << host.Errors();
}

TEST(OperatorCheck, GoodAndBadConfigFilesAnswer0And1WithoutOpeningASocket)
{
    Folder folder;
    const std::string key = GeneratedKey(folder, "site.key");
    // The tunnel port is held: --check still passes, as it binds nothing.
    CNetworkSocket held;
    held.OpenUdp();
    const uint16_t port = FreePort();
    ASSERT_EQ(held.Bind("127.0.0.1", port), S_OK);
    const std::string good = folder.Write("good.conf", "learn-port = " + Port(port) +
                                                           "\nset = \"receiver_nic=127.0.0.1\"\ncrypto-type = 8\n"
                                                           "set-file = \"tunnel_cc=" + key + "\"\n");
    const std::string noKey = folder.Write("nokey.conf", "learn-port = " + Port(port) + "\ncrypto-type = 8\n");
    const std::string inline_key =
        folder.Write("inline.conf", "destination = 127.0.0.1:9\nset = \"tunnel_cc=" + Slurp(key).substr(0, 110) + "\"\n");
    const std::string unknown = folder.Write("unknown.conf", "destination = 127.0.0.1:9\nno-such-name = 1\n");
    const std::string program = ZAN_TUNNEL_PROGRAM;
    const ProgramCase cases[] = {
        {"--config " + good + " --check", 0, "", "pass every check"},
        {"--config " + noKey + " --check", 1, "", "needs a key"},
        {"--config " + noKey + " --check --crypto-type 0", 0, "", "first sender"},  // the command line wins
        {"--config " + inline_key + " --check", 2, "", "holds a key"},
        {"--config " + unknown + " --check", 2, "", "no-such-name"},
        {"--config " + folder.Path("missing.conf") + " --check", 2, "", "missing.conf"},
    };
    ExpectAnswers(program, cases);
}

// Sends until the datagram comes out at `out`, for at most 10 s.
bool Carried(CNetworkSocket& sender, const char* to, uint16_t port, CNetworkSocket& out)
{
    const std::string payload = "through the tunnel";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        sender.SendTo(to, port, reinterpret_cast<const uint8_t*>(payload.data()), static_cast<uint32_t>(payload.size()));
        std::vector<uint8_t> buffer(2048);
        std::string from;
        uint32_t fromPort = 0;
        const int32_t n = out.ReceiveFrom(from, fromPort, buffer.data(), 2048);  // waits up to 200 ms
        if (n == static_cast<int32_t>(payload.size()) && std::equal(payload.begin(), payload.end(), buffer.begin())) {
            return true;
        }
    }
    return false;
}

TEST(OperatorConfig, TwoSitesFromConfigFilesWithAGeneratedKeyCarryDatagramsAndReportInJson)
{
    Folder folder;
    const std::string key = GeneratedKey(folder, "shared.key");
    const uint16_t tunnelPort = FreePort();
    const uint16_t mediaPort = FreePort();
    const std::string siteB = folder.Write(
        "site-b.conf", "learn-port = " + Port(tunnelPort) + "\nset = \"receiver_nic=127.0.0.1\"\nreceive-address = "
                       "127.0.0.3\nsend-address = 127.0.0.5\ncrypto-type = 8\nset-file = \"tunnel_cc=" + key +
                       "\"\nlog-format = json\n");
    const std::string siteA = folder.Write(
        "site-a.conf", "destination = 127.0.0.1:" + Port(tunnelPort) + "\nreceive-port = " + Port(mediaPort) +
                       "\nsend-address = 127.0.0.4\ncrypto-type = 8\nset-file = \"tunnel_cc=" + key + "\"\n");
    CNetworkSocket outOfB;
    outOfB.OpenUdp();
    ASSERT_EQ(outOfB.Bind("127.0.0.5", mediaPort), S_OK);
    CNetworkSocket sender;
    sender.OpenUdp();
    ASSERT_EQ(sender.Bind("127.0.0.1", 0), S_OK);

    const std::string status = folder.Path("a.status");
    HostProcess b({"--config", siteB, "--duration", "30"});
    HostProcess a({"--config", siteA, "--duration", "30", "--stats", "0.2", "--status-file", status,
                   "--log-format", "json"});
    EXPECT_TRUE(Carried(sender, "127.0.0.2", mediaPort, outOfB)) << a.Errors() << b.Errors();

    // The status file, read while the tunnel runs: whole JSON, counters moving.
    nlohmann::json seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string text = Slurp(status);
        if (!text.empty()) {
            seen = nlohmann::json::parse(text);  // throws on a torn file
            if (seen["counters"]["datagrams_sent"].get<uint64_t>() > 0) {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(seen["state"], "running") << seen.dump();
    EXPECT_EQ(seen["mode"], "udp");
    EXPECT_EQ(seen["peer"], "127.0.0.1:" + Port(tunnelPort));
    EXPECT_GT(seen["counters"]["datagrams_sent"].get<uint64_t>(), 0u) << seen.dump();

    EXPECT_EQ(a.Stop(), 0) << a.Errors();
    EXPECT_EQ(b.Stop(), 0) << b.Errors();
    EXPECT_EQ(nlohmann::json::parse(Slurp(status))["state"], "stopped");

    // Every line of both ends is one JSON object with the stable fields.
    for (HostProcess* end : {&a, &b}) {
        bool started = false;
        bool stats = false;
        for (const std::string& line : Lines(end->Errors())) {
            const nlohmann::json parsed = nlohmann::json::parse(line);
            ASSERT_TRUE(parsed.contains("time") && parsed.contains("level") && parsed.contains("event")) << line;
            if (parsed["event"] == "start") {
                started = true;
                EXPECT_EQ(parsed["crypto_type"], 8) << line;
                EXPECT_EQ(parsed["key_id"], 1) << line;
            }
            stats = stats || (parsed["event"] == "stats" && parsed["counters"].contains("drops_gcm_tag"));
        }
        EXPECT_TRUE(started) << end->Errors();
        EXPECT_EQ(stats, end == &a) << end->Errors();
    }
}

#endif

} // namespace

} // namespace zan
