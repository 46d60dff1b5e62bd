#pragma once

#include "CMediaThread.h"
#include "CZANSocket.h"
#include "ISocketStackFactory.h"
#include "ITunnelEvents.h"
#include "IVCSaver.h"
#include "PacketEndpoint.h"
#include "PeerTracker.h"
#include "SendStatus.h"
#include "TunnelPacket.h"
#include "TunnelSocket.h"
#include "TunnelStatistics.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <utility>

namespace zan {

class TCPTunnelSocket;
class TunnelReceiverThread;
class TunnelSenderThread;
class TunnelSocketSenderThread;
class TunnelStack;
class TunnelStackFactory;
class base_exception;

// The tunnel engine: the tunnel socket towards the peer (UDP or TCP), the
// local delivery socket, the threads that move datagrams, the socket-stack
// registry for sibling modules and the recorder.
//
//   local UDP port --TunnelSocketSenderThread--+
//   sender stack ----TunnelSenderThread--------+--> SendOrKeepAlive --> tunnel socket --> peer
//                                                   (senderStacks lock held: one packet at a time)
//   peer --> tunnel socket --TunnelReceiverThread: ReceiveLoop --> Dispatch --> port stack
//                                                                          \--> localSocket --> deliveryAddress:port
//
// The owner (the control) configures and starts the engine on its own
// thread: SetUdpTunnel or SetTcpTunnel, AddReceivePort, AddKey, the buffer
// setters, StartReceiver; Stop may follow at any time and the same
// sequence starts it again. Receive-port threads live until destruction.
//
// Lock order on the send side: senderStacks, then portStacks (and a ring's
// lock inside it), then the recorder's, then the tunnel socket's own locks.
// The receive side releases the recorder's lock before portStacks.
class CTunnel {
public:
    static constexpr uint32_t kSocketBufferSize = 2000000;
    static constexpr int64_t kKeepAliveIdleMs = 9000;
    // What the engine's thread passes return: end the thread, or run again.
    static constexpr int kEndThread = CMediaThread::kEndThread;
    static constexpr int kRunAgain = 0;

    CTunnel();
    virtual ~CTunnel();

    CTunnel(const CTunnel&) = delete;
    CTunnel& operator=(const CTunnel&) = delete;

    // The numeric address a host name resolves to, empty when it does not:
    // hosts resolve names (a proxy's, say) the way the engine's sockets do.
    [[nodiscard]] static std::string ResolveHostName(const std::string& host);

    // --- Configuration, on the owner's thread.
    void SetEvents(ITunnelEvents* sink) { events.store(sink, std::memory_order_release); }
    // Copies the tag into the engine and into its existing tunnel sockets.
    void SetSourceTag(int64_t tag);
    void SetDeliveryAddress(const std::string& address);
    void SetSenderNic(const std::string& nic);
    void SetReceiverNic(const std::string& nic);

    // Throw exc_ZANTunnel or exc_ZANSocket. Without a destination the UDP
    // tunnel listens on receiverNic:destinationPort and learns its peer.
    void SetUdpTunnel(const char* destinationAddress, const char* receiveGroup, uint16_t destinationPort,
                      uint32_t cryptoType, const char* cryptoKey, uint16_t localPort);
    void SetTcpTunnel(const char* destinationAddress, uint16_t destinationPort, uint32_t cryptoType,
                      const char* cryptoKey, const char* proxyHost, uint16_t proxyPort, const char* proxyUser,
                      const char* proxyPassword);
    void AddReceivePort(uint16_t port, const char* address);
    void AddKey(uint32_t id, const uint8_t* key, int keyLength, const uint8_t* salt, int saltLength,
                uint32_t rekeyPeriod);
    // TCP reconnection: 0 (the default) tries until the tunnel is stopped;
    // n gives up after n failed tries in a row. Datagrams queued while the
    // connection is down are sent once it is back only if they waited less
    // than the age limit (1500 ms by default, half a second more than the
    // pause before the first retry). Both take effect at the next
    // SetTcpTunnel.
    void SetTcpReconnectLimit(uint32_t tries) { tcpReconnectLimit.store(tries); }
    void SetTcpQueueAgeLimit(int64_t ms) { tcpQueueAgeLimitMs.store(ms); }
    void SetTunnelReceiveBuffer(uint32_t bytes);
    void SetTunnelSendBuffer(uint32_t bytes);
    bool SetRecordFile(const std::string& name);

    void StartReceiver();
    void Stop();

    // --- Reading state.
    // The factory handed to sibling modules; valid as long as the engine.
    ISocketStackFactory* StackFactory() const;
    IVCSaver& Recorder() { return recorder; }
    TunnelStatistics::Snapshot Statistics() const;
    bool IsReceiving() const { return receiving.load(std::memory_order_acquire); }
    bool IsDestinationSet() const { return destinationSet.load(std::memory_order_acquire); }
    PacketEndpoint Destination();
    std::string LastErrorText();
    size_t ReceivePortCount();

    // --- Called by the engine's threads.
    // Sends `packet` into the tunnel, or (idle) a keep-alive when due.
    // Returns kEndThread when the calling thread must end, else 0.
    int SendOrKeepAlive(TunnelPacket& packet, bool idle);
    // Sends the datagrams in order, under one hold of the send lock; the
    // same as SendOrKeepAlive(packet, false) for each of them in turn.
    int SendDatagrams(std::span<TunnelPacket> packets);
    // One whole run of the receive loop; returns kEndThread.
    int ReceiveLoop();
    bool SenderStopRequested() const { return senderStop.load(std::memory_order_acquire); }
    // The engine error report of a caught exception, to the owner.
    void ReportError(const std::string& message);
    void ReportException(const base_exception& e);
    // A receive-port thread's read counts (system drops, empty datagrams).
    void CountLocalReads(const CZANSocket::ReadCounts& counts);

    // --- The socket-stack registry, behind the factory.
    ISocketStack* CreatePortStack(uint32_t port);
    ISocketStack* CreateSenderStack();
    bool ReleaseStack(ISocketStack* stack);

private:
    using PortStackKey = std::pair<std::string, uint32_t>;

    struct SendOutcome {
        bool anySent = false;
        bool anyFailed = false;
    };
    // Call with senderStacksLock held. Copies the destination into the UDP
    // socket; false when there is no destination yet.
    bool RefreshDestination();
    // Call with senderStacksLock held: loopback copies and recording of
    // each packet, then the sends (at most TunnelSocket::kBatchSize).
    SendOutcome SendChunk(std::span<TunnelPacket> chunk);
    void CountSend(SendStatus status, uint32_t length);
    void SendKeepAlive();
    void StoreSendResult(SendStatus status);
    void DeliverLoopback(const TunnelPacket& packet);

    // The receive loop's packets: one per datagram of a batch, so that the
    // local deliveries of a whole batch leave with one call.
    using ReceivePackets = std::array<TunnelPacket, TunnelSocket::kBatchSize>;
    // Payloads for local delivery, pointing into those packets.
    struct LocalDeliveries {
        std::array<CNetworkSocket::Outgoing, TunnelSocket::kBatchSize> datagrams;
        size_t count = 0;
    };
    // Delivers to a port stack at once, or adds to `pending` for delivery
    // through localSocket.
    void Dispatch(const TunnelPacket& packet, LocalDeliveries& pending);
    void Deliver(LocalDeliveries& pending);
    void ReceiveUdp(TunnelSocket& socket, ReceivePackets& packets);
    void ReceiveTcp(TCPTunnelSocket& socket, ReceivePackets& packets);
    // Learns or follows the peer from the sender of an opened packet.
    void FollowPeer(const TunnelSocket& socket);
    // Call with engineLock held: the set-up is refused from the moment the
    // receiver thread exists until Stop has ended it.
    void RefuseSetUpWhileStarted(int32_t line);
    // Reports `report`, when not empty, as it goes out of scope.
    struct ReportWhenDone {
        CTunnel& engine;
        const std::string& report;
        ~ReportWhenDone();
    };
    void StopRecordingAfterFailure();
    void SetUpCrypto(class TunnelCrypto& crypto, uint32_t cryptoType, const char* cryptoKey);
    void ApplyUdpBufferSize(bool receiveSide, uint32_t bytes);
    void DestroyStacks();

    std::mutex lastErrorLock;  // guards: lastErrorText
    std::string lastErrorText;
    // guards: receiver (creation and removal); held through SetUdpTunnel
    // and the tunnel socket swap of SetTcpTunnel, so a set-up never overlaps
    // the start of the receive loop
    std::mutex engineLock;
    std::atomic<int64_t> sourceTag{0};
    std::atomic<bool> receiving{false};
    std::mutex configLock;  // guards: senderNic, receiverNic, deliveryAddress, receiveAddress
    std::string senderNic = "0.0.0.0";
    std::string receiverNic = "0.0.0.0";
    std::unique_ptr<CZANSocket> localSocket;
    // The tunnel sockets are replaced only with senderStacksLock held, and
    // read by the sending threads under it; the receiver thread reads them
    // while it runs, when no set-up may replace them.
    std::unique_ptr<TunnelSocket> udpTunnelSocket;
    std::mutex receivePortsLock;  // guards: receivePorts
    std::map<std::string, std::unique_ptr<TunnelSocketSenderThread>> receivePorts;
    std::mutex portStacksLock;  // guards: portStacks
    std::map<PortStackKey, TunnelStack*> portStacks;
    // guards: senderStacks, destination, the tunnel socket pointers, and
    // serialises every send into the tunnel
    std::mutex senderStacksLock;
    std::list<TunnelSenderThread*> senderStacks;
    std::unique_ptr<TunnelStackFactory> stackFactory;
    std::unique_ptr<TCPTunnelSocket> tcpTunnelSocket;
    // Raised by Stop: a TCP connect under way ends at once and the receiver
    // thread makes no further try until StartReceiver lowers it.
    std::atomic<bool> tcpHalt{false};
    std::atomic<uint32_t> tcpReconnectLimit{0};
    std::atomic<int64_t> tcpQueueAgeLimitMs;  // TCPTunnelSocket's default until set
    std::string tcpDestination;
    uint16_t tcpDestinationPort = 443;
    IVCSaver recorder;
    std::atomic<bool> receiverStop{false};
    std::unique_ptr<TunnelReceiverThread> receiver;
    std::atomic<bool> senderStop{false};
    std::atomic<int64_t> lastSendMs;
    std::atomic<bool> destinationSet{false};
    PacketEndpoint destination;
    // The receive loop's (reset by the UDP set-up before the loop exists).
    PeerTracker peer;
    std::string deliveryAddress = "127.0.0.1";
    std::string receiveAddress;
    std::atomic<ITunnelEvents*> events{nullptr};
    TunnelStatistics stats;
};

} // namespace zan
