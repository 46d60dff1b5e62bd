#pragma once

#include "CZANSocket.h"
#include "CZAN_DynamicBuffer.h"
#include "PacketEndpoint.h"
#include "TunnelCrypto.h"
#include "TunnelPacket.h"
#include "TunnelPacketFormat.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace zan {

class TunnelStatistics;

// The UDP tunnel socket: builds tunnel packets of the configured format and
// sends each as one datagram to the destination; reads datagrams and opens
// them. Send runs on the engine's sending threads (serialised by the
// engine's send lock), Receive on its receiver thread.
//
// Batches: where several datagrams are waiting, ReceiveBatch reads them with
// one system call and OpenReceived opens them one by one in arrival order;
// SendMany builds several packets and sends them, in order, with one call.
class TunnelSocket : public CZANSocket, public TunnelCrypto {
public:
    static constexpr uint32_t kReceiveBufferSize = 65535;
    // Datagrams per batch, each way.
    static constexpr size_t kBatchSize = 16;

    // `stats` may be null; it is not owned.
    explicit TunnelSocket(TunnelStatistics* stats = nullptr);
    ~TunnelSocket() override;

    // Builds one packet (kind 0 data, 1 keep-alive) and sends it to the
    // destination: the bytes sent; 0 or less on a socket failure; -1 when
    // the payload cannot be carried; -2 crypto error; -3 digest error.
    int32_t Send(const uint8_t* payload, uint32_t length, uint16_t port, uint8_t kind);

    // Waits up to 200 ms for one datagram and opens it into `packet`: the
    // payload length, or 0 when nothing usable arrived (LastOpenResult
    // says why). SenderEndPoint names the datagram's sender.
    int32_t Receive(TunnelPacket& packet);
    TunnelPacketFormat::OpenResult LastOpenResult() const { return lastOpenResult; }
    // The key id, source tag and counter of the last packet opened, when it
    // was of the sealed format (they are then authenticated); else nothing.
    const std::optional<TunnelPacketFormat::SealedHeader>& LastSeal() const { return lastSeal; }

    // Waits up to 200 ms for a datagram and reads it and those already
    // waiting behind it, up to kBatchSize: how many (0 for a time-out and for
    // every failure). They stay available until the next read.
    size_t ReceiveBatch();
    // Opens the `index`-th datagram of the last batch into `packet`, as
    // Receive opens its datagram, and makes SenderEndPoint its sender.
    int32_t OpenReceived(size_t index, TunnelPacket& packet);

    // Builds a data packet (kind 0) for each of `packets` and sends them in
    // order to the destination. results[i] is what Send would have returned
    // for packets[i]. At most kBatchSize packets per call.
    void SendMany(std::span<const TunnelPacket> packets, std::span<int32_t> results);

    // Refreshed by the engine under its send lock before every send.
    PacketEndpoint destination;
    // The multicast group the socket joined; a non-empty text switches the
    // loop filter on. Set before the engine's threads use the socket.
    std::string multicastGroup;

private:
    TunnelStatistics* stats;
    // Builds one packet into `output`: its size, or a Send failure result.
    int32_t Build(CZAN_DynamicBuffer& output, const uint8_t* payload, uint32_t length, uint16_t port,
                  uint8_t kind);
    // Opens `datagram` into `packet`, counting a drop: the payload length or 0.
    int32_t Open(std::span<const uint8_t> datagram, TunnelPacket& packet);

    CZAN_DynamicBuffer outputBuffer;   // used under the engine's send lock
    std::array<CZAN_DynamicBuffer, kBatchSize> batchOutputs;  // likewise
    // Used by the receiver thread only; Receive reads into the first.
    std::array<CZAN_DynamicBuffer, kBatchSize> receiveBuffers;
    std::array<CNetworkSocket::Slot, kBatchSize> received;  // the last batch
    TunnelPacketFormat::OpenResult lastOpenResult = TunnelPacketFormat::OpenResult::kNothing;
    std::optional<TunnelPacketFormat::SealedHeader> lastSeal;
};

} // namespace zan
