#include "TunnelSocket.h"

#include "TunnelStatistics.h"

#include <algorithm>
#include <span>

namespace zan {

using TunnelPacketFormat::OpenResult;

TunnelSocket::TunnelSocket(TunnelStatistics* stats) : stats(stats)
{
    // Each buffer of a batch can take the largest datagram.
    for (CZAN_DynamicBuffer& buffer : receiveBuffers) {
        buffer.Reserve(kReceiveBufferSize);
    }
}

TunnelSocket::~TunnelSocket() = default;

int32_t TunnelSocket::Build(CZAN_DynamicBuffer& output, const uint8_t* payload, uint32_t length, uint16_t port,
                            uint8_t kind)
{
    if (payload == nullptr && length != 0) {
        return TunnelPacketFormat::kBuildRefused;
    }
    output.Reserve(TunnelPacketFormat::SendBufferSize(CryptoType(), length, false));
    return TunnelPacketFormat::BuildPacket(*this, std::span<const uint8_t>(payload, length), port, kind,
                                           std::span<uint8_t>(output.Data(), output.Capacity()));
}

int32_t TunnelSocket::Send(const uint8_t* payload, uint32_t length, uint16_t port, uint8_t kind)
{
    const int32_t size = Build(outputBuffer, payload, length, port, kind);
    if (size <= 0) {
        return size;
    }
    return SendTo(outputBuffer.Data(), static_cast<uint32_t>(size), destination);
}

int32_t TunnelSocket::Receive(TunnelPacket& packet)
{
    const int32_t n = CZANSocket::Receive(receiveBuffers[0].Data(), kReceiveBufferSize);
    if (n <= 0) {
        lastOpenResult = OpenResult::kNothing;
        return 0;
    }
    return Open(std::span<const uint8_t>(receiveBuffers[0].Data(), static_cast<size_t>(n)), packet);
}

size_t TunnelSocket::ReceiveBatch()
{
    for (size_t i = 0; i < kBatchSize; ++i) {
        received[i] = CNetworkSocket::Slot{};
        received[i].buffer = receiveBuffers[i].Data();
        received[i].capacity = kReceiveBufferSize;
    }
    const int32_t n = Socket().ReceiveBatch(received);
    if (stats != nullptr) {
        stats->KernelDropped(TakeReadCounts().kernelDrops);
    }
    return n > 0 ? static_cast<size_t>(n) : 0;
}

int32_t TunnelSocket::OpenReceived(size_t index, TunnelPacket& packet)
{
    const CNetworkSocket::Slot& slot = received[index];
    SenderEndPoint.address = CNetworkSocket::AddressText(slot.senderAddress);
    SenderEndPoint.port = slot.senderPort;
    if (slot.truncated || slot.length == 0) {
        lastOpenResult = OpenResult::kNothing;
        lastSeal.reset();
        if (!slot.truncated && stats != nullptr) {
            stats->EmptyDatagrams(1);
        }
        return 0;
    }
    return Open(std::span<const uint8_t>(receiveBuffers[index].Data(), slot.length), packet);
}

void TunnelSocket::SendMany(std::span<const TunnelPacket> packets, std::span<int32_t> results)
{
    const size_t count = std::min({packets.size(), results.size(), kBatchSize});
    std::array<CNetworkSocket::Outgoing, kBatchSize> built;
    std::array<size_t, kBatchSize> index;  // of each built packet in `packets`
    size_t ready = 0;
    for (size_t i = 0; i < count; ++i) {
        const TunnelPacket& packet = packets[i];
        CZAN_DynamicBuffer& output = batchOutputs[ready];
        const int32_t size = Build(output, packet.data, packet.length, static_cast<uint16_t>(packet.endpoint.port),
                                   TunnelPacketFormat::kDataKind);
        if (size <= 0) {
            results[i] = size;
            continue;
        }
        built[ready] = CNetworkSocket::Outgoing{output.Data(), static_cast<uint32_t>(size), destination.port};
        index[ready++] = i;
    }
    std::array<int32_t, kBatchSize> sent;
    (void)Socket().SendBatch(destination.address.c_str(), std::span(built.data(), ready),
                             std::span(sent.data(), ready));
    for (size_t k = 0; k < ready; ++k) {
        results[index[k]] = sent[k];
    }
}

int32_t TunnelSocket::Open(std::span<const uint8_t> datagram, TunnelPacket& packet)
{
    lastOpenResult = TunnelPacketFormat::OpenPacket(*this, datagram, !multicastGroup.empty(), packet);
    lastSeal.reset();
    const bool sealed = CryptoType() >= kAuthenticatedType;
    if (lastOpenResult != OpenResult::kOpened) {
        if (stats != nullptr) {
            stats->Dropped(lastOpenResult);
            // A keep-alive (or other non-data kind) of the sealed format that
            // does not authenticate: what a forger sends to move the peer.
            const bool failedCheck = lastOpenResult == OpenResult::kLength || lastOpenResult == OpenResult::kNoKey ||
                                     lastOpenResult == OpenResult::kDigest || lastOpenResult == OpenResult::kGcmTag;
            if (sealed && failedCheck && datagram.size() > 1 &&
                datagram[1] != TunnelPacketFormat::kDataKindByte) {
                stats->UnauthenticatedControl();
            }
        }
        return 0;
    }
    if (sealed) {
        lastSeal = TunnelPacketFormat::ReadSealedHeader(datagram);
    }
    return static_cast<int32_t>(packet.length);
}

} // namespace zan
