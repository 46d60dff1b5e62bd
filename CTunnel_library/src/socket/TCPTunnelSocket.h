#pragma once

#include "CNetworkSocket.h"
#include "CSyncEvent.h"
#include "CZAN_DynamicBuffer.h"
#include "ITunnelEvents.h"
#include "SendStatus.h"
#include "TcpConnectionState.h"
#include "TcpFrameDeframer.h"
#include "TunnelCrypto.h"
#include "TunnelPacket.h"
#include "TunnelPacketFormat.h"
#include "WriterPreferringMutex.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace zan {

class TunnelStatistics;

// The TCP tunnel socket: one outgoing TCP connection to the tunnel peer
// (directly or through an HTTP proxy), carrying tunnel packets as frames
// with a 2-byte little-endian length prefix.
//
//   sending threads (engine send lock held)
//     Send -> BuildFrame -> SendAll --(connection lost)--> Reconnect
//   receiver thread
//     FillStream --(read failure)--> OnDisconnected, Reconnect
//     Receive    -> TakeFrame -> OpenPacket
//
// Every new connection starts with the greeting byte (2 once the engine set
// it) before the first frame. A lost connection is re-established at most
// 5 times in a row, 1000 ms apart after each failure; a success resets the
// count. A read-side and a write-side reconnection never run at the same
// time, and no transfer overlaps the closing and reopening of the sockets.
// A connection that was made through a proxy is re-made through the same
// proxy. A frame with a negative length prefix closes the connection; it is
// then re-made like a lost one.
//
// The connection's state (TcpConnectionState) changes only through MoveTo,
// with the connection lock held exclusively; MoveTo refuses a transition
// the state diagram does not allow.
//
// Connections and losses. Every PrepareSocket starts a new connection
// "generation". A thread whose transfer fails on a connection hands that
// connection's generation to the loss handling, which runs under the
// connection lock held exclusively: when the generation is no longer the
// current one, another thread has already dealt with the loss and nothing
// more happens, so one loss seen by both sides gives one OnDisconnected and
// one reconnection. OnDisconnected is reported once per lost established
// connection, not for each failed attempt that follows it.
//
// Locks, in the order they are taken (a lock further down is never held
// while one further up is taken):
//   sendLock         Send and SendAll of the sending threads
//   connectionLock   shared around each transfer; exclusive around closing,
//                    reopening and connecting the sockets (PrepareSocket,
//                    Connect, the loss handling, the close after a stream
//                    error). Writer-preferring, and never taken twice by
//                    one thread: code that runs under it exclusively writes
//                    through WriteAll with the lock marked as held.
//   streamLock       the stream buffer
//   then, each taken alone: the TunnelCrypto locks, settingsLock,
//   errorLock (the error report calls ITunnelEvents::OnError under it).
// The ITunnelEvents sink is called with connectionLock held (OnConnected,
// OnDisconnected, and OnError from a connect), so it must not call back
// into this socket.
//
// A connection through a proxy opens the TCP connection to the proxy and
// runs the proxy's CONNECT exchange on it (ProxyExchange), with the
// connection lock held exclusively; its reads wait in short slices, so
// Shutdown ends it within one slice.
class TCPTunnelSocket : public TunnelCrypto {
public:
    static constexpr uint32_t kDefaultBufferSize = 2000000;
    static constexpr uint32_t kMaxReconnectAttempts = 5;
    static constexpr int64_t kReconnectPauseMs = 1000;
    static constexpr uint32_t kMaxSendFailures = 100;
    static constexpr int64_t kReadWaitMs = 200;
    // The longest a connect may take before it is given up.
    static constexpr int64_t kConnectLimitMs = 30000;
    // SendAll results besides the byte count.
    static constexpr int32_t kConnectionLost = kTcpConnectionLost;
    static constexpr int32_t kGaveUp = kTcpGaveUp;

    // `events` and `stats` may be null; neither is owned.
    explicit TCPTunnelSocket(ITunnelEvents* events, TunnelStatistics* stats = nullptr);
    ~TCPTunnelSocket() override;

    // --- Connection set-up (the engine's thread).
    // Stores the proxy; the user text splits into domain and user at the
    // first '\' (else the first '+'); without either the whole text is the
    // user and the domain stays as it was. Null user or password texts are
    // skipped. Every later connection goes through this proxy.
    void SetProxy(const char* host, uint16_t port, const char* user, const char* password);
    void SetReceiveBufferSize(uint32_t bytes);  // 0 means kDefaultBufferSize
    void SetSendBufferSize(uint32_t bytes);
    void SetGreetingByte(uint8_t greeting);
    // Closes and reopens the stream sockets with their buffer sizes and
    // empties the stream buffer; an established connection counts as lost.
    // The host is not used.
    bool PrepareSocket(const char* host);
    // Connects directly (resolving `host`) or through the proxy, writes the
    // greeting byte and calls OnConnected. Failures are reported through
    // OnError with the messages of the connection and return false. The
    // connect waits in slices of at most 50 ms, running the thread's wait
    // pump between them, and gives up after kConnectLimitMs or at Shutdown.
    bool Connect(const char* host, uint16_t port);
    // Writes the whole buffer: its length; kConnectionLost when the
    // connection was found lost and a reconnection was tried (or another
    // thread re-made the connection while this buffer was partly written:
    // the rest is not sent on the new connection); kGaveUp after more than
    // 100 failures in a row, after 5 failed reconnections, or at Shutdown.
    int32_t SendAll(const uint8_t* data, uint32_t length);

    // --- Packet I/O.
    // Builds a frame of the configured format and writes it: >= 0 when the
    // frame went out or a reconnection was tried, negative on failure (-1
    // for a packet that cannot be framed, such as one above 32767 bytes;
    // -2 and -3 from the build; kGaveUp).
    int32_t Send(const uint8_t* payload, uint32_t length, uint16_t port, uint8_t kind);
    // Reads what the connection has (waiting up to 200 ms) into the stream
    // buffer; true when bytes were added. Handles a lost connection. Without
    // a usable connection it waits up to 200 ms (less after Shutdown) and
    // returns false, so a caller's loop does not spin.
    bool FillStream();
    // Opens the next buffered frame into `packet`; false when no complete
    // frame is buffered (LastDrop() is then kNothing) or the frame was
    // dropped (LastDrop() tells why). Zero-length frames are skipped.
    bool Receive(TunnelPacket& packet);
    TunnelPacketFormat::OpenResult LastDrop() const { return lastDrop; }

    // Wakes a reader blocked in FillStream, ends a connect or a pause
    // between reconnections, and fails later transfers, so the owner can
    // stop its threads promptly before destroying the socket. Final.
    void Shutdown();

    // Test seam: the pause after a failed reconnection (kReconnectPauseMs).
    void SetReconnectPause(int64_t ms) { reconnectPauseMs.store(ms, std::memory_order_relaxed); }

    std::string LastErrorText() const;
    bool IsConnected() const { return State() == TcpConnectionState::kEstablished; }
    TcpConnectionState State() const { return state.load(std::memory_order_acquire); }
    std::string DestinationHost() const;
    uint16_t DestinationPort() const { return destinationPort.load(std::memory_order_relaxed); }
    uint32_t ReconnectAttempts() const { return reconnectAttempts.load(std::memory_order_relaxed); }
    std::string ProxyDomain() const;
    std::string ProxyUser() const;

private:
    // What the loss handling did.
    enum class LossOutcome {
        kNotReconnecting,  // never connected: losses are not re-made
        kHandled,          // reconnected, tried, or another thread dealt with it
        kGaveUp,           // 5 failed attempts in a row, or Shutdown
    };

    // The connection lock is held exclusively by the caller of each *Locked
    // and of MoveTo.
    bool PrepareSocketLocked();
    // One connect from the settled state it finds; a failure returns to
    // kClosed when no connection was ever made, else to kReconnecting.
    bool ConnectLocked(const std::string& host, uint16_t port);
    // Changes the state; a transition the diagram does not allow is a
    // fault of this class and ends the process.
    void MoveTo(TcpConnectionState next);
    bool ConnectDirect(const std::string& host, uint16_t port);
    bool ConnectThroughProxy(const std::string& host);
    // The proxy's CONNECT exchange on the open connection to the proxy;
    // bytes that followed the proxy's last reply start the stream.
    bool RunProxyExchange();
    // The exchange's view of this socket (TCPTunnelSocket.cpp).
    class ProxyLink;
    // After a successful connect: greeting byte, OnConnected, flags.
    void Established(const std::string& host, uint16_t port);

    // SendAll's loop; `lockHeld` when the caller holds connectionLock
    // exclusively (a connect writing its greeting byte or proxy request):
    // no lock is taken then and a loss is not handled.
    int32_t WriteAll(const uint8_t* data, uint32_t length, bool lockHeld);
    // Whether a transfer result means its connection is lost, given the
    // state seen with the transfer (under the same shared hold of the lock).
    static bool IsLoss(int32_t result, TcpConnectionState seenState);
    // The loss of connection `seen`, found by a transfer; no lock held.
    LossOutcome HandleLoss(uint64_t seen);
    // A negative frame length: report, then close connection `seen`.
    void StreamError(uint64_t seen);
    // Waits up to `ms`, ending early at Shutdown.
    void Pause(int64_t ms);

    // Error report: sets the last error text and calls OnError with it.
    void ReportError(const std::string& message);

    ITunnelEvents* const events;
    TunnelStatistics* const stats;

    // guards: outputBuffer; serialises Send and SendAll of the sending threads
    std::mutex sendLock;
    CZAN_DynamicBuffer outputBuffer;

    // guards: the sockets of `network` against Open/Close during transfers,
    // `generation` and `state` (written exclusively, read shared)
    WriterPreferringMutex connectionLock;
    CNetworkSocket network;
    std::atomic<uint64_t> generation{0};  // bumped by every PrepareSocket
    // The state of the connection of `generation`.
    std::atomic<TcpConnectionState> state{TcpConnectionState::kClosed};

    // guards: deframer
    std::mutex streamLock;
    TcpFrameDeframer deframer;
    // The frame taken out of the stream buffer: receiver thread only.
    CZAN_DynamicBuffer frameBuffer;

    // guards: destinationHost, proxySet, proxyHost, proxyPort, proxyUser,
    // proxyPassword, proxyDomain
    mutable std::mutex settingsLock;
    std::string destinationHost;
    bool proxySet = false;  // SetProxy was called: every connection goes through the proxy
    std::string proxyHost;
    uint16_t proxyPort = 0;
    std::string proxyUser;
    std::string proxyPassword;
    std::string proxyDomain;

    // guards: lastErrorText
    mutable std::mutex errorLock;
    std::string lastErrorText;

    std::atomic<uint32_t> receiveBufferSize{kDefaultBufferSize};
    std::atomic<uint32_t> sendBufferSize{kDefaultBufferSize};
    std::atomic<uint8_t> greetingByte{0};
    std::atomic<uint32_t> sendFailures{0};
    std::atomic<int64_t> reconnectPauseMs{kReconnectPauseMs};
    // Set by Shutdown: the cancel signal of a connect under way and of
    // every later transfer (a request, not a state of the connection).
    std::atomic<bool> stopping{false};
    CSyncEvent stopEvent{false, true};

    std::atomic<uint16_t> destinationPort{0};
    std::atomic<uint32_t> reconnectAttempts{0};
    TunnelPacketFormat::OpenResult lastDrop = TunnelPacketFormat::OpenResult::kNothing;
};

} // namespace zan
