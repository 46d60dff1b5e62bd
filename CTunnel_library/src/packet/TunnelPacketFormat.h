#pragma once

#include "TunnelCrypto.h"
#include "TunnelPacket.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace zan {

// The tunnel packet, the one thing both tunnel ends must agree on byte for
// byte. Ports travel big-endian; key ids, source tags, counters and length
// fields little-endian.
//
// Legacy format (crypto types 0 to 7):
//   0 format 0 | 1 kind byte | 2-3 zero | 4-7 source tag (low 32 bits)
//   8-9 port | 10-11 payload length p | 12.. body
//   type 0: the payload; types 1-7: 12-13 p again, 14.. the cipher engine's
//   output (p rounded up to the block size), then 2 trailing zero bytes.
// Authenticated format (crypto type 8 and above), p + 70 bytes:
//   0 format 2 | 1 kind byte | 2-3 key id | 4-11 source tag | 12-19 counter
//   20.. AES-256-GCM of (port, payload) | 16-byte GCM tag
//   | HMAC-SHA256 of everything before it.
// The kind byte is the sender's kind plus 2: 2 data, 3 keep-alive.
//
// Nothing here knows a socket: the tunnel sockets reserve the buffers, call
// Build/Open under no lock of their own, and move the bytes.
namespace TunnelPacketFormat {

constexpr uint8_t kLegacyFormat = 0;
constexpr uint8_t kAuthenticatedFormat = 2;
constexpr uint8_t kDataKind = 0;
constexpr uint8_t kKeepAliveKind = 1;
constexpr uint8_t kKindBias = 2;  // kind byte = kind + 2
constexpr uint8_t kDataKindByte = kDataKind + kKindBias;
constexpr uint8_t kMaxKindByte = 3;

constexpr size_t kLegacyHeaderSize = 12;
constexpr size_t kLegacyCipherHeaderSize = 14;
constexpr size_t kLegacyTrailerSize = 2;
constexpr size_t kAuthHeaderSize = 20;
constexpr size_t kPortSize = 2;
constexpr size_t kGcmTagSize = TunnelCrypto::kTagLength;
constexpr size_t kDigestSize = TunnelCrypto::kDigestLength;
constexpr size_t kAuthOverhead = kAuthHeaderSize + kPortSize + kGcmTagSize + kDigestSize;  // 70
constexpr size_t kMaxPayload = 65535;
// Datagrams above this size are dropped unexamined (UDP carries at most 64 KiB).
constexpr size_t kMaxDatagram = size_t{1} << 20;

// The keep-alive's one-byte payload.
constexpr uint8_t kKeepAlivePayload[1] = {0};

// Build results besides a positive packet size. The engine reports -2 as a
// crypto error and -3 as a digest error; -1 (bad payload, kind, type or
// output size, frame too long) counts as a plain send failure.
constexpr int32_t kBuildRefused = -1;
constexpr int32_t kCryptoError = -2;
constexpr int32_t kDigestError = -3;

// What the sender reserves before building: payload + 170 bytes for the
// authenticated format, payload + 112 for the legacy one, 2 more on TCP.
[[nodiscard]] uint32_t SendBufferSize(int32_t cryptoType, uint32_t payloadLength, bool framed);

// The size of the packet BuildPacket makes, without a frame prefix.
[[nodiscard]] size_t PacketSize(int32_t cryptoType, size_t payloadLength);

// Builds one packet of the crypto type's format into `out` (kind 0 data or
// 1 keep-alive). Returns its size, or kBuildRefused, kCryptoError,
// kDigestError. Takes the send lock of `crypto`.
[[nodiscard]] int32_t BuildPacket(TunnelCrypto& crypto, std::span<const uint8_t> payload,
                                  uint16_t port, uint8_t kind, std::span<uint8_t> out);

// The same packet preceded by its 2-byte little-endian length, for a TCP
// tunnel. A packet longer than 32767 bytes is refused (a receiver would
// take its length as a stream error). Returns the frame size or a failure.
[[nodiscard]] int32_t BuildFrame(TunnelCrypto& crypto, std::span<const uint8_t> payload,
                                 uint16_t port, uint8_t kind, std::span<uint8_t> out);

// Why a datagram was not opened; the engine keeps a counter per value.
enum class OpenResult : uint8_t {
    kOpened,      // payload, port and kind byte are in the packet
    kNothing,     // zero bytes: nothing arrived
    kFormat,      // format byte of the other format
    kKind,        // kind byte above 3
    kLoopFilter,  // our own packet, looped back by a multicast group
    kLength,      // too short for its header, or a length field beyond the data
    kNoKey,       // no key under the packet's key id, or no legacy cipher set up
    kDigest,      // HMAC-SHA256 mismatch
    kGcmTag,      // GCM tag mismatch or failed decryption
    kCount
};
[[nodiscard]] const char* OpenResultName(OpenResult result);

// Capacity a packet needs before `datagram` is opened into it:
// n + 148 for an authenticated packet, n + 100 for a legacy enciphered
// one, n otherwise.
[[nodiscard]] uint32_t OpenCapacity(int32_t cryptoType, std::span<const uint8_t> datagram);

// Grows `packet` to `capacity` bytes when it is smaller: a new 32-byte
// aligned block, length 0, kind byte 2. Throws std::bad_alloc.
void GrowForOpen(TunnelPacket& packet, uint32_t capacity);

// The clear header fields of an authenticated packet: which key sealed it,
// who sent it and the sender's counter. Only meaningful once the packet
// opened (then they are authenticated); nothing for a shorter datagram or
// another format.
struct SealedHeader {
    uint16_t keyId = 0;
    int64_t sourceTag = 0;
    uint64_t counter = 0;
};
[[nodiscard]] std::optional<SealedHeader> ReadSealedHeader(std::span<const uint8_t> datagram);

// Checks and opens one datagram or TCP frame. Authenticated packets of
// every kind byte must pass the digest and the GCM tag. `loopFilter` (a UDP socket
// that joined a multicast group) drops packets carrying our own source tag.
// Grows the packet as OpenCapacity says; on any drop its length is 0.
// Never reads outside `datagram`. Takes the receive lock of `crypto`.
[[nodiscard]] OpenResult OpenPacket(TunnelCrypto& crypto, std::span<const uint8_t> datagram,
                                    bool loopFilter, TunnelPacket& packet);

}  // namespace TunnelPacketFormat

} // namespace zan
