#pragma once

#include "RecordingFileFormat.h"

#include <cstddef>
#include <cstdint>

namespace zan {

// Sizes of the headers of an IPv4 UDP datagram.
inline constexpr size_t kIpv4HeaderSize = 20;
inline constexpr size_t kUdpHeaderSize = 8;
// The largest payload one IPv4 UDP datagram carries.
inline constexpr uint32_t kMaxUdpPayload = 65535 - kIpv4HeaderSize - kUdpHeaderSize;

// A recorded tunnel datagram that can travel as one UDP datagram again: a
// port from 1 to 65535 and a payload that fits. Other blocks are not
// datagrams to send; datagrams that cannot travel are counted in
// `skipped`. Replay and export send or write only what this accepts.
inline bool TravelsAsOneUdpDatagram(const RecordingFileFormat::BlockHeader& header, uint64_t& skipped)
{
    if (!header.Is(RecordingFileFormat::BlockType::TunnelDatagram)) {
        return false;
    }
    const bool fits = header.port != 0 && header.port <= 65535 && header.length <= kMaxUdpPayload;
    skipped += fits ? 0 : 1;
    return fits;
}

} // namespace zan
