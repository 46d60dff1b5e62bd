#include "TcpFrameDeframer.h"

#include "PacketByteOrder.h"

#include <algorithm>
#include <cstring>

namespace zan {

TcpFrameDeframer::TcpFrameDeframer() : stream(new uint8_t[kStreamBufferSize]()) {}

TcpFrameDeframer::~TcpFrameDeframer() = default;

void TcpFrameDeframer::Compact()
{
    if (begin == 0) {
        return;
    }
    // Frames are taken by moving a read index; the remaining bytes move to
    // the front only when a read needs the room, not after every frame.
    std::memmove(stream.get(), stream.get() + begin, end - begin);
    end -= begin;
    begin = 0;
}

std::span<uint8_t> TcpFrameDeframer::FreeSpace()
{
    Compact();
    return {stream.get() + end, kMaxFill - end};
}

void TcpFrameDeframer::Commit(size_t count)
{
    end += std::min(count, kMaxFill - end);
}

size_t TcpFrameDeframer::Append(std::span<const uint8_t> bytes)
{
    const std::span<uint8_t> room = FreeSpace();
    const size_t taken = std::min(room.size(), bytes.size());
    if (taken != 0) {
        std::memcpy(room.data(), bytes.data(), taken);
    }
    Commit(taken);
    return taken;
}

TcpFrameDeframer::Step TcpFrameDeframer::TakeFrame(std::span<uint8_t> frame, size_t& frameLength)
{
    frameLength = 0;
    if (Buffered() < kPrefixSize) {
        return Step::kNeedMore;
    }
    const auto length = static_cast<int16_t>(PacketByteOrder::LoadLe<uint16_t>(stream.get() + begin));
    if (length < 0) {
        Reset();
        return Step::kStreamError;
    }
    const auto size = static_cast<size_t>(length);
    if (Buffered() < kPrefixSize + size) {
        return Step::kNeedMore;
    }
    const uint8_t* body = stream.get() + begin + kPrefixSize;
    begin += kPrefixSize + size;
    if (begin == end) {
        begin = end = 0;
    }
    if (size == 0 || size > frame.size()) {
        return Step::kSkipped;
    }
    std::memcpy(frame.data(), body, size);
    frameLength = size;
    return Step::kFrame;
}

void TcpFrameDeframer::Reset()
{
    begin = 0;
    end = 0;
}

bool WriteFramePrefix(std::span<uint8_t> out, size_t packetLength)
{
    if (out.size() < TcpFrameDeframer::kPrefixSize ||
        packetLength > TcpFrameDeframer::kMaxFrameLength) {
        return false;
    }
    PacketByteOrder::StoreLe(out.data(), static_cast<uint16_t>(packetLength));
    return true;
}

} // namespace zan
