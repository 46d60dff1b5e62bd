#include "RecordingCommands.h"

#include "FileRecordingSource.h"
#include "RecordingInspector.h"
#include "RecordingReplayer.h"

#include <charconv>
#include <cstdio>
#include <optional>

namespace zan {

using namespace RecordingFileFormat;

namespace {

constexpr const char* kUsageText =
    "usage: zan-rec info FILE\n"
    "       zan-rec dump FILE [--hex]\n"
    "       zan-rec verify FILE\n"
    "       zan-rec replay FILE --address ADDR [--speed X]\n";

const char* TypeName(uint32_t type)
{
    switch (static_cast<BlockType>(type)) {
    case BlockType::TunnelDatagram:
        return "datagram";
    case BlockType::ExternalData:
        return "external";
    case BlockType::StreamHeader:
        return "stream-header";
    case BlockType::Index:
        return "index";
    }
    return "unknown";
}

std::string PortText(uint32_t port)
{
    return port == kNoPort ? std::string("-") : std::to_string(port);
}

void PrintCounts(std::ostream& out, const std::string& label, const RecordingCounts& counts)
{
    out << "  " << label << ": " << counts.blocks << " blocks, " << counts.bytes << " bytes\n";
}

void PrintFault(std::ostream& out, const char* word, const RecordingFault& fault)
{
    out << word << " at offset " << fault.offset << ": " << fault.message << "\n";
}

void PrintTail(std::ostream& out, const RecordingSummary& summary)
{
    out << "complete blocks: " << summary.completeBlocks << ", ending at offset " << summary.completeEnd << "\n";
    if (summary.trailingBytes != 0) {
        out << "incomplete last block: " << summary.trailingBytes << " bytes\n";
    }
}

void PrintBlockLine(std::ostream& out, const RecordingBlock& block)
{
    char line[128];
    const BlockHeader& h = block.header;
    std::snprintf(line, sizeof line, "%14llu  %-13s %10u %10s %10u\n", static_cast<unsigned long long>(block.offset),
                  TypeName(h.type), h.time, PortText(h.port).c_str(), h.length);
    out << line;
}

void PrintBlockHeading(std::ostream& out)
{
    out << "        offset  type            time(ms)       port     length\n";
}

// Sixteen bytes a line: the offset inside the payload, then the bytes.
// Lines are built by hand: hex dumps of long recordings are large.
void PrintHex(std::ostream& out, uint64_t from, std::span<const std::byte> bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    for (size_t line = 0; line < bytes.size(); line += 16) {
        char text[80];
        int length = std::snprintf(text, sizeof text, "                %06llx:",
                                   static_cast<unsigned long long>(from + line));
        for (size_t i = line; i < bytes.size() && i < line + 16; ++i) {
            const auto value = std::to_integer<unsigned>(bytes[i]);
            text[length++] = ' ';
            text[length++] = kDigits[value >> 4];
            text[length++] = kDigits[value & 15];
        }
        text[length++] = '\n';
        out.write(text, length);
    }
}

void PrintHeader(std::ostream& out, const RecordingSummary& summary)
{
    const FileHeader& header = *summary.header;
    out << "magic: ZANS\n";
    out << "version: " << header.version << "\n";
    if (summary.HeaderSaysClosed()) {
        out << "closed properly: yes\n";
        out << "duration: " << header.duration << " ms\n";
        out << "index: offset " << header.indexOffset << ", "
            << (summary.indexEntries ? std::to_string(*summary.indexEntries) : std::string("no")) << " entries\n";
        out << "file end: " << header.fileEnd << " (file size " << summary.fileSize << ")\n";
    } else {
        out << "closed properly: no (the header is that of a recording still open)\n";
        out << "duration: unknown";
        if (summary.lastRecordTime) {
            out << " (last record at " << *summary.lastRecordTime << " ms)";
        }
        out << "\nindex: none\n";
        out << "file end: not set (file size " << summary.fileSize << ")\n";
    }
    out << "stream header: "
        << (summary.streamHeaderLength ? std::to_string(*summary.streamHeaderLength) + " bytes" : std::string("missing"))
        << "\n";
}

void PrintCountTables(std::ostream& out, const RecordingSummary& summary)
{
    out << "blocks by type:\n";
    for (uint32_t type = 0; type < summary.perType.size(); ++type) {
        PrintCounts(out, std::to_string(type) + " " + TypeName(type), summary.perType[type]);
    }
    if (summary.unknownTypes.blocks != 0) {
        PrintCounts(out, "other types", summary.unknownTypes);
    }
    out << "records by port:\n";
    for (const auto& [key, counts] : summary.perPort) {
        PrintCounts(out, std::string(TypeName(key.first)) + " port " + PortText(key.second), counts);
    }
    if (summary.otherPorts.blocks != 0) {
        PrintCounts(out, "further ports", summary.otherPorts);
    }
}

// Nothing to show for a file that is no recording at all.
bool ReportForeign(std::ostream& out, const RecordingInspection& inspection)
{
    if (inspection.isRecording) {
        return false;
    }
    PrintFault(out, "not a recording:", *inspection.fault);
    return true;
}

std::optional<double> ParseSpeed(const std::string& text)
{
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

struct CommandLine {
    std::string command;
    std::string file;
    bool hex = false;
    ReplayOptions replay;
    bool addressGiven = false;
};

// Fills `line` from the arguments; returns an error text, empty when fine.
std::string ParseArguments(std::span<const std::string> args, CommandLine& line)
{
    line.command = args[0];
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--hex" && line.command == "dump") {
            line.hex = true;
        } else if (arg == "--address" && line.command == "replay" && hasValue) {
            line.replay.address = args[++i];
            line.addressGiven = true;
        } else if (arg == "--speed" && line.command == "replay" && hasValue) {
            const auto speed = ParseSpeed(args[++i]);
            if (!speed) {
                return "'" + args[i] + "' is not a number";
            }
            line.replay.speed = *speed;
        } else if (!arg.starts_with("--") && line.file.empty()) {
            line.file = arg;
        } else {
            return "unexpected argument '" + arg + "'";
        }
    }
    if (line.file.empty()) {
        return "no FILE given";
    }
    if (line.command == "replay" && !line.addressGiven) {
        return "replay needs --address ADDR";
    }
    return {};
}

}  // namespace

int InfoCommand(RecordingSource& source, std::ostream& out)
{
    RecordingInspector inspector(source);
    const RecordingInspection inspection = inspector.Inspect();
    if (ReportForeign(out, inspection)) {
        return ZanRecExit::kBadFile;
    }
    const RecordingSummary& summary = inspection.summary;
    PrintHeader(out, summary);
    PrintCountTables(out, summary);
    PrintTail(out, summary);
    if (inspection.fault) {
        PrintFault(out, "fault", *inspection.fault);
        return ZanRecExit::kBadFile;
    }
    return ZanRecExit::kOk;
}

int DumpCommand(RecordingSource& source, bool hex, std::ostream& out)
{
    PrintBlockHeading(out);
    RecordingInspector inspector(source);
    bool readable = true;
    const RecordingInspection inspection =
        inspector.Inspect([&](const RecordingBlock& block, RecordingReader& reader) {
            PrintBlockLine(out, block);
            if (hex) {
                readable = reader.ForEachPayloadPiece(
                    block, [&out](uint64_t from, std::span<const std::byte> piece) { PrintHex(out, from, piece); });
            }
            return readable;
        });
    if (ReportForeign(out, inspection)) {
        return ZanRecExit::kBadFile;
    }
    if (!readable) {
        out << "read error\n";
        return ZanRecExit::kBadFile;
    }
    if (inspection.summary.trailingBytes != 0) {
        out << "incomplete last block: " << inspection.summary.trailingBytes << " bytes\n";
    }
    if (inspection.fault) {
        PrintFault(out, "fault", *inspection.fault);
        return ZanRecExit::kBadFile;
    }
    return ZanRecExit::kOk;
}

int VerifyCommand(RecordingSource& source, std::ostream& out)
{
    RecordingInspector inspector(source);
    RecordingInspection inspection = inspector.Inspect();
    if (ReportForeign(out, inspection)) {
        return ZanRecExit::kBadFile;
    }
    const RecordingSummary& summary = inspection.summary;
    if (inspection.SoundAndClosed()) {
        out << "OK: a closed recording of " << summary.completeBlocks << " blocks, duration "
            << summary.header->duration << " ms, " << summary.indexEntries.value_or(0) << " index entries\n";
        return ZanRecExit::kOk;
    }
    if (inspection.fault) {
        PrintFault(out, "FAULT", *inspection.fault);
    }
    if (!summary.HeaderSaysClosed()) {
        // What a crash or a recording still in progress leaves: every whole
        // block is listed so that nothing recorded goes unseen.
        out << "NOT CLOSED: the file header is that of a recording still open\n";
        PrintTail(out, summary);
        PrintBlockHeading(out);
        (void)inspector.Inspect([&out](const RecordingBlock& block, RecordingReader&) {
            PrintBlockLine(out, block);
            return true;
        });
    }
    return inspection.fault ? ZanRecExit::kBadFile : ZanRecExit::kNotClosed;
}

int RunZanRec(std::span<const std::string> args, std::ostream& out, std::ostream& err)
{
    if (args.empty()) {
        err << kUsageText;
        return ZanRecExit::kUsage;
    }
    if (args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
        out << kUsageText;
        return ZanRecExit::kOk;
    }
    if (args[0] != "info" && args[0] != "dump" && args[0] != "verify" && args[0] != "replay") {
        err << "zan-rec: unknown command '" << args[0] << "'\n" << kUsageText;
        return ZanRecExit::kUsage;
    }
    CommandLine line;
    if (const std::string problem = ParseArguments(args, line); !problem.empty()) {
        err << "zan-rec: " << problem << "\n" << kUsageText;
        return ZanRecExit::kUsage;
    }
    FileRecordingSource source;
    std::string error;
    if (!source.Open(line.file, error)) {
        err << "zan-rec: " << line.file << ": " << error << "\n";
        return ZanRecExit::kBadFile;
    }
    if (line.command == "info") {
        out << "file: " << line.file << "\n";
        return InfoCommand(source, out);
    }
    if (line.command == "dump") {
        return DumpCommand(source, line.hex, out);
    }
    if (line.command == "verify") {
        return VerifyCommand(source, out);
    }
    return ReplayCommand(source, line.replay, out, err);
}

} // namespace zan
