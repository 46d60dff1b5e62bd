#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace zan {

// The framing of a TCP tunnel: every packet is preceded by its length as an
// unsigned 16-bit little-endian number. The receiver reads that length as
// signed, so a length with the top bit set is a stream error and a packet
// sent over TCP is at most 32767 bytes.
//
// TcpFrameDeframer holds the 131072-byte stream buffer of one connection
// (at most 131070 bytes filled): the socket reads into FreeSpace() and
// Commit()s the count, then takes frames out one by one. Frames may arrive
// split over any number of reads, and several in one read. Not
// thread-safe: the TCP socket guards it with its stream lock.
class TcpFrameDeframer {
public:
    static constexpr size_t kStreamBufferSize = 131072;
    static constexpr size_t kMaxFill = 131070;
    static constexpr size_t kPrefixSize = 2;
    static constexpr size_t kMaxFrameLength = 32767;

    enum class Step {
        kFrame,        // one frame was copied out
        kNeedMore,     // no complete frame is buffered
        kSkipped,      // a zero-length frame (or one larger than the caller's buffer) was removed
        kStreamError,  // a length with the top bit set; the buffer was emptied
    };

    TcpFrameDeframer();
    ~TcpFrameDeframer();

    TcpFrameDeframer(const TcpFrameDeframer&) = delete;
    TcpFrameDeframer& operator=(const TcpFrameDeframer&) = delete;

    // The free part of the buffer, ready for a read. Moves buffered bytes
    // to the front first.
    [[nodiscard]] std::span<uint8_t> FreeSpace();
    // Adds `count` bytes just written into FreeSpace(); clamped to its size.
    void Commit(size_t count);
    // Copies as much of `bytes` as fits; returns the count taken.
    size_t Append(std::span<const uint8_t> bytes);

    // Takes the next frame out of the buffer into `frame`. On kFrame,
    // `frameLength` is its length. A stream error empties the buffer: the
    // connection is closed and its bytes have no continuation.
    [[nodiscard]] Step TakeFrame(std::span<uint8_t> frame, size_t& frameLength);

    size_t Buffered() const { return end - begin; }
    // Forgets every buffered byte, for a new connection.
    void Reset();

private:
    void Compact();

    std::unique_ptr<uint8_t[]> stream;
    size_t begin = 0;  // first unread byte
    size_t end = 0;    // one past the last buffered byte
};

// Writes the 2-byte little-endian length prefix of a packet of
// `packetLength` bytes; false when it does not fit the frame (above 32767)
// or `out` is shorter than 2 bytes.
[[nodiscard]] bool WriteFramePrefix(std::span<uint8_t> out, size_t packetLength);

} // namespace zan
