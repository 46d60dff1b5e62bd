#pragma once

#include "ComBase.h"

#include <array>
#include <cstdint>
#include <numeric>

namespace zan {

// Why a received packet was dropped, as counted in a snapshot's `drops`
// (the first two entries, opened and nothing-arrived, are not drops and
// stay 0): other format, bad kind byte, own multicast packet looped back,
// bad length, no key, digest mismatch, GCM tag mismatch.
inline constexpr size_t kTunnelOpenResultCount = 9;

// The counters of one engine at one moment.
struct TunnelStatisticsSnapshot {
    uint64_t datagramsSent = 0;       // data packets that left through the tunnel
    uint64_t bytesSent = 0;           // their payload bytes
    uint64_t sendFailures = 0;        // data packets that could not be sent
    uint64_t keepAlivesSent = 0;
    uint64_t datagramsReceived = 0;   // data packets opened and dispatched
    uint64_t bytesReceived = 0;       // their payload bytes
    uint64_t keepAlivesReceived = 0;  // other opened packets (kind byte not 2)
    std::array<uint64_t, kTunnelOpenResultCount> drops{};
    uint64_t ringOverwrites = 0;      // queued datagrams a full ring dropped
    uint64_t recorderOverflows = 0;   // records the recorder's full queue dropped
    uint64_t tcpConnects = 0;         // established TCP connections
    uint64_t tcpLosses = 0;           // connections found lost
    uint64_t tcpReconnects = 0;       // connect tries after a loss or a failed first connect
    uint64_t staleDatagrams = 0;      // queued while the TCP tunnel was down, too old to send
    bool tcpConnected = false;
    uint64_t kernelDrops = 0;         // datagrams the system dropped from full receive queues
    uint64_t emptyDatagrams = 0;      // zero-length datagrams read and dropped
    uint64_t unauthenticatedControl = 0;  // sealed-format non-data packets that failed to authenticate
    uint64_t peerChanges = 0;         // moves of a learned peer to a new address
    bool tcpGivenUp = false;          // the TCP tunnel reached its reconnection limit: no further tries

    uint64_t Drops() const { return std::accumulate(drops.begin(), drops.end(), uint64_t{0}); }
};

inline constexpr IID IID_IZAN_TunnelStatistics = {
    0x6b1d2e45, 0x3c55, 0x4f0e, {0x9a, 0x61, 0x2f, 0x7c, 0x14, 0xd8, 0x5e, 0x01}};

// The control's counters for a host in the same process, reached with
// QueryInterface from the control. Reading never blocks the packet paths.
class IZAN_TunnelStatistics : public IUnknown {
public:
    // S_OK with the engine's counters; S_FALSE (and zeros) while the control
    // has no engine; E_POINTER for a null `snapshot`.
    virtual HRESULT GetStatistics(TunnelStatisticsSnapshot* snapshot) = 0;

protected:
    IZAN_TunnelStatistics() = default;
    ~IZAN_TunnelStatistics() = default;
    IZAN_TunnelStatistics(const IZAN_TunnelStatistics&) = default;
    IZAN_TunnelStatistics& operator=(const IZAN_TunnelStatistics&) = default;
};

} // namespace zan
