#include "CTunnel.h"

#include "CNetworkSocket.h"
#include "CZAN_AutoLock.h"
#include "ResultCodes.h"
#include "TCPTunnelSocket.h"
#include "TunnelReceiverThread.h"
#include "TunnelSenderThread.h"
#include "TunnelSocket.h"
#include "TunnelSocketSenderThread.h"
#include "TunnelStack.h"
#include "TunnelStackFactory.h"
#include "ZAN_Time.h"
#include "base_exception.h"

#include <algorithm>
#include <array>
#include <span>
#include <vector>

namespace zan {

namespace {

// The source lines the engine's set-up exceptions are known by in reports.
constexpr int32_t kLineUdpWhileStarted = 631;
constexpr int32_t kLineTcpWhileStarted = 717;
constexpr int32_t kLineNoTcpDestination = 753;
constexpr int32_t kLineNotSet = 600;
constexpr int32_t kLineRecordingWrite = 820;

constexpr char kTunnelStarted[] = "Can't set tunnel if tunnel is started";
constexpr char kSendCryptoError[] = "Tunnel : Sending packet error : SSL_Crypto error";
constexpr char kSendDigestError[] = "Tunnel : Sending packet error : SSL_Digest error";
constexpr char kSendError[] = "Tunnel : Sending packet error";

constexpr int64_t kIdleReceiveSleepMs = 200;
constexpr uint8_t kDataKind = TunnelPacketFormat::kDataKind;
constexpr uint8_t kKeepAliveKind = TunnelPacketFormat::kKeepAliveKind;

std::span<const std::byte> Payload(const TunnelPacket& packet)
{
    return {reinterpret_cast<const std::byte*>(packet.data), packet.data == nullptr ? 0 : packet.length};
}

} // namespace

// ---------------------------------------------------------------------------
// Construction and destruction

std::string CTunnel::ResolveHostName(const std::string& host)
{
    return CNetworkSocket::ResolveHostAddress(host.c_str());
}

CTunnel::CTunnel()
    : stackFactory(std::make_unique<TunnelStackFactory>(this)),
      tcpQueueAgeLimitMs(TCPTunnelSocket::kDefaultQueueAgeLimitMs)
{
    localSocket = std::make_unique<CZANSocket>();
    try {
        localSocket->SetSenderBufferLength(static_cast<int32_t>(kSocketBufferSize));
    } catch (const base_exception& e) {
        ReportException(e);  // no sink exists yet: silent
    }
    // A recording whose file refuses a record says so, once per recording.
    recorder.SetWriteFailureReport([this] {
        ReportException(exc_ZANTunnel(kLineRecordingWrite, "Recording : write error, records are being lost."));
    });
    // The tunnel counts as idle from the start, so the first idle pass after
    // a destination is known sends a keep-alive.
    lastSendMs.store(GetTimeMs() - (kKeepAliveIdleMs + 1));
}

CTunnel::~CTunnel()
{
    Stop();
    // A sending thread may be waiting on a TCP peer that reads nothing:
    // shutting the connection down ends its write, so the thread can stop.
    if (tcpTunnelSocket) {
        tcpTunnelSocket->Shutdown();
    }

    std::map<std::string, std::unique_ptr<TunnelSocketSenderThread>> ports;
    {
        CZAN_AutoLock guard(&receivePortsLock);
        ports.swap(receivePorts);
    }
    ports.clear();  // each thread stops before its socket goes
    DestroyStacks();

    if (udpTunnelSocket && !udpTunnelSocket->multicastGroup.empty()) {
        (void)udpTunnelSocket->Socket().LeaveGroup(udpTunnelSocket->multicastGroup.c_str());
    }
    localSocket.reset();
    udpTunnelSocket.reset();
    tcpTunnelSocket.reset();
    stackFactory.reset();
}

void CTunnel::DestroyStacks()
{
    {
        CZAN_AutoLock guard(&portStacksLock);
        for (auto& entry : portStacks) {
            delete entry.second;
        }
        portStacks.clear();
    }
    // A sender stack's thread takes senderStacksLock for every send, so it is
    // stopped without that lock held.
    std::list<TunnelSenderThread*> senders;
    {
        CZAN_AutoLock guard(&senderStacksLock);
        senders.swap(senderStacks);
    }
    for (TunnelSenderThread* sender : senders) {
        sender->Stop();
        delete sender;
    }
}

// ---------------------------------------------------------------------------
// Configuration

void CTunnel::SetSourceTag(int64_t tag)
{
    sourceTag.store(tag);
    CZAN_AutoLock guard(&senderStacksLock);
    if (udpTunnelSocket) {
        udpTunnelSocket->SetSourceTag(tag);
    }
    if (tcpTunnelSocket) {
        tcpTunnelSocket->SetSourceTag(tag);
    }
}

void CTunnel::SetDeliveryAddress(const std::string& address)
{
    CZAN_AutoLock guard(&configLock);
    deliveryAddress = address;
}

void CTunnel::SetSenderNic(const std::string& nic)
{
    CZAN_AutoLock guard(&configLock);
    senderNic = nic;
}

void CTunnel::SetReceiverNic(const std::string& nic)
{
    CZAN_AutoLock guard(&configLock);
    receiverNic = nic;
}

void CTunnel::SetUpCrypto(TunnelCrypto& crypto, uint32_t cryptoType, const char* cryptoKey)
{
    crypto.SetCryptoType(static_cast<int32_t>(cryptoType));
    if (cryptoType < TunnelCrypto::kAuthenticatedType) {
        (void)crypto.SetLegacyKey(cryptoKey);
    }
}

void CTunnel::SetUdpTunnel(const char* destinationAddress, const char* receiveGroup, uint16_t destinationPort,
                           uint32_t cryptoType, const char* cryptoKey, uint16_t localPort)
{
    // A failure the set-up goes on from is reported once engineLock is
    // released, so a sink that calls back into the engine finds it free.
    std::string report;
    const ReportWhenDone reportWhenDone{*this, report};
    CZAN_AutoLock setUp(&engineLock);
    RefuseSetUpWhileStarted(kLineUdpWhileStarted);
    auto created = std::make_unique<TunnelSocket>(&stats);
    created->SetSourceTag(sourceTag.load());
    TunnelSocket& socket = *created;
    std::unique_ptr<TunnelSocket> old;
    {
        // Receive-port threads keep sending while the engine is stopped: the
        // socket is swapped only between two of their sends.
        CZAN_AutoLock guard(&senderStacksLock);
        old = std::move(udpTunnelSocket);
        udpTunnelSocket = std::move(created);
    }
    old.reset();

    try {
        SetUpCrypto(socket, cryptoType, cryptoKey);
        socket.SetReceiverBufferLength(static_cast<int32_t>(kSocketBufferSize));
        socket.SetSenderBufferLength(static_cast<int32_t>(kSocketBufferSize));
    } catch (const base_exception& e) {
        report = EngineErrorReport(e);
    }

    std::string senderInterface;
    std::string receiverInterface;
    {
        CZAN_AutoLock guard(&configLock);
        senderInterface = senderNic;
        receiverInterface = receiverNic;
    }

    const bool joinsGroup = receiveGroup != nullptr && CNetworkSocket::IsMulticastAddress(receiveGroup);
    // Without a destination the peer is learned, and then followed.
    peer.Reset(destinationAddress == nullptr);
    if (destinationAddress != nullptr) {
        {
            CZAN_AutoLock guard(&senderStacksLock);
            destination.port = destinationPort;
            destination.address = destinationAddress;
            destination.text.clear();
            destinationSet.store(true);
        }
        if (CNetworkSocket::IsMulticastAddress(destinationAddress)) {
            socket.SetMulticastSenderNIC(senderInterface.c_str());
        }
    } else {
        destinationSet.store(false);
        // Waiting for the peer's first packet needs a port the peer can
        // reach: listen on the destination port, and answer from it.
        if (!joinsGroup) {
            socket.Bind(receiverInterface.c_str(), destinationPort);
        }
    }

    if (joinsGroup) {
        // Bound to the group itself: a socket bound to the interface's own
        // unicast address would receive nothing of the group. The interface
        // is chosen by the membership instead. Sockets of one group may
        // share the port, so this one allows address reuse.
        (void)socket.Socket().SetReuseAddress();
        socket.Bind(receiveGroup, localPort);
        socket.multicastGroup = receiveGroup;
        socket.JoinMulticastGroup(receiveGroup, receiverInterface.c_str());
        socket.DisableMulticastLoop();
    }
}

CTunnel::ReportWhenDone::~ReportWhenDone()
{
    if (report.empty()) {
        return;
    }
    try {
        engine.ReportError(report);
    } catch (...) {
        // A sink that fails cannot fail the set-up that already happened.
    }
}

void CTunnel::RefuseSetUpWhileStarted(int32_t line)
{
    if (receiver || receiving.load()) {
        throw exc_ZANTunnel(line, kTunnelStarted);
    }
}

void CTunnel::SetTcpTunnel(const char* destinationAddress, uint16_t destinationPort, uint32_t cryptoType,
                           const char* cryptoKey, const char* proxyHost, uint16_t proxyPort, const char* proxyUser,
                           const char* proxyPassword)
{
    {
        CZAN_AutoLock setUp(&engineLock);
        RefuseSetUpWhileStarted(kLineTcpWhileStarted);
    }
    tcpHalt.store(false);
    auto created = std::make_unique<TCPTunnelSocket>(events.load(), &stats);
    created->SetSourceTag(sourceTag.load());
    created->SetHaltSignal(&tcpHalt);
    created->SetReconnectLimit(tcpReconnectLimit.load());
    created->SetQueueAgeLimit(tcpQueueAgeLimitMs.load());
    bool cryptoSetUp = true;
    try {
        SetUpCrypto(*created, cryptoType, cryptoKey);
    } catch (const base_exception& e) {
        ReportException(e);
        cryptoSetUp = false;
    }
    if (cryptoSetUp) {
        created->SetReceiveBufferSize(kSocketBufferSize);
        created->SetSendBufferSize(kSocketBufferSize);
    }
    created->SetGreetingByte(2);

    TCPTunnelSocket& socket = *created;
    std::unique_ptr<TCPTunnelSocket> old;
    {
        CZAN_AutoLock guard(&senderStacksLock);
        old = std::move(tcpTunnelSocket);
        tcpTunnelSocket = std::move(created);
    }
    if (old) {
        old->Shutdown();
        old.reset();
    }

    tcpDestination = destinationAddress != nullptr ? destinationAddress : "";
    tcpDestinationPort = destinationPort;
    if (tcpDestination.empty() || tcpDestinationPort == 0) {
        throw exc_ZANTunnel(kLineNoTcpDestination, "No TCP destination address/port.");
    }
    if (proxyHost != nullptr && *proxyHost != '\0') {
        socket.SetProxy(proxyHost, proxyPort, proxyUser, proxyPassword);
    }
    // The connection is made at once on this thread; a failure has been
    // reported by the socket, which tries again once the receiver runs.
    // Until then datagrams wait in the socket, within its age limit.
    const bool connected = socket.Connect(tcpDestination.c_str(), tcpDestinationPort);
    destinationSet.store(connected || socket.WillCarry());
}

void CTunnel::AddReceivePort(uint16_t port, const char* address)
{
    PacketEndpoint local;
    {
        CZAN_AutoLock guard(&configLock);
        if (address != nullptr) {
            receiveAddress = address;
        }
        local.port = port;
        local.address = receiveAddress;
    }
    local.UpdateText();

    CZAN_AutoLock guard(&receivePortsLock);
    if (receivePorts.count(local.text) == 0) {
        receivePorts.emplace(local.text, std::make_unique<TunnelSocketSenderThread>(this, local));
    }
}

void CTunnel::AddKey(uint32_t id, const uint8_t* key, int keyLength, const uint8_t* salt, int saltLength,
                     uint32_t rekeyPeriod)
{
    if (keyLength < 0 || saltLength < 0 || (key == nullptr && keyLength > 0) ||
        (salt == nullptr && saltLength > 0)) {
        return;
    }
    CZAN_AutoLock guard(&senderStacksLock);
    for (TunnelCrypto* crypto : {static_cast<TunnelCrypto*>(udpTunnelSocket.get()),
                                 static_cast<TunnelCrypto*>(tcpTunnelSocket.get())}) {
        if (crypto != nullptr) {
            crypto->AddKey(id, key, static_cast<uint32_t>(keyLength), salt, static_cast<uint32_t>(saltLength),
                           rekeyPeriod);
        }
    }
}

void CTunnel::SetTunnelReceiveBuffer(uint32_t bytes)
{
    ApplyUdpBufferSize(true, bytes);
}

void CTunnel::SetTunnelSendBuffer(uint32_t bytes)
{
    ApplyUdpBufferSize(false, bytes);
}

void CTunnel::ApplyUdpBufferSize(bool receiveSide, uint32_t bytes)
{
    const auto size = static_cast<int32_t>(bytes);
    if (udpTunnelSocket) {
        try {
            if (receiveSide) {
                udpTunnelSocket->SetReceiverBufferLength(size);
            } else {
                udpTunnelSocket->SetSenderBufferLength(size);
            }
        } catch (const base_exception& e) {
            ReportException(e);
            return;  // the TCP socket keeps its size in this call
        }
    }
    if (tcpTunnelSocket) {
        if (receiveSide) {
            tcpTunnelSocket->SetReceiveBufferSize(bytes);
        } else {
            tcpTunnelSocket->SetSendBufferSize(bytes);
        }
    }
}

bool CTunnel::SetRecordFile(const std::string& name)
{
    CZAN_AutoLock guard(&recorder.Lock());
    return recorder.OpenRecording(name);
}

// ---------------------------------------------------------------------------
// Start and stop

void CTunnel::StartReceiver()
{
    CZAN_AutoLock guard(&engineLock);
    if (receiver) {
        return;
    }
    receiverStop.store(false);
    senderStop.store(false);
    tcpHalt.store(false);
    receiver = std::make_unique<TunnelReceiverThread>(this);
    receiver->Start();

    // Sender stacks whose threads ended at the last stop carry their
    // sibling modules' datagrams again.
    CZAN_AutoLock senders(&senderStacksLock);
    for (TunnelSenderThread* sender : senderStacks) {
        sender->Start();
    }
}

void CTunnel::Stop()
{
    CZAN_AutoLock guard(&engineLock);
    senderStop.store(true);
    receiverStop.store(true);
    tcpHalt.store(true);  // a TCP connect of the receiver thread ends at once
    if (receiver) {
        receiver->Stop();
        receiver.reset();
    }
    CZAN_AutoLock recording(&recorder.Lock());
    recorder.Close();
}

// ---------------------------------------------------------------------------
// Reports and state

void CTunnel::ReportError(const std::string& message)
{
    if (ITunnelEvents* sink = events.load(); sink != nullptr) {
        sink->OnError(message.c_str(), static_cast<uint32_t>(E_FAIL));
    }
}

void CTunnel::ReportException(const base_exception& e)
{
    ReportError(EngineErrorReport(e));
}

void CTunnel::CountLocalReads(const CZANSocket::ReadCounts& counts)
{
    stats.KernelDropped(counts.kernelDrops);
    stats.EmptyDatagrams(counts.emptyDatagrams);
}

ISocketStackFactory* CTunnel::StackFactory() const
{
    return stackFactory.get();
}

TunnelStatistics::Snapshot CTunnel::Statistics() const
{
    return stats.Read(recorder.DroppedRecords());
}

PacketEndpoint CTunnel::Destination()
{
    CZAN_AutoLock guard(&senderStacksLock);
    return destination;
}

std::string CTunnel::LastErrorText()
{
    CZAN_AutoLock guard(&lastErrorLock);
    return lastErrorText;
}

size_t CTunnel::ReceivePortCount()
{
    CZAN_AutoLock guard(&receivePortsLock);
    return receivePorts.size();
}

// ---------------------------------------------------------------------------
// Sender path
//
//   TunnelSocketSenderThread (a batch of datagrams) -> SendDatagrams
//   TunnelSenderThread (one datagram) -> SendOrKeepAlive -> SendDatagrams
//     [senderStacksLock held for the whole batch]
//       -> SendChunk: loopback copy of each [portStacksLock, ring lock]
//                     recorder, each        [recorder lock]
//                     tunnel socket: UDP builds all and sends them with
//                     one call; TCP sends frame by frame [its own locks]
//   idle passes, receive loop -> SendOrKeepAlive
//       -> SendKeepAlive when the tunnel was idle for more than 9000 ms

int CTunnel::SendOrKeepAlive(TunnelPacket& packet, bool idle)
{
    if (!idle) {
        return SendDatagrams(std::span(&packet, 1));
    }
    // Most idle passes find nothing due; they are answered without taking
    // the send lock, so receiving and idle threads do not queue behind sends.
    const auto keepAliveDue = [this](int64_t now) {
        // A clock that stands before the last send gives a negative span:
        // never due until it has passed that send by more than 9000 ms.
        return now - lastSendMs.load() > kKeepAliveIdleMs;
    };
    if (!destinationSet.load() || !keepAliveDue(GetTimeMs())) {
        return kRunAgain;
    }

    CZAN_AutoLock guard(&senderStacksLock);
    if (!RefreshDestination()) {
        return kRunAgain;
    }
    const int64_t now = GetTimeMs();
    if (keepAliveDue(now)) {
        SendKeepAlive();
        lastSendMs.store(now);
    }
    return kRunAgain;
}

int CTunnel::SendDatagrams(std::span<TunnelPacket> packets)
{
    CZAN_AutoLock guard(&senderStacksLock);
    if (!RefreshDestination()) {
        return kRunAgain;
    }
    const int64_t now = GetTimeMs();
    // A failed send ends the calling thread when a TCP socket exists, and
    // the packets behind it are not sent: there they go one at a time.
    const size_t chunkSize = tcpTunnelSocket ? 1 : TunnelSocket::kBatchSize;
    while (!packets.empty()) {
        const std::span<TunnelPacket> chunk = packets.first(std::min(packets.size(), chunkSize));
        packets = packets.subspan(chunk.size());
        const SendOutcome outcome = SendChunk(chunk);
        if (outcome.anySent) {
            lastSendMs.store(now);
        }
        if (outcome.anyFailed && tcpTunnelSocket) {
            ReportError(LastErrorText() + " : " + tcpTunnelSocket->LastErrorText());
            return kEndThread;
        }
    }
    return kRunAgain;
}

bool CTunnel::RefreshDestination()
{
    if (udpTunnelSocket) {
        udpTunnelSocket->destination.port = destination.port;
        udpTunnelSocket->destination.address = destination.address;
    }
    return destinationSet.load();
}

void CTunnel::SendKeepAlive()
{
    const auto port = static_cast<uint16_t>(destination.port);
    const uint8_t* payload = TunnelPacketFormat::kKeepAlivePayload;
    if (udpTunnelSocket) {
        StoreSendResult(UdpSendStatus(udpTunnelSocket->Send(payload, 1, port, kKeepAliveKind)));
    }
    if (tcpTunnelSocket) {
        (void)tcpTunnelSocket->Send(payload, 1, port, kKeepAliveKind);
    }
    stats.KeepAliveSent();
}

void CTunnel::StoreSendResult(SendStatus status)
{
    if (status == SendStatus::kSent) {
        return;
    }
    CZAN_AutoLock guard(&lastErrorLock);
    if (status == SendStatus::kCryptoError) {
        lastErrorText = kSendCryptoError;
    } else if (status == SendStatus::kDigestError) {
        lastErrorText = kSendDigestError;
    } else {
        lastErrorText = kSendError;
    }
}

CTunnel::SendOutcome CTunnel::SendChunk(std::span<TunnelPacket> chunk)
{
    SendOutcome outcome;
    if (!udpTunnelSocket && !tcpTunnelSocket) {
        outcome.anyFailed = true;
        return outcome;
    }
    for (const TunnelPacket& packet : chunk) {
        DeliverLoopback(packet);
        if (recorder.GetState() == IVCSaver::State::Recording) {
            CZAN_AutoLock guard(&recorder.Lock());
            recorder.RecordDatagram(packet.endpoint.port, Payload(packet));
        }
    }

    if (udpTunnelSocket) {
        std::array<int32_t, TunnelSocket::kBatchSize> results;
        udpTunnelSocket->SendMany(chunk, results);
        for (size_t i = 0; i < chunk.size(); ++i) {
            const SendStatus status = UdpSendStatus(results[i]);
            StoreSendResult(status);
            CountSend(status, chunk[i].length);
            const bool sent = status == SendStatus::kSent;
            outcome.anySent = outcome.anySent || sent;
            outcome.anyFailed = outcome.anyFailed || !sent;
        }
        return outcome;
    }
    for (const TunnelPacket& packet : chunk) {
        const auto port = static_cast<uint16_t>(packet.endpoint.port);
        CountSend(TcpSendStatus(tcpTunnelSocket->Send(packet.data, packet.length, port, kDataKind)), packet.length);
    }
    outcome.anySent = true;
    return outcome;
}

void CTunnel::CountSend(SendStatus status, uint32_t length)
{
    // A TCP send that found the connection lost and tried to restore it
    // counts as sent: the datagram is not sent again.
    if (status == SendStatus::kSent || status == SendStatus::kConnectionLost) {
        stats.DataSent(length);
    } else {
        stats.SendFailed();
    }
}

void CTunnel::DeliverLoopback(const TunnelPacket& packet)
{
    CZAN_AutoLock guard(&portStacksLock);
    const auto found = portStacks.find(PortStackKey{std::string(), packet.endpoint.port});
    if (found != portStacks.end() && found->second->GetLoopback() && packet.data != nullptr) {
        found->second->Deliver(packet);
    }
}

// ---------------------------------------------------------------------------
// Receiver path
//
//   TunnelReceiverThread -> ReceiveLoop, until receiverStop:
//     UDP: ReceiveBatch (200 ms wait, then the datagrams already waiting)
//          -> for each in order: open -> learn the peer -> Dispatch
//          -> Deliver -> keep-alive check
//     TCP: FillStream (200 ms wait) -> Receive each buffered frame -> Dispatch
//          -> Deliver (also whenever a batch of packets is full)
//   Dispatch: recorder [recorder lock], then port stack [portStacksLock, ring
//   lock] or a place in the batch for deliveryAddress:port. Deliver sends the
//   batch with one call; it runs before any port-stack push, so deliveries
//   keep the order of arrival.

int CTunnel::ReceiveLoop()
{
    ReceivePackets packets;
    try {
        // Each packet of a batch can take the largest datagram.
        for (TunnelPacket& packet : packets) {
            packet.Reserve(TunnelSocket::kReceiveBufferSize);
        }
        if (!udpTunnelSocket && !tcpTunnelSocket) {
            throw exc_ZANTunnel(kLineNotSet, "CTunnel not set.");
        }
        receiving.store(true);
        while (!receiverStop.load()) {
            if (udpTunnelSocket) {
                ReceiveUdp(*udpTunnelSocket, packets);
            } else if (tcpTunnelSocket) {
                ReceiveTcp(*tcpTunnelSocket, packets);
            } else {
                SleepMs(kIdleReceiveSleepMs);
            }
        }
    } catch (const base_exception& e) {
        ReportError(ThreadErrorReport(e));
        StopRecordingAfterFailure();
    } catch (...) {
        StopRecordingAfterFailure();
    }
    receiving.store(false);
    return kEndThread;
}

void CTunnel::ReceiveUdp(TunnelSocket& socket, ReceivePackets& packets)
{
    // The datagrams waiting now are read at once and handled in the order
    // they arrived, each into its own packet.
    LocalDeliveries pending;
    const size_t count = socket.ReceiveBatch();
    for (size_t i = 0; i < count; ++i) {
        TunnelPacket& packet = packets[i];
        (void)socket.OpenReceived(i, packet);
        if (socket.LastOpenResult() == TunnelPacketFormat::OpenResult::kOpened) {
            // Any packet of the peer that opened, a keep-alive too, tells
            // where it is.
            FollowPeer(socket);
            Dispatch(packet, pending);
        }
    }
    Deliver(pending);
    // One check covers the whole batch: it took microseconds, and at most
    // one keep-alive can be due.
    (void)SendOrKeepAlive(packets[0], true);
}

void CTunnel::ReceiveTcp(TCPTunnelSocket& socket, ReceivePackets& packets)
{
    if (!socket.FillStream()) {
        return;
    }
    // A dropped frame does not hide the complete frames behind it: the
    // stream buffer is drained until no complete frame is left. Each frame
    // gets its own packet until a batch is full and delivered.
    LocalDeliveries pending;
    size_t used = 0;
    while (!receiverStop.load()) {
        if (used == packets.size()) {
            Deliver(pending);
            used = 0;
        }
        if (socket.Receive(packets[used])) {
            Dispatch(packets[used++], pending);
        } else if (socket.LastDrop() == TunnelPacketFormat::OpenResult::kNothing) {
            break;
        }
    }
    Deliver(pending);
}

void CTunnel::FollowPeer(const TunnelSocket& socket)
{
    const PacketEndpoint& sender = socket.SenderEndPoint;
    const PeerTracker::Verdict verdict = peer.Observe(sender.address, sender.port, socket.LastSeal(), GetTimeMs());
    if (verdict != PeerTracker::Verdict::kLearned && verdict != PeerTracker::Verdict::kMoved) {
        return;
    }
    std::string from;
    {
        CZAN_AutoLock guard(&senderStacksLock);
        from = destination.address + ":" + std::to_string(destination.port);
        destination.port = sender.port;
        destination.address = sender.address;
        destinationSet.store(true);
    }
    if (verdict == PeerTracker::Verdict::kMoved) {
        stats.PeerChanged();
        if (ITunnelEvents* sink = events.load(); sink != nullptr) {
            const std::string to = sender.address + ":" + std::to_string(sender.port);
            sink->OnPeerChanged(from.c_str(), to.c_str());
        }
    }
}

void CTunnel::Dispatch(const TunnelPacket& packet, LocalDeliveries& pending)
{
    if (packet.kind != TunnelPacket::kDataKind) {
        stats.KeepAliveReceived();
        return;
    }
    stats.DataReceived(packet.length);
    if (recorder.GetState() == IVCSaver::State::Recording) {
        CZAN_AutoLock guard(&recorder.Lock());
        recorder.RecordDatagram(packet.endpoint.port, Payload(packet));
    }

    {
        CZAN_AutoLock guard(&portStacksLock);
        const auto found = portStacks.find(PortStackKey{std::string(), packet.endpoint.port});
        if (found != portStacks.end()) {
            // The datagrams before this one leave first: every delivery
            // keeps the order of arrival.
            Deliver(pending);
            if (packet.data != nullptr) {
                found->second->Deliver(packet);
            }
            return;
        }
    }
    if (pending.count == pending.datagrams.size()) {
        Deliver(pending);
    }
    pending.datagrams[pending.count++] = CNetworkSocket::Outgoing{packet.data, packet.length, packet.endpoint.port};
}

void CTunnel::Deliver(LocalDeliveries& pending)
{
    if (pending.count == 0) {
        return;
    }
    std::string address;
    {
        CZAN_AutoLock guard(&configLock);
        address = deliveryAddress;
    }
    // The results are not examined: a payload that cannot be delivered is lost.
    std::array<int32_t, TunnelSocket::kBatchSize> results;
    (void)localSocket->Socket().SendBatch(address.c_str(), std::span(pending.datagrams.data(), pending.count),
                                          results);
    pending.count = 0;
}

void CTunnel::StopRecordingAfterFailure()
{
    CZAN_AutoLock guard(&recorder.Lock());
    recorder.Close();
}

// ---------------------------------------------------------------------------
// Socket-stack registry

ISocketStack* CTunnel::CreatePortStack(uint32_t port)
{
    if (port == 0) {
        return CreateSenderStack();
    }
    CZAN_AutoLock guard(&portStacksLock);
    TunnelStack*& stack = portStacks[PortStackKey{std::string(), port}];
    if (stack == nullptr) {
        stack = new TunnelStack(&stats);
    }
    return stack;
}

ISocketStack* CTunnel::CreateSenderStack()
{
    CZAN_AutoLock guard(&senderStacksLock);
    auto* sender = new TunnelSenderThread(this, &stats);
    sender->Start();
    senderStacks.push_back(sender);
    return static_cast<TunnelStack*>(sender);
}

bool CTunnel::ReleaseStack(ISocketStack* stack)
{
    if (stack == nullptr) {
        return true;
    }
    {
        CZAN_AutoLock guard(&portStacksLock);
        for (auto entry = portStacks.begin(); entry != portStacks.end(); ++entry) {
            if (static_cast<ISocketStack*>(entry->second) == stack) {
                delete entry->second;
                portStacks.erase(entry);
                return true;
            }
        }
    }
    // The sender stack leaves the registry first, so a second release of the
    // same pointer finds nothing; its thread is stopped without the send
    // lock, which the thread takes for each of its sends.
    TunnelSenderThread* found = nullptr;
    {
        CZAN_AutoLock guard(&senderStacksLock);
        for (auto entry = senderStacks.begin(); entry != senderStacks.end(); ++entry) {
            if (static_cast<ISocketStack*>(static_cast<TunnelStack*>(*entry)) == stack) {
                found = *entry;
                senderStacks.erase(entry);
                break;
            }
        }
    }
    if (found == nullptr) {
        return false;
    }
    found->Stop();
    delete found;
    return true;
}

} // namespace zan
