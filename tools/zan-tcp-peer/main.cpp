// zan-tcp-peer: serves TCP tunnel connections on 127.0.0.1 until SIGINT or
// SIGTERM, or for --duration seconds.
//
//   zan-tcp-peer [--port N] [--mode echo|pair] [--duration S]
//
// Prints "listening on 127.0.0.1:<port>" once it is ready and its counters
// when it ends.

#include "TcpTestPeer.h"

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

namespace zan {

namespace {

struct Options {
    uint16_t port = 0;
    TcpTestPeer::Mode mode = TcpTestPeer::Mode::kEcho;
    std::optional<double> durationSeconds;
};

bool ParseNumber(const char* text, double low, double high, double& value)
{
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= low && value <= high;
}

std::optional<Options> Parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help" || name == "-h" || i + 1 >= argc) {
            return std::nullopt;
        }
        const char* value = argv[++i];
        double number = 0;
        if (name == "--port" && ParseNumber(value, 0, 65535, number)) {
            options.port = static_cast<uint16_t>(number);
        } else if (name == "--mode" && std::strcmp(value, "echo") == 0) {
            options.mode = TcpTestPeer::Mode::kEcho;
        } else if (name == "--mode" && std::strcmp(value, "pair") == 0) {
            options.mode = TcpTestPeer::Mode::kPair;
        } else if (name == "--duration" && ParseNumber(value, 0, 1e7, number)) {
            options.durationSeconds = number;
        } else {
            return std::nullopt;
        }
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
    const std::optional<Options> options = Parse(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: zan-tcp-peer [--port N] [--mode echo|pair] [--duration SECONDS]\n");
        return 2;
    }
    // Blocked before the I/O thread starts, so only sigtimedwait sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    TcpTestPeer peer(options->mode);
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
                "forwarded %llu, stream errors %llu\n",
                static_cast<unsigned long long>(c.accepted), static_cast<unsigned long long>(c.greetingOk),
                static_cast<unsigned long long>(c.greetingBad), static_cast<unsigned long long>(c.framesReceived),
                static_cast<unsigned long long>(c.framesForwarded), static_cast<unsigned long long>(c.streamErrors));
    return 0;
}
