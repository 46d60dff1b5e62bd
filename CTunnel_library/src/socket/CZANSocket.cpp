#include "CZANSocket.h"

#include "ResultCodes.h"
#include "base_exception.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

namespace zan {

namespace {

// The line each failure reports: it travels in the exception and appears in
// the error reports that the engine and the control show, so that a report
// names the failing step. The numbers are fixed texts, not positions here.
constexpr int32_t kLineCreate = 33;
constexpr int32_t kLineBind = 49;
constexpr int32_t kLineLocalEndPoint = 64;
constexpr int32_t kLineSenderNic = 72;
constexpr int32_t kLineJoinGroup = 81;
constexpr int32_t kLineMulticastLoop = 86;
constexpr int32_t kLineReceiveBuffer = 149;
constexpr int32_t kLineSendBuffer = 160;

} // namespace

uint32_t CZANSocket::ErrorCode() const
{
    return static_cast<uint32_t>(socket.LastErrorCode());
}

// Construction opens the one datagram socket this object ever has. It does
// not allow address reuse: a second socket binding a unicast port that is
// in use fails with "Bind Error." instead of quietly taking a share of the
// first one's datagrams. Only a socket that joins a multicast group allows
// it (JoinMulticastGroup's caller sets it before binding).
//
// The "Creating socket." exception carries the code recorded before the
// attempt: a failing open leaves its reason in the error text only, so a new
// socket reports code 0. Nothing else can fail: an open socket is usable.

CZANSocket::CZANSocket()
{
    if (!socket.OpenUdp())
        throw exc_ZANSocket(kLineCreate, ErrorCode(), "Creating socket.");
}

CZANSocket::~CZANSocket()
{
    socket.Close();
}

// A null address text binds to every local address (0.0.0.0). A port above
// 65535 is refused before it reaches the system, so it cannot wrap around.
// An address that is no numeric literal fails with its reason in the text.

void CZANSocket::Bind(const char* address, uint32_t port)
{
    if (socket.Bind(address, port) != S_OK)
        throw exc_ZANSocket(kLineBind, ErrorCode(), "Bind Error.");
}

// Packets are stamped with where the datagram arrives, not where it came
// from: the port that travels through the tunnel is the local port that a
// sibling module sent to. ReceivePacket takes the stamp before the wait, so
// it holds even when nothing arrives and the packet goes on as an idle tick;
// ReceivePackets is given it, read once here after binding (a bound socket's
// end point never changes). A packet without a block has no room: its
// datagram is read with capacity 0, found too large and dropped. The engine's
// packets carry a 65535-byte block, enough for any datagram.
PacketEndpoint CZANSocket::LocalEndPoint()
{
    PacketEndpoint local;
    if (socket.GetLocalEndPoint(local.address, local.port) != S_OK)
        throw exc_ZANSocket(kLineLocalEndPoint, ErrorCode(), "GetLocalEndPoint Error.");
    return local;
}

// Multicast datagrams leave by the interface with this IPv4 address.
void CZANSocket::SetMulticastSenderNIC(const char* interfaceAddress)
{
    if (socket.SetMulticastInterface(interfaceAddress) != S_OK)
        throw exc_ZANSocket(kLineSenderNic, ErrorCode(), "Setting multicast sender NIC.");
}

// Membership is taken on the interface with the given address (the system
// chooses for null or 0.0.0.0) and ends when the socket closes. Turning the
// loop off keeps this host's own multicast datagrams from coming back to it.
void CZANSocket::JoinMulticastGroup(const char* groupAddress, const char* interfaceAddress)
{
    if (socket.JoinGroup(groupAddress, interfaceAddress) != S_OK)
        throw exc_ZANSocket(kLineJoinGroup, ErrorCode(), "Joining multicast address.");
}
void CZANSocket::DisableMulticastLoop()
{
    if (socket.SetMulticastLoop(false) != S_OK)
        throw exc_ZANSocket(kLineMulticastLoop, ErrorCode(), "Disabling multicast loop.");
}

// ---- transfers: these never throw ------------------------------------------
//
// Receive runs on the engine's receiving threads, SendTo on its sending
// threads, possibly at the same time on one socket. Both give plain counts
// so that the threads' loops go on: a wait that found nothing and a failed
// read both give 0, and the loop simply waits again.
//
// SenderEndPoint is written only by Receive, on the receiving thread, which
// is also its only reader (the engine learns its peer from it).

int32_t CZANSocket::Receive(void* buffer, uint32_t capacity)
{
    std::string address;
    uint32_t port = 0;
    const int32_t result = socket.ReceiveFrom(address, port, buffer, capacity);
    if (result < 0) {
        return 0;
    }
    SenderEndPoint.address = address;
    if (result > 0) {
        SenderEndPoint.port = port;
    }
    return result;
}

int32_t CZANSocket::ReceiveInto(TunnelPacket& packet)
{
    const int32_t received = Receive(packet.data, packet.capacity);
    packet.length = static_cast<uint32_t>(received);
    return received;
}

// The end point's port is checked against 65535 by the inner socket.
int32_t CZANSocket::SendTo(const void* buffer, uint32_t length, PacketEndpoint to)
{
    return socket.SendTo(to.address.c_str(), to.port, buffer, length);
}

// ---- buffer sizes -----------------------------------------------------------
//
// The engine asks for 2000000 bytes each way. The system may grant less (it
// caps the sizes at its own limits) without failing; only a refused call,
// such as one on a closed socket or with a negative size, throws.
//
// Both sizes apply to the datagram socket, the one socket this class opens.
// The receive side lets a local port absorb a burst from a sibling module
// while the sending thread is busy with the tunnel; the send side lets the
// delivery socket hand a burst from the tunnel to the local modules.
//
// A failure here leaves the socket open with the sizes it had: the caller
// decides whether the set-up that asked for the size goes on. Neither call
// changes anything else on the socket, and a size may be set again at any
// time; the system applies the latest one to data that arrives from then
// on.
//
// A negative size is refused with E_FAIL before it reaches the system.

void CZANSocket::SetReceiverBufferLength(int32_t size)
{
    if (socket.SetReceiveBufferSize(size) != S_OK)
        throw exc_ZANSocket(kLineReceiveBuffer, ErrorCode(), "Setting receiver buffer length.");
}

// Linux doubles the granted value to leave room for its own bookkeeping, so
// reading the option back shows about twice the size asked for (up to the
// system's limit); the engine never reads it back. The same holds for the
// receive size above.

void CZANSocket::SetSenderBufferLength(int32_t size)
{
    if (socket.SetSendBufferSize(size) != S_OK)
        throw exc_ZANSocket(kLineSendBuffer, ErrorCode(), "Setting sender buffer length.");
}

// ---- receive-port reads -------------------------------------------------------

int32_t CZANSocket::ReceivePacket(TunnelPacket& packet)
{
    PacketEndpoint local = LocalEndPoint();
    packet.endpoint.port = local.port;
    packet.endpoint.address = std::move(local.address);
    return ReceiveInto(packet);
}

// A datagram too large for its packet's block is dropped, as Receive drops
// it, and so is an empty one; the packets behind move up by swapping blocks,
// so the filled packets always come first and keep the order of arrival.

size_t CZANSocket::ReceivePackets(std::span<TunnelPacket> packets, const PacketEndpoint& local)
{
    std::array<CNetworkSocket::Slot, CNetworkSocket::kMaxBatch> slots;
    const size_t batch = std::min(packets.size(), slots.size());
    for (size_t i = 0; i < batch; ++i) {
        slots[i] = CNetworkSocket::Slot{};
        slots[i].buffer = packets[i].data;
        slots[i].capacity = packets[i].data == nullptr ? 0 : packets[i].capacity;
    }
    const int32_t received = socket.ReceiveBatch(std::span(slots.data(), batch));
    if (received <= 0) {
        return 0;
    }
    size_t kept = 0;
    for (size_t i = 0; i < static_cast<size_t>(received); ++i) {
        if (slots[i].truncated || slots[i].length == 0) {
            emptyDatagrams += slots[i].truncated ? 0 : 1;
            continue;
        }
        TunnelPacket& packet = packets[kept];
        if (kept != i) {
            std::swap(packet.data, packets[i].data);
            std::swap(packet.capacity, packets[i].capacity);
        }
        packet.length = slots[i].length;
        packet.endpoint.port = local.port;
        packet.endpoint.address = local.address;
        ++kept;
    }
    const CNetworkSocket::Slot& last = slots[static_cast<size_t>(received) - 1];
    SenderEndPoint.address = CNetworkSocket::AddressText(last.senderAddress);
    SenderEndPoint.port = last.senderPort;
    return kept;
}

// The counts since the last call: the system's count only grows, so the
// difference from what was taken last time is what is new.
CZANSocket::ReadCounts CZANSocket::TakeReadCounts()
{
    ReadCounts counts;
    const uint64_t drops = socket.KernelDrops();
    counts.kernelDrops = drops - kernelDropsTaken;
    kernelDropsTaken = drops;
    counts.emptyDatagrams = emptyDatagrams;
    emptyDatagrams = 0;
    return counts;
}

} // namespace zan
