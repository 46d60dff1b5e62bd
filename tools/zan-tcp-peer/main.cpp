// zan-tcp-peer: serves TCP tunnel connections on 127.0.0.1 until SIGINT or
// SIGTERM, or for --duration seconds.
//
//   zan-tcp-peer [--port N] [--mode echo|pair] [--hold BYTES] [--duration S] | --help | --version
//
// Prints "listening on 127.0.0.1:<port>" once it is ready and its counters
// when it ends.

#include "TcpTestPeer.h"

#include <CLI/CLI.hpp>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>

namespace zan {

namespace {

struct Options {
    uint16_t port = 0;
    TcpTestPeer::Mode mode = TcpTestPeer::Mode::kEcho;
    std::optional<double> durationSeconds;
    size_t holdBytes = 0;
};

// Parses the command line; nothing after help or the version (exit code 0)
// or a usage error (exit code 2, message on standard error).
std::optional<Options> Parse(int argc, char** argv, int& exitCode)
{
    CLI::App app{"zan-tcp-peer: a loopback far end for TCP tunnels (listens on 127.0.0.1)"};
    app.set_version_flag("--version", std::string("zan-tcp-peer ") + ZAN_VERSION);
    Options options;
    app.add_option("--port", options.port, "TCP port to listen on (default 0: an ephemeral port)")
        ->option_text("PORT");
    std::string mode = "echo";
    app.add_option("--mode", mode, "echo: frames go back; pair: frames go to the paired connection")
        ->check(CLI::IsMember({"echo", "pair"}));
    app.add_option("--hold", options.holdBytes,
                   "pair mode: keep up to BYTES of frames from a connection without a partner and pass them on "
                   "once it has one (default 0: drop them)")
        ->check(CLI::Range(size_t{0}, TcpTestPeer::kMaxQueuedOutput))
        ->option_text("BYTES");
    app.add_option("--duration", options.durationSeconds, "stop after SECONDS (default: until SIGINT or SIGTERM)")
        ->check(CLI::Range(0.0, 1e7))
        ->option_text("SECONDS");
    try {
        app.parse(argc, argv);
        options.mode = mode == "pair" ? TcpTestPeer::Mode::kPair : TcpTestPeer::Mode::kEcho;
    } catch (const CLI::Success& e) {
        exitCode = app.exit(e);
        return std::nullopt;
    } catch (const CLI::ParseError& e) {
        (void)app.exit(e);
        exitCode = 2;
        return std::nullopt;
    }
    return options;
}

// Waits for SIGINT or SIGTERM (blocked beforehand) or the end of the run.
void WaitForEnd(const sigset_t& signals, const std::optional<double>& durationSeconds)
{
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const timespec slice{0, 200 * 1000 * 1000};
        if (sigtimedwait(&signals, nullptr, &slice) > 0) {
            return;
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        if (durationSeconds && elapsed.count() >= *durationSeconds) {
            return;
        }
    }
}

}  // namespace

} // namespace zan

using namespace zan;

int main(int argc, char** argv)
{
    int exitCode = 0;
    const std::optional<Options> options = Parse(argc, argv, exitCode);
    if (!options) {
        return exitCode;
    }
    // Blocked before the I/O thread starts, so only sigtimedwait sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    TcpTestPeer peer(options->mode);
    peer.HoldUnpaired(options->holdBytes);
    if (!peer.Start(options->port)) {
        std::fprintf(stderr, "zan-tcp-peer: %s\n", peer.Error().c_str());
        return 1;
    }
    std::printf("listening on 127.0.0.1:%u (mode %s)\n", static_cast<unsigned>(peer.Port()),
                options->mode == TcpTestPeer::Mode::kEcho ? "echo" : "pair");
    std::fflush(stdout);

    WaitForEnd(signals, options->durationSeconds);
    peer.Stop();

    const TcpTestPeer::Counters c = peer.Read();
    std::printf("accepted %llu, greeting ok %llu, greeting bad %llu, frames received %llu, "
                "forwarded %llu, held %llu, stream errors %llu\n",
                static_cast<unsigned long long>(c.accepted), static_cast<unsigned long long>(c.greetingOk),
                static_cast<unsigned long long>(c.greetingBad), static_cast<unsigned long long>(c.framesReceived),
                static_cast<unsigned long long>(c.framesForwarded), static_cast<unsigned long long>(c.framesHeld),
                static_cast<unsigned long long>(c.streamErrors));
    return 0;
}
