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

// A recording's stream header, read under the rules of every host file,
// with room for more than a key.
constexpr size_t kMaxRecordHeader = size_t{1} << 20;

std::vector<char> FileBytes(const std::string& path)
{
    const std::string content = ReadHostFile(path, "header file", false, kMaxRecordHeader);
    return {content.begin(), content.end()};
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

// "HOST:PORT" split at its last colon; the port 1-65535.
std::pair<std::string, uint32_t> HostAndPort(const std::string& option, const std::string& value)
{
    const auto colon = value.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        throw CLI::ValidationError(option + " wants HOST:PORT, got '" + value + "'");
    }
    return {value.substr(0, colon), static_cast<uint32_t>(ParseInteger(option, value.substr(colon + 1), 1, 65535))};
}

// A value of the config file that would put a secret into it: keys and
// passwords belong in files of their own (key-file, set-file,
// proxy-password-file) that only the owner reads.
void RefuseSecretInConfig(const std::string& option, const std::string& value)
{
    const auto words = [](const std::string& text) {
        size_t count = 0;
        for (size_t i = 0; i < text.size(); ++i) {
            count += text[i] != ' ' && (i == 0 || text[i - 1] == ' ');
        }
        return count;
    };
    const bool key = option == "--set" && value.rfind("tunnel_cc=", 0) == 0 && words(value) == 4;
    const auto at = value.rfind('@');
    const bool password = option == "--proxy" && at != std::string::npos &&
                          value.substr(0, at).find(':') != std::string::npos;
    if (key || password) {
        throw CLI::ValidationError("the config file holds a " + std::string(key ? "key" : "password") + " in '" +
                                   option.substr(2) + "'; put it in a file only its owner reads and name that "
                                   "file with " + (key ? "set-file = \"tunnel_cc=FILE\"" : "proxy-password-file"));
    }
}

std::vector<HostOptions::Action> MakeActions(const std::string& option, const std::string& value,
                                             const std::optional<std::string>& proxyPassword)
{
    using Kind = HostOptions::Kind;
    if (option == "--tcp") {
        // The TCP tunnel in one option: type 1, the relay to connect to, and
        // tcp_tunnel's host (its second word is not used).
        const auto [host, port] = HostAndPort(option, value);
        return {{Kind::SetProperty, "1", "tcp_tunnel_type", 0, 0},
                {Kind::SetProperty, host + " " + std::to_string(port), "tcp_tunnel_connect", 0, 0},
                {Kind::SetProperty, host + " -", "tcp_tunnel", 0, 0}};
    }
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
    return {action};
}

constexpr char kExamples[] = R"(
Examples:
  zan-tunnel demo
      two tunnels in one process carry a stream of datagrams over loopback
  zan-tunnel genkey > site.key && chmod 600 site.key
      a fresh key for crypto type 8; copy the same file to both ends
  zan-tunnel --learn-port 7000 --set receiver_nic=192.0.2.10 --receive-port 5004 \
             --crypto-type 8 --set-file tunnel_cc=site.key
      listens on UDP port 7000 and learns its peer from the first packet
  zan-tunnel --destination 192.0.2.10:7000 --receive-port 5004 --crypto-type 8 \
             --set-file tunnel_cc=site.key --stats 5
      calls that peer; datagrams sent to 127.0.0.2:5004 arrive at the peer's 127.0.0.1:5004
  zan-tunnel --tcp relay.example:443 --receive-port 5004 --crypto-type 8 --set-file tunnel_cc=site.key
      carries the tunnel over one TCP connection
  zan-tunnel --tcp relay.example:443 --proxy 'CORP\alice@proxy.corp:3128' \
             --proxy-password-file ~/.proxy-password --receive-port 5004
      the same through an HTTP proxy (Basic or NTLM login); --proxy auto takes the
      desktop's proxy setting (environment, GNOME or KDE settings, PAC where supported)
  zan-tunnel --config /etc/zan-tunnel/site-b.conf --check
      checks a config file without opening a socket

Keys: the tunnel_cc value of crypto type 8 is "KEY-ID KEY SALT REKEY": a decimal key
id (1-255), 32 key bytes as 64 hex digits, 14 salt bytes as 28 hex digits and the
rekey period in packets (0: never). 'zan-tunnel genkey' prints one; both ends need
the same line. A tunnel_cc value of one number sets the 64-bit source tag instead.
Config files: the long options without their dashes, one "name = value" a line
(learn-port = 7000, set-file = "tunnel_cc=/etc/zan-tunnel/site-b.key"); repeat a
name for a repeatable option. Options on the command line replace the file's.
Keys and passwords only in files named by set-file, crypto-key-file or
proxy-password-file: the file refuses them inline.
Proxy logins: Basic, and NTLM as libntlm speaks it, which is NTLMv1 only. A proxy
that demands NTLMv2 refuses it; log in with Basic or use a proxy that needs no login.
Secrets: --crypto-key-file, --proxy-password-file and --set-file read the first line
of a regular file of at most 4096 bytes, so no key or password has to appear on the
command line (which every user of the machine can read); a file that other users can
access draws a warning.
Output: every line on standard error starts with its time (RFC 3339, UTC); with
--log-format json each line is one JSON object with "time", "level", "event" and
"message" and the event's own fields.

Exit status:
  0  the tunnel ran and was stopped; --check found nothing wrong; help, version, genkey
  1  the tunnel could not start (a port that cannot be bound, a failed crypto set-up,
     a control that cannot be created), a TCP tunnel gave up (--reconnect N), the
     recording could not start, or --check found a fault
  2  the command line or config file is wrong, a file named in it cannot be used,
     the control refused a setting, or the settings cannot work (checks before start)
)";

// Options whose occurrences become settings of the control, in the order
// they are applied when they come from the config file.
const std::vector<std::pair<std::string, std::string>> kSettingOptions = {
    {"--destination", "ADDR:PORT  tunnel peer (e.g. 127.0.0.1:7000); sends from an ephemeral port"},
    {"--learn-port", "PORT  no destination: listen on PORT and learn the peer from its first packet"},
    {"--tcp", "HOST:PORT  carry the tunnel over one TCP connection to this relay"},
    {"--local-port", "PORT  local port of a multicast receive group (e.g. 7000)"},
    {"--receive-address", "ADDR  address of the local receive ports (default 127.0.0.2)"},
    {"--receive-port", "PORT  a local port whose datagrams go into the tunnel (repeatable, e.g. 5004)"},
    {"--send-address", "ADDR  where datagrams from the peer are delivered (default 127.0.0.1)"},
    {"--source-tag", "N  this end's source tag (e.g. 42)"},
    {"--crypto-type", "N  0 plain, 1-7 legacy ciphers, 8 authenticated (e.g. 8)"},
    {"--crypto-key-file", "FILE  key text of crypto types 1-7, from the file's first line"},
    {"--set", "NAME=VALUE  a named property (repeatable, e.g. ttl=16; see --list-properties)"},
    {"--set-file", "NAME=FILE  a named property from FILE's first line (e.g. tunnel_cc=site.key)"},
    {"--proxy", "[USER[:PASSWORD]@]HOST:PORT  TCP tunnel through this HTTP proxy; auto: the system's"},
};

std::string OneLineError(const std::string& what)
{
    std::string line;
    for (char c : what) {
        line += c == '\n' ? ' ' : c;
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line;
}

} // namespace

std::optional<HostOptions> ParseHostOptions(int argc, char** argv, int& exitCode)
{
    CLI::App app{"zan-tunnel: carries local UDP datagrams to a tunnel peer and back"};
    app.footer(kExamples);
    app.get_formatter()->column_width(34);
    app.set_config("--config", "", "FILE  read options from FILE (name = value lines); the command line wins");
    app.allow_config_extras(CLI::config_extras_mode::error);

    // Every setting keeps its values; parse_order() tells in which order
    // the occurrences came, so they are applied as given.
    std::map<std::string, std::vector<std::string>> values;
    std::map<const CLI::Option*, std::string> names;
    for (const auto& [name, help] : kSettingOptions) {
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
    app.add_option("--stats", options.statsSeconds, "SECONDS  print every counter every SECONDS (e.g. 5)")
        ->check(CLI::PositiveNumber);
    app.add_option("--status-file", options.statusFile,
                   "FILE  rewrite FILE (JSON: state, peer, counters, last error) every --stats period (default 5 s)");
    app.add_option("--duration", options.durationSeconds, "SECONDS  run this long, then stop (default: until a signal)")
        ->check(CLI::PositiveNumber);
    std::string reconnect = "forever";
    app.add_option("--reconnect", reconnect,
                   "N|forever  TCP: give up (exit 1) after N failed reconnection tries in a row (default: forever)")
        ->check([](const std::string& text) -> std::string {
            if (text == "forever") {
                return {};
            }
            const bool digits = !text.empty() && text.size() <= 6 &&
                                text.find_first_not_of("0123456789") == std::string::npos;
            return digits && std::stoul(text) > 0 ? std::string() : "expects a positive number or forever";
        });
    std::string logFormat = "text";
    app.add_option("--log-format", logFormat, "text|json  lines on standard error as text or one JSON object each")
        ->check(CLI::IsMember({"text", "json"}));
    bool verboseFlag = false;
    bool quietFlag = false;
    auto* verbose = app.add_flag("-v,--verbose", verboseFlag, "also print each setting as it is applied");
    auto* quiet = app.add_flag("-q,--quiet", quietFlag, "print only warnings and errors");
    verbose->excludes(quiet);
    app.add_flag("--check", options.check, "apply the settings, run every check and exit 0 or 1 without opening a socket");
    app.add_flag("--list-properties", options.listProperties,
                 "print every property name, whether this control uses it, and its value format");
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
    auto* genkey = app.add_subcommand("genkey", "print a fresh tunnel_cc key line for a key file, then exit");

    try {
        app.parse(argc, argv);
        options.logFormat = logFormat == "json" ? HostLog::Format::kJson : HostLog::Format::kText;
        options.logLevel = verboseFlag ? HostLog::Level::kDebug
                           : quietFlag ? HostLog::Level::kWarning
                                       : HostLog::Level::kInfo;
        HostLog::Instance().Configure(options.logFormat, options.logLevel);
        std::optional<std::string> proxyPassword;
        if (!proxyPasswordFile.empty()) {
            proxyPassword = FirstLineOfHostFile(proxyPasswordFile, "proxy password file", true);
        }
        // Settings from the config file come first, in the order of
        // kSettingOptions; the command line's follow in the order given.
        std::map<std::string, size_t> fromCommandLine;
        for (const CLI::Option* option : app.parse_order()) {
            if (const auto named = names.find(option); named != names.end()) {
                ++fromCommandLine[named->second];
            }
        }
        const auto add = [&](const std::string& name, const std::string& value) {
            for (HostOptions::Action& action : MakeActions(name, value, proxyPassword)) {
                options.actions.push_back(std::move(action));
            }
        };
        for (const auto& [name, help] : kSettingOptions) {
            if (fromCommandLine[name] == 0) {
                for (const std::string& value : values[name]) {
                    RefuseSecretInConfig(name, value);
                    add(name, value);
                }
            }
        }
        std::map<std::string, size_t> next;
        for (const CLI::Option* option : app.parse_order()) {
            if (const auto named = names.find(option); named != names.end()) {
                const std::string& name = named->second;
                add(name, values[name].at(next[name]++));
            }
        }
        if (!headerFile.empty()) {
            if (options.recordFile.empty()) {
                throw CLI::ValidationError("--record-header needs --record");
            }
            options.recordHeader = FileBytes(headerFile);
        }
    } catch (const CLI::CallForHelp& e) {
        exitCode = app.exit(e);
        return std::nullopt;
    } catch (const CLI::CallForAllHelp& e) {
        exitCode = app.exit(e);
        return std::nullopt;
    } catch (const CLI::CallForVersion& e) {
        exitCode = app.exit(e);
        return std::nullopt;
    } catch (const std::exception& e) {
        LogError("usage", "zan-tunnel: " + OneLineError(e.what()) + " (see zan-tunnel --help)");
        exitCode = kExitUsage;
        return std::nullopt;
    }
    options.reconnectLimit = reconnect == "forever" ? 0 : static_cast<uint32_t>(std::stoul(reconnect));
    options.demo = demo->parsed();
    options.genkey = genkey->parsed();
    exitCode = kExitOk;
    return options;
}

} // namespace zan
