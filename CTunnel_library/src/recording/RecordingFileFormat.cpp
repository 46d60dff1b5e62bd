#include "RecordingFileFormat.h"

#include <algorithm>

namespace zan {

namespace RecordingFileFormat {

FileHeader OpenFileHeader()
{
    return FileHeader{};
}

FileHeader FinalFileHeader(uint32_t duration, uint64_t indexOffset, uint64_t fileEnd)
{
    FileHeader header;
    header.duration = duration;
    header.indexOffset = indexOffset;
    header.fileEnd = fileEnd;
    return header;
}

void StoreLe32(uint32_t value, std::span<std::byte, 4> out)
{
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::byte>(value >> (8 * i));
    }
}

void StoreLe64(uint64_t value, std::span<std::byte, 8> out)
{
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<std::byte>(value >> (8 * i));
    }
}

uint32_t LoadLe32(std::span<const std::byte, 4> in)
{
    uint32_t value = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        value |= std::to_integer<uint32_t>(in[i]) << (8 * i);
    }
    return value;
}

uint64_t LoadLe64(std::span<const std::byte, 8> in)
{
    uint64_t value = 0;
    for (size_t i = 0; i < in.size(); ++i) {
        value |= std::to_integer<uint64_t>(in[i]) << (8 * i);
    }
    return value;
}

void EncodeFileHeader(const FileHeader& header, std::span<std::byte, kFileHeaderSize> out)
{
    std::copy(header.magic.begin(), header.magic.end(), out.begin());
    StoreLe32(header.version, out.subspan<4, 4>());
    StoreLe32(header.duration, out.subspan<8, 4>());
    StoreLe32(header.reserved, out.subspan<12, 4>());
    StoreLe64(header.indexOffset, out.subspan<16, 8>());
    StoreLe64(header.fileEnd, out.subspan<24, 8>());
}

void EncodeBlockHeader(const BlockHeader& header, std::span<std::byte, kBlockHeaderSize> out)
{
    StoreLe32(header.type, out.subspan<0, 4>());
    StoreLe32(header.time, out.subspan<4, 4>());
    StoreLe32(header.port, out.subspan<8, 4>());
    StoreLe32(header.length, out.subspan<12, 4>());
}

std::optional<FileHeader> DecodeFileHeader(std::span<const std::byte> bytes)
{
    if (bytes.size() < kFileHeaderSize) {
        return std::nullopt;
    }
    const auto in = bytes.first<kFileHeaderSize>();
    FileHeader header;
    std::copy_n(in.begin(), header.magic.size(), header.magic.begin());
    header.version = LoadLe32(in.subspan<4, 4>());
    header.duration = LoadLe32(in.subspan<8, 4>());
    header.reserved = LoadLe32(in.subspan<12, 4>());
    header.indexOffset = LoadLe64(in.subspan<16, 8>());
    header.fileEnd = LoadLe64(in.subspan<24, 8>());
    return header;
}

std::optional<BlockHeader> DecodeBlockHeader(std::span<const std::byte> bytes)
{
    if (bytes.size() < kBlockHeaderSize) {
        return std::nullopt;
    }
    const auto in = bytes.first<kBlockHeaderSize>();
    return BlockHeader{LoadLe32(in.subspan<0, 4>()), LoadLe32(in.subspan<4, 4>()),
                       LoadLe32(in.subspan<8, 4>()), LoadLe32(in.subspan<12, 4>())};
}

}  // namespace RecordingFileFormat

} // namespace zan
