#include "TunnelStatistics.h"

namespace zan {

using TunnelPacketFormat::OpenResult;

void TunnelStatistics::Dropped(OpenResult reason)
{
    if (reason != OpenResult::kOpened && reason != OpenResult::kNothing && reason < OpenResult::kCount) {
        Add(drops[static_cast<size_t>(reason)], 1);
    }
}

void TunnelStatistics::TcpConnected()
{
    Add(tcpConnects, 1);
    tcpConnected.store(true, std::memory_order_relaxed);
}

void TunnelStatistics::TcpLost()
{
    Add(tcpLosses, 1);
    tcpConnected.store(false, std::memory_order_relaxed);
}

TunnelStatistics::Snapshot TunnelStatistics::Read(uint64_t recorderOverflows) const
{
    const auto load = [](const std::atomic<uint64_t>& c) { return c.load(std::memory_order_relaxed); };
    Snapshot s;
    s.datagramsSent = load(datagramsSent);
    s.bytesSent = load(bytesSent);
    s.sendFailures = load(sendFailures);
    s.keepAlivesSent = load(keepAlivesSent);
    s.datagramsReceived = load(datagramsReceived);
    s.bytesReceived = load(bytesReceived);
    s.keepAlivesReceived = load(keepAlivesReceived);
    for (size_t i = 0; i < drops.size(); ++i) {
        s.drops[i] = load(drops[i]);
    }
    s.ringOverwrites = load(ringOverwrites);
    s.recorderOverflows = recorderOverflows;
    s.tcpConnects = load(tcpConnects);
    s.tcpLosses = load(tcpLosses);
    s.tcpReconnects = load(tcpReconnects);
    s.staleDatagrams = load(staleDatagrams);
    s.tcpConnected = tcpConnected.load(std::memory_order_relaxed);
    s.kernelDrops = load(kernelDrops);
    s.emptyDatagrams = load(emptyDatagrams);
    s.unauthenticatedControl = load(unauthenticatedControl);
    s.peerChanges = load(peerChanges);
    s.tcpGivenUp = tcpGivenUp.load(std::memory_order_relaxed);
    return s;
}

} // namespace zan
