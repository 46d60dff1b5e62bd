#include "HostOptions.h"

#include "HostFile.h"

#include <CLI/CLI.hpp>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

namespace zan {

namespace {

int64_t ParseInteger(const std::string& option, const std::string& text, int64_t low, int64_t high)
{
    size_t used = 0;
    long long value = 0;
    try {
        value = std::stoll(text, &used, 10);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || value < low || value > high) {
        throw CLI::ValidationError(option + " wants a whole number from " + std::to_string(low) + " to " +
                                   std::to_string(high) + ", got '" + text + "'");
    }
    return value;
}

uint32_t ParsePort(const std::string& option, const std::string& text)
{
    return static_cast<uint32_t>(ParseInteger(option, text, 0, 65535));
}

std::vector<char> FileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw CLI::ValidationError("cannot read the header file '" + path + "'");
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A proxy word of the tcp_tunnel_proxy value: white space would split it.
std::string ProxyWord(const std::string& word, const char* what)
{
    if (word.empty() || word.find_first_of(" \t\r\n") != std::string::npos) {
        throw CLI::ValidationError(std::string("--proxy: the ") + what + " must be non-empty and without blanks");
    }
    return word;
}

// --proxy [USER[:PASSWORD]@]HOST:PORT, or auto: the tcp_tunnel_proxy value.
// `passwordFile` is the password of --proxy-password-file, if given.
std::string ProxyValue(const std::string& value, const std::optional<std::string>& passwordFile)
{
    if (value == "auto") {
        return "1";
    }
    const auto at = value.rfind('@');
    const std::string address = at == std::string::npos ? value : value.substr(at + 1);
    const auto colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        throw CLI::ValidationError("--proxy wants [USER[:PASSWORD]@]HOST:PORT or auto, got '" + value + "'");
    }
    const std::string host = ProxyWord(address.substr(0, colon), "host");
    const std::string port = std::to_string(ParsePort("--proxy", address.substr(colon + 1)));
    if (at == std::string::npos) {
        return "1 " + host + " " + port;
    }
    const std::string credentials = value.substr(0, at);
    const auto split = credentials.find(':');
    const std::string user = ProxyWord(credentials.substr(0, split), "user");
    std::string password;
    if (split != std::string::npos) {
        password = credentials.substr(split + 1);
    } else if (passwordFile) {
        password = *passwordFile;
    } else {
        throw CLI::ValidationError("--proxy " + user + "@...: give the password as USER:PASSWORD@ or with "
                                   "--proxy-password-file");
    }
    return "1 " + host + " " + port + " " + user + " " + ProxyWord(password, "password");
}

HostOptions::Action MakeAction(const std::string& option, const std::string& value,
                               const std::optional<std::string>& proxyPassword)
{
    using Kind = HostOptions::Kind;
    HostOptions::Action action{};
    if (option == "--destination") {
        const auto colon = value.rfind(':');
        if (colon == std::string::npos || colon == 0) {
            throw CLI::ValidationError("--destination wants ADDR:PORT, got '" + value + "'");
        }
        action = {Kind::Destination, value.substr(0, colon), {}, ParsePort(option, value.substr(colon + 1)), 0};
    } else if (option == "--learn-port") {
        action = {Kind::LearnPort, {}, {}, ParsePort(option, value), 0};
    } else if (option == "--local-port") {
        action = {Kind::LocalPort, {}, {}, ParsePort(option, value), 0};
    } else if (option == "--receive-address") {
        action = {Kind::ReceiveAddress, value, {}, 0, 0};
    } else if (option == "--receive-port") {
        action = {Kind::ReceivePort, {}, {}, ParsePort(option, value), 0};
    } else if (option == "--send-address") {
        action = {Kind::SendAddress, value, {}, 0, 0};
    } else if (option == "--source-tag") {
        action = {Kind::SourceTag, {}, {}, 0, static_cast<int32_t>(ParseInteger(option, value, INT32_MIN, INT32_MAX))};
    } else if (option == "--crypto-type") {
        action = {Kind::CryptoType, {}, {}, static_cast<uint32_t>(ParseInteger(option, value, 0, UINT32_MAX)), 0};
    } else if (option == "--crypto-key-file") {
        action = {Kind::CryptoKey, FirstLineOfHostFile(value, "key file", true), {}, 0, 0};
    } else if (option == "--set") {
        const auto equals = value.find('=');
        if (equals == std::string::npos || equals == 0) {
            throw CLI::ValidationError("--set wants NAME=VALUE, got '" + value + "'");
        }
        action = {Kind::SetProperty, value.substr(equals + 1), value.substr(0, equals), 0, 0};
    } else if (option == "--set-file") {
        const auto equals = value.find('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == value.size()) {
            throw CLI::ValidationError("--set-file wants NAME=FILE, got '" + value + "'");
        }
        const std::string name = value.substr(0, equals);
        action = {Kind::SetProperty, FirstLineOfHostFile(value.substr(equals + 1), name + " file", true), name, 0, 0};
    } else if (option == "--proxy") {
        action = {Kind::SetProperty, ProxyValue(value, proxyPassword), "tcp_tunnel_proxy", 0, 0};
    }
    return action;
}

constexpr char kExamples[] = R"(
Examples:
  zan-tunnel demo
      two tunnels in one process carry a stream of datagrams over loopback
  zan-tunnel --learn-port 7000 --receive-address 127.0.0.3 --receive-port 5004 \
             --crypto-type 8 --set "tunnel_cc=1 00112233445566778899aabbccddeeff 0102030405060708090a0b0c0d0e 1000"
      listens on UDP port 7000, learns its peer from the first packet
  zan-tunnel --destination 127.0.0.1:7000 --receive-port 5004 --crypto-type 8 \
             --set "tunnel_cc=1 00112233445566778899aabbccddeeff 0102030405060708090a0b0c0d0e 1000" --stats 5
      calls that peer; datagrams sent to 127.0.0.2:5004 arrive at the peer's 127.0.0.1:5004
  zan-tunnel --set tcp_tunnel_type=1 --set "tcp_tunnel_connect=relay.example 443" \
             --set "tcp_tunnel=relay.example x" --receive-port 5004
      carries the tunnel over one TCP connection
  zan-tunnel --set tcp_tunnel_type=1 --set "tcp_tunnel_connect=relay.example 443" \
             --set "tcp_tunnel=relay.example x" --proxy 'CORP\alice@proxy.corp:3128' \
             --proxy-password-file ~/.proxy-password --receive-port 5004
      the same through an HTTP proxy (Basic or NTLM login); --proxy auto takes the
      desktop's proxy setting (environment, GNOME or KDE settings, PAC where supported)

Proxy logins: Basic, and NTLM as libntlm speaks it, which is NTLMv1 only. A proxy
that demands NTLMv2 refuses it; log in with Basic or use a proxy that needs no login.
Secrets: --crypto-key-file, --proxy-password-file and --set-file read the first line
of a regular file of at most 4096 bytes, so no key or password has to appear on the
command line (which every user of the machine can read); a file that other users can
access draws a warning.
)";

} // namespace

std::optional<HostOptions> ParseHostOptions(int argc, char** argv, int& exitCode)
{
    CLI::App app{"zan-tunnel: carries local UDP datagrams to a tunnel peer and back"};
    app.footer(kExamples);
    app.get_formatter()->column_width(34);

    const std::vector<std::pair<std::string, std::string>> settingOptions = {
        {"--destination", "ADDR:PORT  tunnel peer (e.g. 127.0.0.1:7000); sends from an ephemeral port"},
        {"--learn-port", "PORT  no destination: listen on PORT and learn the peer from its first packet"},
        {"--local-port", "PORT  local port of a multicast receive group (e.g. 7000)"},
        {"--receive-address", "ADDR  address of the local receive ports (default 127.0.0.2)"},
        {"--receive-port", "PORT  a local port whose datagrams go into the tunnel (repeatable, e.g. 5004)"},
        {"--send-address", "ADDR  where datagrams from the peer are delivered (default 127.0.0.1)"},
        {"--source-tag", "N  this end's source tag (e.g. 42)"},
        {"--crypto-type", "N  0 plain, 1-7 legacy ciphers, 8 authenticated (e.g. 8)"},
        {"--crypto-key-file", "FILE  key text of crypto types 1-7, from the file's first line"},
        {"--set", "NAME=VALUE  a named property (repeatable, e.g. tunnel_cc=7)"},
        {"--set-file", "NAME=FILE  a named property from FILE's first line (e.g. tunnel_cc=key.txt)"},
        {"--proxy", "[USER[:PASSWORD]@]HOST:PORT  TCP tunnel through this HTTP proxy; auto: the system's"},
    };
    // Every setting keeps its values; parse_order() tells in which order
    // the occurrences came, so they are applied as given.
    std::map<std::string, std::vector<std::string>> values;
    std::map<const CLI::Option*, std::string> names;
    for (const auto& [name, help] : settingOptions) {
        auto* option = app.add_option(name, values[name], help);
        option->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)->type_size(1)->allow_extra_args(false);
        names[option] = name;
    }
    HostOptions options;
    std::string headerFile;
    std::string proxyPasswordFile;
    app.add_option("--proxy-password-file", proxyPasswordFile, "FILE  password of --proxy USER@..., from FILE's first line");
    app.add_option("--get", options.gets, "NAME  print NAME=VALUE after Start (repeatable, e.g. ttl)")
        ->allow_extra_args(false);
    app.add_option("--record", options.recordFile, "FILE  record the tunnelled datagrams to FILE");
    app.add_option("--record-header", headerFile, "FILE  stream header of the recording, from FILE");
    app.add_option("--stats", options.statsSeconds, "SECONDS  a statistics line every SECONDS (e.g. 5)")
        ->check(CLI::PositiveNumber);
    app.add_option("--duration", options.durationSeconds, "SECONDS  run this long, then stop (default: until a signal)")
        ->check(CLI::PositiveNumber);
    std::string reconnect = "forever";
    app.add_option("--reconnect", reconnect,
                   "N|forever  TCP: give up after N failed reconnection tries in a row (default: forever)")
        ->check([](const std::string& text) -> std::string {
            if (text == "forever") {
                return {};
            }
            const bool digits = !text.empty() && text.size() <= 6 &&
                                text.find_first_not_of("0123456789") == std::string::npos;
            return digits && std::stoul(text) > 0 ? std::string() : "expects a positive number or forever";
        });
    app.add_option("--progid", options.progId,
                   "NAME  create the control from the registered module (e.g. ZAN_Tunnel.ZAN_Tunnel)");
    app.add_option("--call", options.call,
                   "METHOD [ARG...]  after the settings, call METHOD by name (e.g. GetProperties ttl), print the "
                   "result and exit");
    app.set_version_flag("--version", std::string("zan-tunnel ") + ZAN_VERSION);

    auto* demo = app.add_subcommand("demo", "two tunnels in one process exchange datagrams over loopback");
    demo->add_option("--count", options.demoCount, "datagrams to send (default 20000)")->check(CLI::Range(1u, 10000000u));
    demo->add_option("--size", options.demoSize, "payload bytes (default 200)")->check(CLI::Range(16u, 65000u));
    demo->add_option("--rate", options.demoRate, "datagrams per second (default 2000)")->check(CLI::Range(1u, 1000000u));
    demo->add_option("--crypto-type", options.demoCryptoType, "crypto type (default 8)")->check(CLI::Range(0u, 8u));

    try {
        app.parse(argc, argv);
        std::optional<std::string> proxyPassword;
        if (!proxyPasswordFile.empty()) {
            proxyPassword = FirstLineOfHostFile(proxyPasswordFile, "proxy password file", true);
        }
        std::map<std::string, size_t> next;
        for (const CLI::Option* option : app.parse_order()) {
            const auto named = names.find(option);
            if (named == names.end()) {
                continue;
            }
            const std::string& name = named->second;
            options.actions.push_back(MakeAction(name, values[name].at(next[name]++), proxyPassword));
        }
        if (!headerFile.empty()) {
            if (options.recordFile.empty()) {
                throw CLI::ValidationError("--record-header needs --record");
            }
            options.recordHeader = FileBytes(headerFile);
        }
    } catch (const CLI::ParseError& e) {
        exitCode = app.exit(e);
        return std::nullopt;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zan-tunnel: %s\n", e.what());
        exitCode = 2;
        return std::nullopt;
    }
    options.reconnectLimit = reconnect == "forever" ? 0 : static_cast<uint32_t>(std::stoul(reconnect));
    options.demo = demo->parsed();
    exitCode = 0;
    return options;
}

} // namespace zan
