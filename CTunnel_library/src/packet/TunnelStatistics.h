#pragma once

#include "TunnelPacketFormat.h"
#include "TunnelStatisticsSnapshot.h"

#include <array>
#include <atomic>
#include <cstdint>

namespace zan {

// Counters of one engine. Writers on the packet paths only do relaxed
// atomic increments; readers take a Snapshot that never blocks them.
class TunnelStatistics {
public:
    static constexpr size_t kOpenResults = static_cast<size_t>(TunnelPacketFormat::OpenResult::kCount);

    // The public form of the counters (what a host of the module sees).
    using Snapshot = TunnelStatisticsSnapshot;
    static_assert(kOpenResults == kTunnelOpenResultCount);

    void DataSent(uint64_t bytes) { Add(datagramsSent, 1); Add(bytesSent, bytes); }
    void SendFailed() { Add(sendFailures, 1); }
    void KeepAliveSent() { Add(keepAlivesSent, 1); }
    void DataReceived(uint64_t bytes) { Add(datagramsReceived, 1); Add(bytesReceived, bytes); }
    void KeepAliveReceived() { Add(keepAlivesReceived, 1); }
    // Counts a drop; kOpened and kNothing are not drops and are ignored.
    void Dropped(TunnelPacketFormat::OpenResult reason);
    void RingOverwritten() { Add(ringOverwrites, 1); }
    void TcpConnected();
    void TcpLost();
    void TcpReconnecting() { Add(tcpReconnects, 1); }
    void TcpGaveUp() { tcpGivenUp.store(true, std::memory_order_relaxed); }
    void StaleDropped(uint64_t n) { Add(staleDatagrams, n); }
    void KernelDropped(uint64_t n) { Add(kernelDrops, n); }
    void EmptyDatagrams(uint64_t n) { Add(emptyDatagrams, n); }
    void UnauthenticatedControl() { Add(unauthenticatedControl, 1); }
    void PeerChanged() { Add(peerChanges, 1); }

    // `recorderOverflows` is the recorder's own count, passed in by the owner.
    Snapshot Read(uint64_t recorderOverflows) const;

private:
    static void Add(std::atomic<uint64_t>& counter, uint64_t n)
    {
        counter.fetch_add(n, std::memory_order_relaxed);
    }

    std::atomic<uint64_t> datagramsSent{0};
    std::atomic<uint64_t> bytesSent{0};
    std::atomic<uint64_t> sendFailures{0};
    std::atomic<uint64_t> keepAlivesSent{0};
    std::atomic<uint64_t> datagramsReceived{0};
    std::atomic<uint64_t> bytesReceived{0};
    std::atomic<uint64_t> keepAlivesReceived{0};
    std::array<std::atomic<uint64_t>, kOpenResults> drops{};
    std::atomic<uint64_t> ringOverwrites{0};
    std::atomic<uint64_t> tcpConnects{0};
    std::atomic<uint64_t> tcpLosses{0};
    std::atomic<uint64_t> tcpReconnects{0};
    std::atomic<uint64_t> staleDatagrams{0};
    std::atomic<bool> tcpConnected{false};
    std::atomic<bool> tcpGivenUp{false};
    std::atomic<uint64_t> kernelDrops{0};
    std::atomic<uint64_t> emptyDatagrams{0};
    std::atomic<uint64_t> unauthenticatedControl{0};
    std::atomic<uint64_t> peerChanges{0};
};

} // namespace zan
