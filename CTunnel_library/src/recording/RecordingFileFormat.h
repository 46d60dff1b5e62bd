#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace zan {

// Layout of the recording file, shared by the recorder that writes it and
// the reader that checks and replays it. Everything here works on byte
// spans and knows no file; all integers are little-endian.
//
//   file header (32 bytes)
//   stream-header block          type 2, time 0, port all bits set
//   tunnel datagram / external data blocks, in the order they were written
//   index block                  type 3, written when the file is closed
//
// A block is a 16-byte block header followed by `length` payload bytes.
namespace RecordingFileFormat {

inline constexpr std::array<std::byte, 4> kMagic{std::byte{'Z'}, std::byte{'A'}, std::byte{'N'},
                                                 std::byte{'S'}};
inline constexpr uint32_t kVersion = 3;
inline constexpr size_t kFileHeaderSize = 32;
inline constexpr size_t kBlockHeaderSize = 16;
inline constexpr uint32_t kNoPort = 0xFFFFFFFFu;
// File end of a file that is still being written (or was never closed).
inline constexpr uint64_t kOpenFileEnd = ~uint64_t{0};
// One index entry per interval of this many milliseconds, for 24 hours.
inline constexpr uint32_t kIndexIntervalMs = 5000;
inline constexpr uint32_t kMaxIndexEntries = 17280;
inline constexpr size_t kIndexEntrySize = 8;

enum class BlockType : uint32_t {
    TunnelDatagram = 0,
    ExternalData = 1,
    StreamHeader = 2,
    Index = 3,
};

struct FileHeader {
    std::array<std::byte, 4> magic = kMagic;
    uint32_t version = kVersion;
    uint32_t duration = 0;  // ms, time of the last record
    uint32_t reserved = 0;
    uint64_t indexOffset = 0;
    uint64_t fileEnd = kOpenFileEnd;

    bool HasMagic() const { return magic == kMagic; }
    // True when the header carries final values rather than those of an
    // open file.
    bool IsFinal() const { return fileEnd != kOpenFileEnd; }
};

struct BlockHeader {
    uint32_t type = 0;
    uint32_t time = 0;
    uint32_t port = 0;
    uint32_t length = 0;

    bool Is(BlockType t) const { return type == static_cast<uint32_t>(t); }
};

// The header of a file that is being written.
[[nodiscard]] FileHeader OpenFileHeader();
// The header of a closed file.
[[nodiscard]] FileHeader FinalFileHeader(uint32_t duration, uint64_t indexOffset, uint64_t fileEnd);

void EncodeFileHeader(const FileHeader& header, std::span<std::byte, kFileHeaderSize> out);
void EncodeBlockHeader(const BlockHeader& header, std::span<std::byte, kBlockHeaderSize> out);

// nullopt when `bytes` is shorter than the header; extra bytes are ignored.
[[nodiscard]] std::optional<FileHeader> DecodeFileHeader(std::span<const std::byte> bytes);
[[nodiscard]] std::optional<BlockHeader> DecodeBlockHeader(std::span<const std::byte> bytes);

// Index slot of a record time, and the number of index entries a closed
// file holds when its last record has time `lastRecordTime`.
[[nodiscard]] constexpr uint32_t IndexSlot(uint32_t recordTime)
{
    return recordTime / kIndexIntervalMs;
}
[[nodiscard]] constexpr uint32_t IndexEntryCount(uint32_t lastRecordTime)
{
    const uint32_t count = IndexSlot(lastRecordTime) + 1;
    return count < kMaxIndexEntries ? count : kMaxIndexEntries;
}

void StoreLe32(uint32_t value, std::span<std::byte, 4> out);
void StoreLe64(uint64_t value, std::span<std::byte, 8> out);
[[nodiscard]] uint32_t LoadLe32(std::span<const std::byte, 4> in);
[[nodiscard]] uint64_t LoadLe64(std::span<const std::byte, 8> in);

}  // namespace RecordingFileFormat

} // namespace zan
