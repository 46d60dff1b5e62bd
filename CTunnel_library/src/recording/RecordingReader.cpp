#include "RecordingReader.h"

#include <algorithm>
#include <array>

namespace zan {

using namespace RecordingFileFormat;

std::optional<FileHeader> RecordingReader::ReadFileHeader()
{
    std::array<std::byte, kFileHeaderSize> bytes{};
    if (source.Size() < bytes.size() || !source.ReadAt(0, bytes)) {
        return std::nullopt;
    }
    return DecodeFileHeader(bytes);
}

RecordingReader::Step RecordingReader::ReadBlockAt(uint64_t offset, RecordingBlock& block)
{
    const uint64_t size = source.Size();
    if (offset >= size) {
        return offset == size ? Step::End : Step::PartialHeader;
    }
    if (size - offset < kBlockHeaderSize) {
        return Step::PartialHeader;
    }
    std::array<std::byte, kBlockHeaderSize> bytes{};
    if (!source.ReadAt(offset, bytes)) {
        return Step::ReadError;
    }
    block.offset = offset;
    block.header = *DecodeBlockHeader(bytes);
    // 64-bit sums cannot overflow: offset < size and length < 2^32.
    return block.End() <= size ? Step::Block : Step::PartialPayload;
}

RecordingReader::Step RecordingReader::Next(RecordingBlock& block)
{
    const Step step = ReadBlockAt(position, block);
    if (step == Step::Block) {
        position = block.End();
    }
    return step;
}

bool RecordingReader::ReadPayload(const RecordingBlock& block, uint64_t from, std::span<std::byte> out)
{
    if (from > block.header.length || out.size() > block.header.length - from) {
        return false;
    }
    return source.ReadAt(block.PayloadOffset() + from, out);
}

bool RecordingReader::ForEachPayloadPiece(const RecordingBlock& block,
                                          const std::function<void(uint64_t, std::span<const std::byte>)>& piece)
{
    std::array<std::byte, kPieceSize> buffer{};
    for (uint64_t from = 0; from < block.header.length; from += kPieceSize) {
        const size_t length = static_cast<size_t>(std::min<uint64_t>(kPieceSize, block.header.length - from));
        const std::span<std::byte> part(buffer.data(), length);
        if (!ReadPayload(block, from, part)) {
            return false;
        }
        piece(from, part);
    }
    return true;
}

} // namespace zan
