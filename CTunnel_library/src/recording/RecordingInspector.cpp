#include "RecordingInspector.h"

#include <cstdio>

namespace zan {

using namespace RecordingFileFormat;

namespace {

std::string Num(uint64_t value)
{
    return std::to_string(value);
}

std::string MagicText(const std::array<std::byte, 4>& magic)
{
    std::string text;
    for (const std::byte b : magic) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x", std::to_integer<unsigned>(b));
        text += text.empty() ? "" : " ";
        text += hex;
    }
    return text;
}

bool IsRecordBlock(const BlockHeader& header)
{
    return header.Is(BlockType::TunnelDatagram) || header.Is(BlockType::ExternalData);
}

}  // namespace

RecordingInspection RecordingInspector::Inspect(const Visitor& visitor)
{
    result = RecordingInspection{};
    index.clear();
    nextEntry = 0;
    streamHeaderEnd = 0;
    result.summary.fileSize = reader.FileSize();
    if (!CheckFileHeader()) {
        return result;
    }
    result.isRecording = true;
    if (result.summary.HeaderSaysClosed()) {
        LoadIndex();
    }
    Walk(visitor);
    CheckEnd();
    return result;
}

void RecordingInspector::Fault(uint64_t offset, std::string message)
{
    if (!result.fault) {
        result.fault = RecordingFault{offset, std::move(message)};
    }
}

bool RecordingInspector::CheckFileHeader()
{
    const uint64_t size = result.summary.fileSize;
    if (size == 0) {
        Fault(0, "the file is empty");
        return false;
    }
    const auto header = reader.ReadFileHeader();
    if (!header) {
        Fault(0, size < kFileHeaderSize
                     ? "the file has only " + Num(size) + " bytes, fewer than the 32-byte file header"
                     : std::string("the file header cannot be read"));
        return false;
    }
    result.summary.header = header;
    if (!header->HasMagic()) {
        Fault(0, "bad magic " + MagicText(header->magic) + " (expected \"ZANS\"): not a recording file");
        return false;
    }
    if (header->version != kVersion) {
        Fault(4, "unsupported version " + Num(header->version) + " (expected " + Num(kVersion) + ")");
        return false;
    }
    if (header->reserved != 0) {
        Fault(12, "the reserved header field holds " + Num(header->reserved) + " (expected 0)");
    }
    if (!header->IsFinal() && (header->duration != 0 || header->indexOffset != 0)) {
        Fault(8, "the header of an open file carries a duration of " + Num(header->duration) +
                     " ms and an index offset of " + Num(header->indexOffset) + " (both should be 0)");
    }
    if (header->IsFinal() && header->fileEnd != size) {
        Fault(24, "the file end says " + Num(header->fileEnd) + " but the file has " + Num(size) + " bytes");
    }
    return true;
}

void RecordingInspector::LoadIndex()
{
    const FileHeader& header = *result.summary.header;
    const uint64_t size = result.summary.fileSize;
    const uint64_t offset = header.indexOffset;
    if (offset < kFileHeaderSize + kBlockHeaderSize || offset >= size || size - offset < kBlockHeaderSize) {
        Fault(16, "the index offset " + Num(offset) +
                      (offset >= size ? " lies beyond the end of the file (" + Num(size) + " bytes)"
                                      : std::string(" leaves no room for an index block")));
        return;
    }
    RecordingBlock block;
    const RecordingReader::Step step = reader.ReadBlockAt(offset, block);
    if (step == RecordingReader::Step::PartialPayload) {
        Fault(offset, "the index block claims " + Num(block.header.length) + " bytes but only " +
                          Num(size - block.PayloadOffset()) + " remain in the file");
        return;
    }
    if (step != RecordingReader::Step::Block) {
        Fault(offset, "the index block cannot be read");
        return;
    }
    if (!block.header.Is(BlockType::Index)) {
        Fault(offset, "the block at the index offset is of type " + Num(block.header.type) + ", not an index block");
        return;
    }
    const uint32_t length = block.header.length;
    if (length % kIndexEntrySize != 0 || length / kIndexEntrySize > kMaxIndexEntries) {
        Fault(offset, "the index block holds " + Num(length) + " bytes, not a whole number of at most " +
                          Num(kMaxIndexEntries) + " entries");
        return;
    }
    const uint32_t count = length / kIndexEntrySize;
    const uint32_t expected = IndexEntryCount(header.duration);
    if (count != expected) {
        Fault(offset, "the index holds " + Num(count) + " entries but a duration of " + Num(header.duration) +
                          " ms needs " + Num(expected));
    }
    if (block.End() != header.fileEnd) {
        Fault(offset, "the index block ends at " + Num(block.End()) + " but the file end says " + Num(header.fileEnd));
    }
    std::vector<std::byte> bytes(length);
    if (!reader.ReadPayload(block, 0, bytes)) {
        Fault(offset, "the index entries cannot be read");
        return;
    }
    index.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        index[i] = LoadLe64(std::span<const std::byte>(bytes).subspan(size_t{i} * kIndexEntrySize).first<8>());
    }
    CheckIndexEntries();
}

void RecordingInspector::CheckIndexEntries()
{
    const uint64_t indexOffset = result.summary.header->indexOffset;
    for (size_t i = 0; i < index.size(); ++i) {
        const uint64_t entryOffset = indexOffset + kBlockHeaderSize + i * kIndexEntrySize;
        if (i > 0 && index[i] < index[i - 1]) {
            Fault(entryOffset, "index entry " + Num(i) + " (offset " + Num(index[i]) + ") lies before entry " +
                                   Num(i - 1) + " (offset " + Num(index[i - 1]) + ")");
            index.clear();
            return;
        }
        if (index[i] > indexOffset) {
            Fault(entryOffset, "index entry " + Num(i) + " points at offset " + Num(index[i]) +
                                   ", past the index block at " + Num(indexOffset));
            index.clear();
            return;
        }
    }
}

void RecordingInspector::Walk(const Visitor& visitor)
{
    reader.Seek(kFileHeaderSize);
    RecordingBlock block;
    for (;;) {
        const RecordingReader::Step step = reader.Next(block);
        if (step != RecordingReader::Step::Block) {
            NoteTail(step, block);
            return;
        }
        VisitBlock(block);
        if (visitor && !visitor(block, reader)) {
            return;
        }
    }
}

void RecordingInspector::VisitBlock(const RecordingBlock& block)
{
    RecordingSummary& summary = result.summary;
    ++summary.completeBlocks;
    summary.completeEnd = block.End();
    const BlockHeader& header = block.header;
    if (block.offset == kFileHeaderSize) {
        CheckFirstBlock(block);
    } else if (header.Is(BlockType::StreamHeader)) {
        Fault(block.offset, "a second stream-header block");
    } else if (header.type > static_cast<uint32_t>(BlockType::Index)) {
        Fault(block.offset, "unknown block type " + Num(header.type));
    }
    if (header.Is(BlockType::Index)) {
        if (!summary.HeaderSaysClosed()) {
            Fault(block.offset, "an index block, but the file header is that of an open file");
        } else if (block.offset != summary.header->indexOffset) {
            Fault(block.offset, "an index block, but the file header puts the index at " +
                                    Num(summary.header->indexOffset));
        }
        if (!summary.indexOffset) {
            summary.indexOffset = block.offset;
            summary.indexEntries = header.length / kIndexEntrySize;
        }
    }
    MatchIndex(block);
    Count(block);
}

void RecordingInspector::CheckFirstBlock(const RecordingBlock& block)
{
    const BlockHeader& header = block.header;
    if (!header.Is(BlockType::StreamHeader)) {
        Fault(block.offset, "the first block is of type " + Num(header.type) + ", not the stream-header block");
        return;
    }
    if (header.time != 0 || header.port != kNoPort) {
        Fault(block.offset, "the stream-header block has time " + Num(header.time) + " and port " +
                                Num(header.port) + " (expected 0 and all bits set)");
    }
    result.summary.streamHeaderLength = header.length;
    streamHeaderEnd = block.End();
    if (!index.empty() && index[0] != streamHeaderEnd) {
        Fault(result.summary.header->indexOffset + kBlockHeaderSize,
              "index entry 0 is " + Num(index[0]) + ", not the end of the stream-header block (" +
                  Num(streamHeaderEnd) + ")");
    }
}

void RecordingInspector::MatchIndex(const RecordingBlock& block)
{
    const uint64_t entriesAt = index.empty() ? 0 : result.summary.header->indexOffset + kBlockHeaderSize;
    while (nextEntry < index.size() && index[nextEntry] < block.offset) {
        Fault(entriesAt + nextEntry * kIndexEntrySize, "index entry " + Num(nextEntry) + " points at offset " +
                                                           Num(index[nextEntry]) + ", which is not a block start");
        ++nextEntry;
    }
    while (nextEntry < index.size() && index[nextEntry] == block.offset) {
        ++nextEntry;
    }
    // Every record before entry k must be older than the interval entry k
    // opens, or seeking by the index would miss it.
    if (IsRecordBlock(block.header) && nextEntry < index.size() &&
        uint64_t{block.header.time} >= uint64_t{kIndexIntervalMs} * nextEntry) {
        Fault(block.offset, "the record at " + Num(block.offset) + " has time " + Num(block.header.time) +
                                " ms but lies before index entry " + Num(nextEntry) + " (offset " +
                                Num(index[nextEntry]) + "), the place to seek for times from " +
                                Num(uint64_t{kIndexIntervalMs} * nextEntry) + " ms");
    }
}

void RecordingInspector::Count(const RecordingBlock& block)
{
    RecordingSummary& summary = result.summary;
    const BlockHeader& header = block.header;
    RecordingCounts& typeCounts = header.type < summary.perType.size() ? summary.perType[header.type] : summary.unknownTypes;
    ++typeCounts.blocks;
    typeCounts.bytes += header.length;
    if (!IsRecordBlock(header)) {
        return;
    }
    summary.lastRecordTime = header.time;
    const auto key = std::make_pair(header.type, header.port);
    auto found = summary.perPort.find(key);
    if (found == summary.perPort.end() && summary.perPort.size() < RecordingSummary::kMaxPortEntries) {
        found = summary.perPort.emplace(key, RecordingCounts{}).first;
    }
    RecordingCounts& portCounts = found != summary.perPort.end() ? found->second : summary.otherPorts;
    ++portCounts.blocks;
    portCounts.bytes += header.length;
}

void RecordingInspector::NoteTail(RecordingReader::Step step, const RecordingBlock& block)
{
    RecordingSummary& summary = result.summary;
    const uint64_t at = reader.Position();
    const bool closed = summary.HeaderSaysClosed();
    switch (step) {
    case RecordingReader::Step::Block:
    case RecordingReader::Step::End:
        return;
    case RecordingReader::Step::PartialHeader:
        summary.trailingBytes = summary.fileSize - at;
        if (closed) {
            Fault(at, "the last " + Num(summary.trailingBytes) + " bytes make no whole block header");
        }
        return;
    case RecordingReader::Step::PartialPayload:
        summary.trailingBytes = summary.fileSize - at;
        // In a file that was never closed an incomplete last block is what a
        // crash leaves; in a closed one the chain runs off the end.
        if (closed) {
            Fault(at, "the block at " + Num(at) + " claims " + Num(block.header.length) + " payload bytes but only " +
                          Num(summary.fileSize - block.PayloadOffset()) + " remain in the file");
            result.chainBroken = true;
        }
        return;
    case RecordingReader::Step::ReadError:
        Fault(at, "read error");
        result.chainBroken = true;
        return;
    }
}

void RecordingInspector::CheckEnd()
{
    const RecordingSummary& summary = result.summary;
    if (summary.completeBlocks == 0) {
        Fault(kFileHeaderSize, "the file has no stream-header block");
    }
    if (!summary.HeaderSaysClosed() || result.chainBroken) {
        return;
    }
    const FileHeader& header = *summary.header;
    if (!summary.indexOffset) {
        Fault(16, "the index offset " + Num(header.indexOffset) + " is not the start of a block in the chain");
    }
    if (nextEntry < index.size()) {
        Fault(header.indexOffset + kBlockHeaderSize + nextEntry * kIndexEntrySize,
              "index entry " + Num(nextEntry) + " points at offset " + Num(index[nextEntry]) +
                  ", which is not a block start");
    }
    const uint32_t lastTime = summary.lastRecordTime.value_or(0);
    if (header.duration != lastTime) {
        Fault(8, "the duration says " + Num(header.duration) + " ms but the last record's time is " + Num(lastTime) +
                     " ms");
    }
}

} // namespace zan
