#pragma once

#include "CNetworkSocket.h"
#include "PacketEndpoint.h"
#include "TunnelPacket.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace zan {

// The datagram socket of the engine's local ports, multicast groups and UDP
// tunnel leg. It is open from construction to destruction. Configuration
// failures that the caller cannot go on from throw exc_ZANSocket with a
// fixed message and line and the socket's last error code; a thrown
// exception leaves the socket as it was. The transfers never throw.
//
// One thread may receive (Receive, ReceivePacket) while another sends
// (SendTo); configuration happens before those threads start. To wake a
// receiver blocked in its 200 ms wait early, call Socket().Shutdown().
class CZANSocket {
public:
    // Opens the datagram socket (without address reuse). Throws "Creating
    // socket." when the socket cannot be opened.
    CZANSocket();
    virtual ~CZANSocket();

    CZANSocket(const CZANSocket&) = delete;
    CZANSocket& operator=(const CZANSocket&) = delete;

    // A null address binds to 0.0.0.0. Throws "Bind Error.".
    void Bind(const char* address, uint32_t port);

    // Stamps the packet with the local address and port the datagram arrives
    // on (throws "GetLocalEndPoint Error." when they cannot be read), then
    // receives into its block as Receive does. Returns the stored length.
    int32_t ReceivePacket(TunnelPacket& packet);

    // The local address and port, as ReceivePacket stamps them. Throws
    // "GetLocalEndPoint Error.".
    PacketEndpoint LocalEndPoint();

    // Waits up to 200 ms for a datagram and reads it and those already
    // waiting behind it, one per packet, in arrival order, with one system
    // call. Filled packets come first, each with its length and stamped
    // with `local` (read once from LocalEndPoint). Returns how many; 0 for a
    // time-out and for every failure. A datagram too large for its packet,
    // or empty, is dropped. SenderEndPoint names the sender of the last
    // datagram read.
    size_t ReceivePackets(std::span<TunnelPacket> packets, const PacketEndpoint& local);

    // Throw "Setting multicast sender NIC.", "Joining multicast address."
    // and "Disabling multicast loop." respectively.
    void SetMulticastSenderNIC(const char* interfaceAddress);
    // The membership is taken on the interface with the IPv4 address
    // `interfaceAddress` (the system's choice for null or 0.0.0.0).
    void JoinMulticastGroup(const char* groupAddress, const char* interfaceAddress = nullptr);
    void DisableMulticastLoop();

    // Waits up to 200 ms for one datagram. Returns its size, or 0 for a
    // time-out and for every failure. After a result >= 0 SenderEndPoint's
    // address is the sender's (empty after a time-out); its port is updated
    // only when a datagram arrived.
    int32_t Receive(void* buffer, uint32_t capacity);

    // One datagram to `to.address` and `to.port`: the inner socket's result
    // (the length, or E_FAIL, also for a port above 65535).
    int32_t SendTo(const void* buffer, uint32_t length, PacketEndpoint to);

    // Throw "Setting receiver buffer length." and "Setting sender buffer
    // length." respectively.
    void SetReceiverBufferLength(int32_t size);
    void SetSenderBufferLength(int32_t size);

    CNetworkSocket& Socket() { return socket; }

    // What the reads of the receiving thread saw since its last call: the
    // system's receive-queue drops and the empty datagrams dropped by
    // ReceivePackets. Called by that thread only.
    struct ReadCounts {
        uint64_t kernelDrops = 0;
        uint64_t emptyDatagrams = 0;
    };
    ReadCounts TakeReadCounts();

    // The sender of the last datagram read by Receive; `text` is never touched.
    PacketEndpoint SenderEndPoint;

private:
    // The last error code, as exc_ZANSocket carries it.
    uint32_t ErrorCode() const;
    // Receive into the packet's block; the count becomes its length.
    int32_t ReceiveInto(TunnelPacket& packet);

    CNetworkSocket socket;
    // The receiving thread's: what TakeReadCounts has not handed out yet.
    uint64_t kernelDropsTaken = 0;
    uint64_t emptyDatagrams = 0;
};

} // namespace zan
