// The command-line host's files and proxy options: files it may read, the
// warning for secrets others can read, and tunnels of two zan-tunnel
// processes through a real proxy (given, and found through https_proxy).

#include "CNetworkSocket.h"
#include "SquidProxy.h"
#include "TcpTestPeer.h"
#include "HostProcess.h"
#include "control_test_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>

namespace zan {

namespace {

#ifdef ZAN_TUNNEL_PROGRAM

using namespace controltest;
using squidtest::SquidProxy;

// The processes get an environment with nothing of ours (only PATH).
const std::vector<std::string> kNothingOfOurs;

// A temporary folder with files of chosen content and mode.
class Files {
public:
    Files() : root(std::filesystem::temp_directory_path() / ("zan-cli-files-" + std::to_string(::getpid())))
    {
        std::filesystem::create_directories(root);
    }
    ~Files() { std::filesystem::remove_all(root); }
    std::string Write(const std::string& name, const std::string& content, mode_t mode = 0600)
    {
        const std::string path = (root / name).string();
        std::ofstream(path) << content;
        ::chmod(path.c_str(), mode);
        return path;
    }
    std::string Fifo(const std::string& name)
    {
        const std::string path = (root / name).string();
        ::mkfifo(path.c_str(), 0600);
        return path;
    }
    std::string Folder() const { return root.string(); }

private:
    std::filesystem::path root;
};

TEST(CommandLineHostFiles, OnlySmallRegularFilesAreReadOthersEndWithCode2)
{
    Files files;
    const std::string fifo = files.Fifo("fifo");
    const std::string large = files.Write("large", std::string(4097, 'k'));
    const std::string fits = files.Write("fits", std::string(4096, 'k'));
    struct Case {
        std::string path;
        std::string why;  // empty: accepted
    };
    const Case cases[] = {
        {"/dev/zero", "not a regular file"},
        {fifo, "not a regular file"},
        {files.Folder(), "not a regular file"},
        {large, "larger than 4096 bytes"},
        {files.Folder() + "/missing", "No such file"},
        {files.Write("empty", "\n"), "first line is empty"},
        {fits, ""},
    };
    for (const Case& c : cases) {
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"--crypto-key-file", c.path}, {"--set-file", "tunnel_cc=" + c.path},
              {"--proxy-password-file", c.path, "--proxy", "alice@127.0.0.1:3128"}}) {
            // A bad port after the file ends an accepted file's run too.
            std::vector<std::string> withStop = args;
            withStop.insert(withStop.end(), {"--receive-port", "70000"});
            HostProcess host(withStop, kNothingOfOurs);
            const auto code = host.WaitForExit(5000);
            ASSERT_TRUE(code.has_value()) << args[0] << " " << c.path << " did not end";
            const std::string errors = host.Errors();
            if (c.why.empty()) {
                // Read, and then stopped by the bad port's own error.
                EXPECT_NE(*code, 0);
                EXPECT_NE(errors.find("--receive-port"), std::string::npos) << errors;
            } else {
                EXPECT_EQ(*code, 2) << args[0] << " " << c.path;
                EXPECT_NE(errors.find(c.why), std::string::npos) << args[0] << " " << c.path << ": " << errors;
            }
        }
    }
}

TEST(CommandLineHostFiles, ARecordingHeaderFollowsTheSameRulesWithRoomForMore)
{
    Files files;
    const std::string recording = files.Folder() + "/out.rec";
    const std::string large = files.Write("large", std::string((1 << 20) + 1, 'h'));
    for (const auto& [path, why] : {std::pair<std::string, std::string>{"/dev/zero", "not a regular file"},
                                    {files.Fifo("fifo"), "not a regular file"},
                                    {large, "larger than 1048576 bytes"}}) {
        HostProcess host({"--record", recording, "--record-header", path}, kNothingOfOurs);
        const auto code = host.WaitForExit(5000);
        ASSERT_TRUE(code.has_value()) << path << " did not end";
        EXPECT_EQ(*code, 2) << path;
        EXPECT_NE(host.Errors().find(why), std::string::npos) << path << ": " << host.Errors();
    }
}

TEST(CommandLineHostFiles, SecretsOtherUsersCanReadDrawAWarning)
{
    Files files;
    for (const mode_t mode : {mode_t{0600}, mode_t{0640}, mode_t{0604}, mode_t{0400}}) {
        const std::string path = files.Write("secret" + std::to_string(mode), "s3cret\n", mode);
        HostProcess host({"--set-file", "tunnel_cc=" + path, "--receive-port", "70000"}, kNothingOfOurs);
        ASSERT_TRUE(host.WaitForExit(5000).has_value());
        const bool warned = host.Errors().find("accessible by other users") != std::string::npos;
        EXPECT_EQ(warned, (mode & 077) != 0) << std::oct << mode << ": " << host.Errors();
    }
}

// Two zan-tunnel processes whose TCP tunnels meet in a pairing relay
// through a squid; datagrams go both ways.
void CarryThroughProxy(const std::vector<std::string>& proxyArgs, const std::vector<std::string>& environment)
{
    TcpTestPeer relay(TcpTestPeer::Mode::kPair);
    ASSERT_TRUE(relay.Start()) << relay.Error();
    const uint16_t portA = FreePort();
    const uint16_t portB = FreePort();
    CNetworkSocket outOfB, outOfA, sender;
    ASSERT_TRUE(outOfB.OpenUdp() && outOfA.OpenUdp() && sender.OpenUdp());
    ASSERT_EQ(outOfB.Bind("127.0.0.5", portA), S_OK);
    ASSERT_EQ(outOfA.Bind("127.0.0.4", portB), S_OK);

    auto args = [&](const char* receive, uint16_t port, const char* send) {
        std::vector<std::string> a = {"--set", "tcp_tunnel_type=1", "--set",
                                      "tcp_tunnel_connect=127.0.0.1 " + std::to_string(relay.Port()), "--set",
                                      "tcp_tunnel=127.0.0.1 x", "--receive-address", receive, "--receive-port",
                                      std::to_string(port), "--send-address", send, "--duration", "60"};
        a.insert(a.end(), proxyArgs.begin(), proxyArgs.end());
        return a;
    };
    HostProcess a(args("127.0.0.2", portA, "127.0.0.4"), environment);
    HostProcess b(args("127.0.0.3", portB, "127.0.0.5"), environment);
    ASSERT_TRUE(relay.WaitForConnections(2, 20000)) << a.Errors() << b.Errors();

    auto carried = [&](const char* to, uint16_t port, CNetworkSocket& out) {
        const std::vector<uint8_t> payload(1200, 0x5a);
        std::vector<uint8_t> buffer(2048);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            sender.SendTo(to, port, payload.data(), static_cast<uint32_t>(payload.size()));
            std::string from;
            uint32_t fromPort = 0;
            const int32_t n = out.ReceiveFrom(from, fromPort, buffer.data(), 2048);
            if (n == 1200 && std::equal(payload.begin(), payload.end(), buffer.begin())) {
                return true;
            }
        }
        return false;
    };
    EXPECT_TRUE(carried("127.0.0.2", portA, outOfB)) << a.Errors() << b.Errors();
    EXPECT_TRUE(carried("127.0.0.3", portB, outOfA)) << a.Errors() << b.Errors();
    EXPECT_EQ(a.Stop(), 0) << a.Errors();
    EXPECT_EQ(b.Stop(), 0) << b.Errors();
}

TEST(CommandLineHostProxy, TunnelThroughAProxyFoundThroughHttpsProxy)
{
    if (const auto missing = squidtest::MissingSquid()) {
        GTEST_SKIP() << *missing;
    }
    SquidProxy proxy(SquidProxy::Kind::kOpen);
    ASSERT_TRUE(proxy.Start()) << proxy.Error();
    CarryThroughProxy({"--proxy", "auto"}, {"https_proxy=http://127.0.0.1:" + std::to_string(proxy.Port())});
}

TEST(CommandLineHostProxy, TunnelThroughBasicAndNtlmLogins)
{
    if (const auto missing = squidtest::MissingSquid()) {
        GTEST_SKIP() << *missing;
    }
    Files files;
    const std::string password = files.Write("password", std::string(squidtest::kBasicPassword) + "\n");
    {
        SquidProxy proxy(SquidProxy::Kind::kBasic);
        ASSERT_TRUE(proxy.Start()) << proxy.Error();
        CarryThroughProxy({"--proxy", std::string(squidtest::kBasicUser) + "@127.0.0.1:" + std::to_string(proxy.Port()),
                           "--proxy-password-file", password},
                          {});
    }
    {
        SquidProxy proxy(SquidProxy::Kind::kNtlm);
        ASSERT_TRUE(proxy.Start()) << proxy.Error();
        CarryThroughProxy({"--proxy", "CORP\\alice:ntlm-password@127.0.0.1:" + std::to_string(proxy.Port())}, {});
    }
}

#endif

}  // namespace

}  // namespace zan
