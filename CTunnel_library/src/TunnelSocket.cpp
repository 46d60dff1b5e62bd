#include "TunnelSocket.h"

#include "TunnelStatistics.h"

#include <span>

using TunnelPacketFormat::OpenResult;

TunnelSocket::TunnelSocket(TunnelStatistics* stats) : stats(stats)
{
    receiveBuffer.Reserve(kReceiveBufferSize);
}

TunnelSocket::~TunnelSocket() = default;

int32_t TunnelSocket::Send(const uint8_t* payload, uint32_t length, uint16_t port, uint8_t kind)
{
    if (payload == nullptr && length != 0) {
        return TunnelPacketFormat::kBuildRefused;
    }
    outputBuffer.Reserve(TunnelPacketFormat::SendBufferSize(CryptoType(), length, false));
    const int32_t size = TunnelPacketFormat::BuildPacket(
        *this, std::span<const uint8_t>(payload, length), port, kind,
        std::span<uint8_t>(outputBuffer.Data(), outputBuffer.Capacity()));
    if (size <= 0) {
        return size;
    }
    return SendTo(outputBuffer.Data(), static_cast<uint32_t>(size), destination);
}

int32_t TunnelSocket::Receive(TunnelPacket& packet)
{
    const int32_t n = CZANSocket::Receive(receiveBuffer.Data(), kReceiveBufferSize);
    if (n <= 0) {
        lastOpenResult = OpenResult::kNothing;
        return 0;
    }
    lastOpenResult = TunnelPacketFormat::OpenPacket(
        *this, std::span<const uint8_t>(receiveBuffer.Data(), static_cast<size_t>(n)),
        !multicastGroup.empty(), packet);
    if (lastOpenResult != OpenResult::kOpened) {
        if (stats != nullptr) {
            stats->Dropped(lastOpenResult);
        }
        return 0;
    }
    return static_cast<int32_t>(packet.length);
}
