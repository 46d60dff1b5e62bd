#include "RecordingCommands.h"

#include "RecordingInspector.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace zan {

using namespace RecordingFileFormat;
using Json = nlohmann::ordered_json;

namespace {

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

bool IsRecord(const BlockHeader& header)
{
    return header.Is(BlockType::TunnelDatagram) || header.Is(BlockType::ExternalData);
}

// One word for what a walk found, the same in every JSON answer.
const char* Status(const RecordingInspection& inspection)
{
    if (!inspection.isRecording) {
        return "not-a-recording";
    }
    if (inspection.fault) {
        return "damaged";
    }
    return inspection.summary.HeaderSaysClosed() ? "ok" : "not-closed";
}

// ---- text ----

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

constexpr char kHexDigits[] = "0123456789abcdef";

// Sixteen bytes a line: the offset inside the payload, the bytes in hex and
// the same bytes as text (a dot for each byte that is no printable ASCII).
// Lines are built by hand: hex dumps of long recordings are large.
void PrintHex(std::ostream& out, uint64_t from, std::span<const std::byte> bytes)
{
    constexpr size_t kPerLine = 16;
    for (size_t line = 0; line < bytes.size(); line += kPerLine) {
        const size_t count = std::min(kPerLine, bytes.size() - line);
        char text[128];
        int length = std::snprintf(text, sizeof text, "                %06llx:",
                                   static_cast<unsigned long long>(from + line));
        for (size_t i = 0; i < kPerLine; ++i) {
            const auto value = i < count ? std::to_integer<unsigned>(bytes[line + i]) : 0u;
            text[length++] = ' ';
            text[length++] = i < count ? kHexDigits[value >> 4] : ' ';
            text[length++] = i < count ? kHexDigits[value & 15] : ' ';
        }
        text[length++] = ' ';
        text[length++] = ' ';
        text[length++] = '|';
        for (size_t i = 0; i < count; ++i) {
            const auto value = std::to_integer<unsigned char>(bytes[line + i]);
            text[length++] = value >= 0x20 && value < 0x7f ? static_cast<char>(value) : '.';
        }
        text[length++] = '|';
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

// ---- JSON ----

template <typename T>
Json OrNull(const std::optional<T>& value)
{
    return value ? Json(*value) : Json(nullptr);
}

Json FaultJson(const std::optional<RecordingFault>& fault)
{
    return fault ? Json{{"offset", fault->offset}, {"message", fault->message}} : Json(nullptr);
}

Json CountsJson(const RecordingCounts& counts)
{
    return Json{{"blocks", counts.blocks}, {"bytes", counts.bytes}};
}

Json PortJson(uint32_t port)
{
    return port == kNoPort ? Json(nullptr) : Json(port);
}

// What info, verify and the end of a dump say about the file as a whole.
Json SummaryJson(const RecordingInspection& inspection)
{
    const RecordingSummary& summary = inspection.summary;
    const bool closed = summary.HeaderSaysClosed();
    Json json{{"status", Status(inspection)}, {"file_size", summary.fileSize}};
    if (inspection.isRecording) {
        json["version"] = summary.header->version;
        json["closed"] = closed;
        json["duration_ms"] = closed ? Json(summary.header->duration) : Json(nullptr);
        json["last_record_ms"] = OrNull(summary.lastRecordTime);
        json["index"] = closed ? Json{{"offset", summary.header->indexOffset}, {"entries", OrNull(summary.indexEntries)}}
                               : Json(nullptr);
        json["file_end"] = closed ? Json(summary.header->fileEnd) : Json(nullptr);
        json["stream_header_bytes"] = OrNull(summary.streamHeaderLength);
        json["complete_blocks"] = summary.completeBlocks;
        json["complete_end"] = summary.completeEnd;
        json["trailing_bytes"] = summary.trailingBytes;
    }
    json["fault"] = FaultJson(inspection.fault);
    return json;
}

Json CountTablesJson(const RecordingSummary& summary)
{
    Json byType = Json::array();
    for (uint32_t type = 0; type < summary.perType.size(); ++type) {
        Json entry{{"type", type}, {"name", TypeName(type)}};
        entry.update(CountsJson(summary.perType[type]));
        byType.push_back(entry);
    }
    Json byPort = Json::array();
    for (const auto& [key, counts] : summary.perPort) {
        Json entry{{"type", TypeName(key.first)}, {"port", PortJson(key.second)}};
        entry.update(CountsJson(counts));
        byPort.push_back(entry);
    }
    return Json{{"blocks_by_type", byType},
                {"other_types", CountsJson(summary.unknownTypes)},
                {"records_by_port", byPort},
                {"further_ports", CountsJson(summary.otherPorts)}};
}

Json BlockJson(const RecordingBlock& block)
{
    const BlockHeader& h = block.header;
    return Json{{"offset", block.offset}, {"type", TypeName(h.type)}, {"type_code", h.type},
                {"time_ms", h.time},      {"port", PortJson(h.port)}, {"length", h.length}};
}

// One dump line: the block, and its payload in hex when asked for. The
// payload is streamed into the line, so a large block costs no memory.
bool WriteBlockJson(std::ostream& out, const RecordingBlock& block, bool hex, RecordingReader& reader)
{
    std::string line = BlockJson(block).dump();
    if (!hex) {
        out << line << '\n';
        return true;
    }
    line.pop_back();  // the closing brace
    out << line << ",\"payload\":\"";
    const bool readable =
        reader.ForEachPayloadPiece(block, [&out](uint64_t, std::span<const std::byte> piece) {
            char text[2 * RecordingReader::kPieceSize];
            size_t length = 0;
            for (const std::byte b : piece) {
                const auto value = std::to_integer<unsigned>(b);
                text[length++] = kHexDigits[value >> 4];
                text[length++] = kHexDigits[value & 15];
            }
            out.write(text, static_cast<std::streamsize>(length));
        });
    out << "\"}\n";
    return readable;
}

}  // namespace

bool DumpOptions::Shows(const BlockHeader& header) const
{
    if (!Filtered()) {
        return true;
    }
    if (!IsRecord(header)) {
        return false;
    }
    const bool portShown = ports.empty() || std::find(ports.begin(), ports.end(), header.port) != ports.end();
    return portShown && header.time >= fromMs.value_or(0) && header.time <= toMs.value_or(UINT32_MAX);
}

int InfoCommand(RecordingSource& source, std::ostream& out, OutputFormat format)
{
    RecordingInspector inspector(source);
    const RecordingInspection inspection = inspector.Inspect();
    const int code = inspection.isRecording && !inspection.fault ? ZanRecExit::kOk : ZanRecExit::kBadFile;
    if (format == OutputFormat::Json) {
        Json json = SummaryJson(inspection);
        if (inspection.isRecording) {
            json.update(CountTablesJson(inspection.summary));
        }
        out << json.dump(2) << '\n';
        return code;
    }
    if (ReportForeign(out, inspection)) {
        return code;
    }
    const RecordingSummary& summary = inspection.summary;
    PrintHeader(out, summary);
    PrintCountTables(out, summary);
    PrintTail(out, summary);
    if (inspection.fault) {
        PrintFault(out, "fault", *inspection.fault);
    }
    return code;
}

int DumpCommand(RecordingSource& source, const DumpOptions& options, std::ostream& out)
{
    const bool json = options.format == OutputFormat::Json;
    if (!json) {
        PrintBlockHeading(out);
    }
    RecordingInspector inspector(source);
    std::optional<RecordingFault> readError;
    uint64_t shown = 0;
    RecordingInspection inspection =
        inspector.Inspect([&](const RecordingBlock& block, RecordingReader& reader) {
            if (!options.Shows(block.header)) {
                return true;
            }
            ++shown;
            bool readable = true;
            if (json) {
                readable = WriteBlockJson(out, block, options.hex, reader);
            } else {
                PrintBlockLine(out, block);
                if (options.hex) {
                    readable = reader.ForEachPayloadPiece(
                        block, [&out](uint64_t from, std::span<const std::byte> piece) { PrintHex(out, from, piece); });
                }
            }
            if (!readable) {
                readError = RecordingFault{block.offset, "read error"};
            }
            return readable;
        });
    if (readError && !inspection.fault) {
        inspection.fault = readError;
    }
    const int code = inspection.isRecording && !inspection.fault ? ZanRecExit::kOk : ZanRecExit::kBadFile;
    if (json) {
        Json end = SummaryJson(inspection);
        end["shown_blocks"] = shown;
        out << Json{{"end", end}}.dump() << '\n';
        return code;
    }
    if (ReportForeign(out, inspection)) {
        return code;
    }
    if (options.Filtered()) {
        out << "shown: " << shown << " of " << inspection.summary.completeBlocks << " blocks\n";
    }
    if (inspection.summary.trailingBytes != 0) {
        out << "incomplete last block: " << inspection.summary.trailingBytes << " bytes\n";
    }
    if (inspection.fault) {
        PrintFault(out, "fault", *inspection.fault);
    }
    return code;
}

int VerifyCommand(RecordingSource& source, std::ostream& out, OutputFormat format, ProgressBar* progress)
{
    RecordingInspector inspector(source);
    RecordingInspector::Visitor follow;
    if (progress != nullptr) {
        follow = [progress](const RecordingBlock& block, RecordingReader&) {
            progress->Update(block.End());
            return true;
        };
    }
    const RecordingInspection inspection = inspector.Inspect(follow);
    if (progress != nullptr) {
        progress->Finish();
    }
    const RecordingSummary& summary = inspection.summary;
    const int code = inspection.SoundAndClosed()      ? ZanRecExit::kOk
                     : inspection.SoundButNotClosed() ? ZanRecExit::kNotClosed
                                                      : ZanRecExit::kBadFile;
    if (format == OutputFormat::Json) {
        out << SummaryJson(inspection).dump(2) << '\n';
        return code;
    }
    if (ReportForeign(out, inspection)) {
        return code;
    }
    if (code == ZanRecExit::kOk) {
        out << "OK: a closed recording of " << summary.completeBlocks << " blocks, duration "
            << summary.header->duration << " ms, " << summary.indexEntries.value_or(0) << " index entries\n";
        return code;
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
    return code;
}

std::optional<uint32_t> ParseRecordTime(const std::string& text)
{
    double value = 0;
    const char* const end = text.data() + text.size();
    const auto [rest, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || rest == text.data()) {
        return std::nullopt;
    }
    const std::string unit(rest, end);
    double scale = 0;
    if (unit.empty() || unit == "ms") {
        scale = 1;
    } else if (unit == "s") {
        scale = 1000;
    } else if (unit == "min") {
        scale = 60 * 1000;
    } else if (unit == "h") {
        scale = 3600 * 1000;
    } else {
        return std::nullopt;
    }
    const double ms = std::round(value * scale);
    if (!std::isfinite(ms) || ms < 0 || ms > UINT32_MAX) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(ms);
}

} // namespace zan
