// zan-rec's command line: CLI11 subcommands, each opening the recording
// and running one command. Usage errors, unknown options and input files
// that cannot be opened answer ZanRecExit::kUsage.
#include "FileRecordingSource.h"
#include "PcapExporter.h"
#include "RecordingCommands.h"
#include "RecordingReader.h"
#include "RecordingReplayer.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <vector>

namespace zan {

namespace {

constexpr const char* kFooter = R"(
Times (--from, --to) are milliseconds since the recording started, or a
number with the unit ms, s, min or h (1500, 1.5s, 2min).

Exit status:
  0  success
  1  the file is damaged or is no recording, or the command could not be
     carried out (a capture file that cannot be written, ...)
  2  bad command line, or an input file that cannot be opened
  3  (verify) the file is sound but was never closed
)";

struct CommandLine {
    std::string file;
    OutputFormat format = OutputFormat::Text;
    DumpOptions dump;
    ReplayOptions replay;
    ExportOptions exporter;
};

CLI::App* AddCommand(CLI::App& app, const char* name, const char* description, CommandLine& line)
{
    CLI::App* command = app.add_subcommand(name, description);
    command->add_option("FILE", line.file, "the recording file")->required()->check(CLI::ExistingFile);
    return command;
}

void AddJsonFlag(CLI::App* command, CommandLine& line, const char* what)
{
    command->add_flag_callback(
        "--json", [&line] { line.format = OutputFormat::Json; }, what);
}

// A --from/--to option: checked as a time and stored in `target`.
void AddTimeOption(CLI::App* command, const char* name, std::optional<uint32_t>& target, const char* description)
{
    command
        ->add_option_function<std::string>(
            name, [&target](const std::string& text) { target = ParseRecordTime(text); }, description)
        ->check(CLI::Validator(
            [](std::string& text) {
                return ParseRecordTime(text) ? std::string() : "'" + text + "' is not a time such as 1500, 1.5s or 2min";
            },
            "TIME"))
        ->option_text("TIME");
}

bool IsCommand(CLI::App& app, const std::string& name)
{
    const auto commands = app.get_subcommands([](CLI::App*) { return true; });
    return std::any_of(commands.begin(), commands.end(), [&name](CLI::App* c) { return c->get_name() == name; });
}

// Writing the capture truncates its file first: never the input's own.
bool WouldOverwrite(const std::string& output, const std::string& input)
{
    std::error_code error;
    return output != "-" && std::filesystem::equivalent(output, input, error);
}

uint32_t ClosedDurationMs(RecordingSource& source)
{
    RecordingReader reader(source);
    const auto header = reader.ReadFileHeader();
    return header && header->IsFinal() ? header->duration : 0;
}

// A bar only on a terminal, and only where the wait is long enough to need one.
std::unique_ptr<ProgressBar> MaybeProgress(bool terminal, const char* label, RecordingSource& source,
                                           double seconds, std::ostream& err)
{
    if (!terminal || (source.Size() < kProgressMinFileBytes && seconds < kProgressMinSeconds)) {
        return nullptr;
    }
    return std::make_unique<ProgressBar>(err, label, source.Size());
}

}  // namespace

int RunZanRec(std::span<const std::string> args, std::ostream& out, std::ostream& err, bool errIsTerminal)
{
    CLI::App app{"zan-rec: inspect, check, replay and export tunnel recordings", "zan-rec"};
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("zan-rec ") + ZAN_VERSION);
    app.require_subcommand(1);
    CommandLine line;

    CLI::App* info = AddCommand(app, "info", "show the header and block counts by type and by port", line);
    AddJsonFlag(info, line, "one JSON object instead of text");

    CLI::App* dump = AddCommand(app, "dump", "list the blocks (offset, type, time, port, length)", line);
    dump->add_flag("--hex", line.dump.hex, "the payload as hex and text below each block");
    AddJsonFlag(dump, line, "one JSON object a line: each block, then an \"end\" summary");
    dump->add_option("--port", line.dump.ports, "only records on PORT (repeatable)")->option_text("PORT");
    AddTimeOption(dump, "--from", line.dump.fromMs, "only records at TIME or later");
    AddTimeOption(dump, "--to", line.dump.toMs, "only records at TIME or earlier");

    CLI::App* verify = AddCommand(app, "verify", "check the whole structure; exit 0 sound, 1 damaged, 3 not closed",
                                  line);
    AddJsonFlag(verify, line, "one JSON object instead of text");

    CLI::App* replay = AddCommand(app, "replay", "send the datagrams to ADDR on their ports at their times", line);
    replay->add_option("--address", line.replay.address, "numeric IPv4 or IPv6 address to send to")
        ->required()
        ->option_text("ADDR");
    replay->add_option("--speed", line.replay.speed, "play X times as fast (default 1)")->option_text("X");

    CLI::App* exporter =
        AddCommand(app, "export", "write the datagrams as IPv4/UDP packets to a capture (pcap) file", line);
    exporter->add_option("--pcap", line.exporter.pcapPath, "the capture file to write (- for standard output)")
        ->required()
        ->option_text("OUT");
    exporter->add_option("--source", line.exporter.source, "IPv4 source address of the packets (default 127.0.0.1)")
        ->option_text("ADDR");
    exporter
        ->add_option("--destination", line.exporter.destination,
                     "IPv4 destination address of the packets (default 127.0.0.2)")
        ->option_text("ADDR");
    exporter->add_option("--start", line.exporter.startSeconds, "Unix time of the recording's start (default 0)")
        ->option_text("SECONDS");

    try {
        if (!args.empty() && !args[0].starts_with("-") && !IsCommand(app, args[0])) {
            throw CLI::ExtrasError("unknown command '" + args[0] + "' (commands: info, dump, verify, replay, export)",
                                   CLI::ExitCodes::ExtrasError);
        }
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        app.parse(reversed);
        if (line.dump.fromMs && line.dump.toMs && *line.dump.fromMs > *line.dump.toMs) {
            throw CLI::ValidationError("--from", "--from is later than --to");
        }
        if (exporter->parsed() && WouldOverwrite(line.exporter.pcapPath, line.file)) {
            throw CLI::ValidationError("--pcap", "the capture file would overwrite the recording it is made from");
        }
    } catch (const CLI::Success& e) {
        return app.exit(e, out, err);
    } catch (const CLI::ParseError& e) {
        (void)app.exit(e, out, err);
        return ZanRecExit::kUsage;
    }

    FileRecordingSource source;
    std::string error;
    if (!source.Open(line.file, error)) {
        err << "zan-rec: " << line.file << ": " << error << "\n";
        return ZanRecExit::kUsage;
    }
    if (info->parsed()) {
        if (line.format == OutputFormat::Text) {
            out << "file: " << line.file << "\n";
        }
        return InfoCommand(source, out, line.format);
    }
    if (dump->parsed()) {
        line.dump.format = line.format;
        return DumpCommand(source, line.dump, out);
    }
    if (verify->parsed()) {
        const auto progress = MaybeProgress(errIsTerminal, "verify", source, 0, err);
        return VerifyCommand(source, out, line.format, progress.get());
    }
    if (replay->parsed()) {
        const double seconds = ClosedDurationMs(source) / 1000.0 / line.replay.speed;
        const auto progress = MaybeProgress(errIsTerminal, "replay", source, seconds, err);
        return ReplayCommand(source, line.replay, out, err, progress.get());
    }
    return ExportCommand(source, line.exporter, out, err);
}

} // namespace zan
