#pragma once

#include "RecordingFileFormat.h"
#include "RecordingReader.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zan {

struct RecordingCounts {
    uint64_t blocks = 0;
    uint64_t bytes = 0;  // payload bytes
};

// What one pass over a recording found.
struct RecordingSummary {
    // Distinct (type, port) pairs counted one by one; the rest are summed
    // in `otherPorts` so a hostile file cannot make the map grow unbounded.
    static constexpr size_t kMaxPortEntries = 4096;

    uint64_t fileSize = 0;
    std::optional<RecordingFileFormat::FileHeader> header;
    std::optional<uint32_t> streamHeaderLength;
    std::optional<uint64_t> indexOffset;   // where an index block was found
    std::optional<uint32_t> indexEntries;  // entries that index block holds
    uint64_t completeBlocks = 0;           // whole blocks, the file's own included
    uint64_t completeEnd = 0;              // just past the last whole block
    uint64_t trailingBytes = 0;            // bytes after it that make no whole block
    std::optional<uint32_t> lastRecordTime;  // time of the last datagram or external block
    std::array<RecordingCounts, 4> perType{};  // indexed by block type
    RecordingCounts unknownTypes;
    std::map<std::pair<uint32_t, uint32_t>, RecordingCounts> perPort;  // (type, port)
    RecordingCounts otherPorts;

    // The file header says the file was closed (it carries final values).
    bool HeaderSaysClosed() const { return header && header->IsFinal(); }
};

struct RecordingFault {
    uint64_t offset = 0;
    std::string message;
};

struct RecordingInspection {
    RecordingSummary summary;
    std::optional<RecordingFault> fault;  // the first structural fault
    // A recording file at all: long enough, right magic and version.
    bool isRecording = false;
    // The walk stopped before the end of the block chain (a fault in the
    // chain itself or a read error), so later blocks were not seen.
    bool chainBroken = false;

    // Sound in every checked respect, but never closed (a recording that
    // is being written or ended without closing).
    bool SoundButNotClosed() const { return isRecording && !fault && !summary.HeaderSaysClosed(); }
    bool SoundAndClosed() const { return isRecording && !fault && summary.HeaderSaysClosed(); }
};

// Walks a recording once, from the file header through the block chain to
// the index, checking the structure as it goes: magic, version, the block
// chain, the index entries (at block starts, in file order, none after a
// record of its interval) and the final header values against the file.
// The first fault is kept; the walk goes on while the chain still holds so
// that the summary and the visitor see every whole block. Memory stays
// bounded: at most one index (17280 entries) and the capped port table.
class RecordingInspector {
public:
    // Called for every whole block in file order; returning false ends the
    // walk early (not a fault).
    using Visitor = std::function<bool(const RecordingBlock&, RecordingReader&)>;

    explicit RecordingInspector(RecordingSource& source) : reader(source) {}

    [[nodiscard]] RecordingInspection Inspect(const Visitor& visitor = {});

private:
    bool CheckFileHeader();
    void LoadIndex();
    void CheckIndexEntries();
    void Walk(const Visitor& visitor);
    void VisitBlock(const RecordingBlock& block);
    void CheckFirstBlock(const RecordingBlock& block);
    void MatchIndex(const RecordingBlock& block);
    void Count(const RecordingBlock& block);
    void NoteTail(RecordingReader::Step step, const RecordingBlock& block);
    void CheckEnd();
    void Fault(uint64_t offset, std::string message);

    RecordingReader reader;
    RecordingInspection result;
    std::vector<uint64_t> index;  // entries of the index block, when sound enough to check
    size_t nextEntry = 0;         // first entry not yet matched with a block start
    uint64_t streamHeaderEnd = 0;
};

} // namespace zan
