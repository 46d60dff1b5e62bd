#pragma once

#include "RecordingFileFormat.h"
#include "RecordingSource.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

namespace zan {

// One block of a recording file as the reader found it: where it starts
// and its 16-byte header. The payload stays in the file until asked for.
struct RecordingBlock {
    uint64_t offset = 0;
    RecordingFileFormat::BlockHeader header;

    uint64_t PayloadOffset() const { return offset + RecordingFileFormat::kBlockHeaderSize; }
    uint64_t End() const { return PayloadOffset() + header.length; }
};

// Streaming reader of a recording: the file header, then the block chain
// one block at a time. It reads only ranges that lie inside the file and
// never allocates from a length found in the file, so a hostile file costs
// no more memory than a good one.
class RecordingReader {
public:
    enum class Step {
        Block,           // a whole block; the position moved past it
        End,             // the position is exactly at the end of the file
        PartialHeader,   // fewer than 16 bytes remain
        PartialPayload,  // the header is there but the payload runs past the end
        ReadError,
    };

    // Payload bytes handed out per piece by ForEachPayloadPiece.
    static constexpr size_t kPieceSize = 4096;

    explicit RecordingReader(RecordingSource& source) : source(source) {}

    uint64_t FileSize() const { return source.Size(); }

    // nullopt when the file is shorter than a file header or unreadable.
    [[nodiscard]] std::optional<RecordingFileFormat::FileHeader> ReadFileHeader();

    // Reads the block at `offset` without moving. On PartialPayload `block`
    // holds the header that was found.
    [[nodiscard]] Step ReadBlockAt(uint64_t offset, RecordingBlock& block);

    // Reads the block at the current position (just after the file header
    // at first) and moves past it when it is whole.
    [[nodiscard]] Step Next(RecordingBlock& block);

    uint64_t Position() const { return position; }
    void Seek(uint64_t offset) { position = offset; }

    // Copies payload bytes of `block` starting `from` bytes into it; false
    // when that range is not inside the block or the file.
    [[nodiscard]] bool ReadPayload(const RecordingBlock& block, uint64_t from, std::span<std::byte> out);

    // Hands the payload to `piece` in order, kPieceSize bytes at a time,
    // with each piece's offset inside the payload; false on a read error.
    [[nodiscard]] bool ForEachPayloadPiece(
        const RecordingBlock& block, const std::function<void(uint64_t, std::span<const std::byte>)>& piece);

private:
    RecordingSource& source;
    uint64_t position = RecordingFileFormat::kFileHeaderSize;
};

} // namespace zan
