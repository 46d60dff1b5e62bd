#pragma once

#include "HostLog.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zan {

// What the command line asks of the host, checked before anything is
// created: the settings to apply to the control in the order given, the
// names to read after Start, the recording, and how long to run.
struct HostOptions {
    enum class Kind {
        Destination,     // text = address, number = port
        LearnPort,       // number = port
        LocalPort,       // number
        ReceiveAddress,  // text
        ReceivePort,     // number
        SendAddress,     // text
        SourceTag,       // signedNumber
        CryptoType,      // number
        CryptoKey,       // text (read from the key file)
        SetProperty,     // name, text
    };
    struct Action {
        Kind kind;
        std::string text;
        std::string name;
        uint32_t number = 0;
        int32_t signedNumber = 0;
    };

    std::vector<Action> actions;
    std::vector<std::string> gets;
    std::string recordFile;
    std::optional<std::vector<char>> recordHeader;
    double statsSeconds = 0;     // 0: no statistics lines
    double durationSeconds = 0;  // 0: until SIGINT or SIGTERM
    uint32_t reconnectLimit = 0;  // TCP: failed tries before giving up; 0 until stopped

    // What to do instead of running a tunnel.
    bool check = false;           // run the checks on the settings, then exit
    bool genkey = false;          // print a fresh tunnel_cc key, then exit
    bool listProperties = false;  // print the property names, then exit

    HostLog::Format logFormat = HostLog::Format::kText;
    HostLog::Level logLevel = HostLog::Level::kInfo;
    std::string statusFile;  // rewritten every statistics period

    std::string progId;             // create the control by this registered name
    std::vector<std::string> call;  // METHOD ARG...: call it by name, print, exit

    bool demo = false;
    uint32_t demoCount = 20000;
    uint32_t demoSize = 200;
    uint32_t demoRate = 2000;  // datagrams per second
    uint32_t demoCryptoType = 8;
};

// Exit codes of the program.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // start failed, tunnel gave up, --check found a fault
inline constexpr int kExitUsage = 2;    // command line, config file or a setting is wrong

// Parses the command line (and the config file it names). Returns the
// options, or nothing after printing help or the version (exitCode 0) or
// what is wrong (exitCode 2).
std::optional<HostOptions> ParseHostOptions(int argc, char** argv, int& exitCode);

} // namespace zan
