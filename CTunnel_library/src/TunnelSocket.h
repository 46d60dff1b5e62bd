#pragma once

#include "CZANSocket.h"
#include "CZAN_DynamicBuffer.h"
#include "PacketEndpoint.h"
#include "TunnelCrypto.h"
#include "TunnelPacket.h"
#include "TunnelPacketFormat.h"

#include <cstdint>
#include <string>

class TunnelStatistics;

// The UDP tunnel socket: builds tunnel packets of the configured format and
// sends each as one datagram to the destination; reads datagrams and opens
// them. Send runs on the engine's sending threads (serialised by the
// engine's send lock), Receive on its receiver thread.
class TunnelSocket : public CZANSocket, public TunnelCrypto {
public:
    static constexpr uint32_t kReceiveBufferSize = 65535;

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

    // Refreshed by the engine under its send lock before every send.
    PacketEndpoint destination;
    // The multicast group the socket joined; a non-empty text switches the
    // loop filter on. Set before the engine's threads use the socket.
    std::string multicastGroup;

private:
    TunnelStatistics* stats;
    CZAN_DynamicBuffer outputBuffer;   // used under the engine's send lock
    CZAN_DynamicBuffer receiveBuffer;  // used by the receiver thread only
    TunnelPacketFormat::OpenResult lastOpenResult = TunnelPacketFormat::OpenResult::kNothing;
};
