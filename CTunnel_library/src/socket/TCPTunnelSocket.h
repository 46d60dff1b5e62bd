#pragma once

#include "CNetworkSocket.h"
#include "CSyncEvent.h"
#include "CZAN_DynamicBuffer.h"
#include "ITunnelEvents.h"
#include "ReportThrottle.h"
#include "SendStatus.h"
#include "TcpConnectionState.h"
#include "TcpFrameDeframer.h"
#include "TunnelCrypto.h"
#include "TunnelPacket.h"
#include "TunnelPacketFormat.h"
#include "WriterPreferringMutex.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace zan {

class TunnelStatistics;

// The TCP tunnel socket: one outgoing TCP connection to the tunnel peer
// (directly or through an HTTP proxy), carrying tunnel packets as frames
// with a 2-byte little-endian length prefix.
//
//   sending threads (engine send lock held)
//     Send -> BuildFrame -> connection up: WriteAll
//                           connection down: queue the frame (time-stamped)
//     a write that finds the connection gone marks it lost and returns
//   receiver thread
//     FillStream -> connection up: read into the stream buffer
//                   connection lost: OnDisconnected once, then reconnect:
//                   attempts on a schedule, each bounded; after a success
//                   the queued frames younger than the age limit go out
//     Receive    -> TakeFrame -> OpenPacket
//
// Reconnection. Only the reading thread (FillStream) reconnects; writers
// never wait for a connection. After a loss (or a failed first connect)
// the tries come 1000 ms apart for the first five, then with a back-off
// that starts at 1 s and doubles up to 30 s, each pause varied by up to
// +-20 % so that many clients do not retry in step. A connection that ends
// within 1 s of being made counts as a failed try, so a far end that
// accepts and closes at once is not hammered. By default this goes on until
// the socket is shut down; SetReconnectLimit(n) gives up after n failed
// tries in a row instead. One OnDisconnected is reported when the
// connection is lost and one OnConnected when it is back, however many
// tries it took; failed tries report their connect failure through OnError,
// at most once a minute for the same text. Every connect attempt is bounded
// (kConnectLimitMs) and ends at once at Shutdown or when the halt signal
// of the owner (SetHaltSignal) is raised.
//
// Every new connection starts with the greeting byte (2 once the engine set
// it) before the first frame. A connection that was made through a proxy
// is re-made through the same proxy. A frame with a negative length prefix
// closes the connection; it is then re-made like a lost one.
//
// The connection's state (TcpConnectionState) changes only through MoveTo,
// with the connection lock held exclusively; MoveTo refuses a transition
// the state diagram does not allow. Every PrepareSocket starts a new
// connection "generation": a transfer that fails names the generation it
// used, so a loss seen by a reader and a writer at once is handled once.
//
// Locks, in the order they are taken (a lock further down is never held
// while one further up is taken):
//   sendLock         Send and the flush of the queued frames
//   connectionLock   shared around each transfer; exclusive around closing,
//                    reopening and connecting the sockets and around every
//                    change of state. Writer-preferring, and never taken
//                    twice by one thread: code that runs under it
//                    exclusively writes through WriteAll with the lock
//                    marked as held.
//   streamLock       the stream buffer
//   then, each taken alone: the TunnelCrypto locks, settingsLock,
//   errorLock, outboxLock.
// The ITunnelEvents sink is called with none of these locks held: events
// found under the connection lock wait in an outbox that is emptied, in
// order, once the lock is released. The sink must not call back into this
// socket.
//
// A connection through a proxy opens the TCP connection to the proxy and
// runs the proxy's CONNECT exchange on it (ProxyExchange), with the
// connection lock held exclusively; its reads wait in short slices, so
// Shutdown and the owner's halt end it within one slice.
class TCPTunnelSocket : public TunnelCrypto {
public:
    static constexpr uint32_t kDefaultBufferSize = 2000000;
    // Tries 1000 ms apart before the back-off starts; also the limit of the
    // old behaviour that gave up after them.
    static constexpr uint32_t kSteadyTries = 5;
    static constexpr int64_t kReconnectPauseMs = 1000;
    static constexpr int64_t kBackOffCapMs = 30000;
    static constexpr int kJitterPercent = 20;
    // A connection lost sooner than this after it was made was a failed try.
    static constexpr int64_t kShortLivedMs = 1000;
    static constexpr uint32_t kMaxSendFailures = 100;
    static constexpr int64_t kReadWaitMs = 200;
    // The longest a connect may take before it is given up.
    static constexpr int64_t kConnectLimitMs = 5000;
    // A re-made direct connection must stay open this long before it
    // counts as made. A relay that is being killed or restarted still
    // completes connects on its dying listener and resets them a moment
    // later; frames written into such a connection would be lost.
    static constexpr int64_t kSettleMs = 100;
    // Frames queued while the connection is down are sent once it is back
    // only if they waited less than this (SetQueueAgeLimit). Longer than
    // the pause before the first retry: a frame queued as the connection
    // broke has waited that pause by the time a short outage is over, and
    // must still go.
    static constexpr int64_t kDefaultQueueAgeLimitMs = kReconnectPauseMs + 500;
    // The most frame bytes queued while the connection is down; beyond it
    // the oldest are dropped as stale.
    static constexpr size_t kMaxQueuedBytes = size_t{4} << 20;
    // SendAll results besides the byte count.
    static constexpr int32_t kConnectionLost = kTcpConnectionLost;
    static constexpr int32_t kGaveUp = kTcpGaveUp;

    // Gives a number in [0, 1); the pause of a back-off step is varied with it.
    using JitterSource = std::function<double()>;

    // `events` and `stats` may be null; neither is owned.
    explicit TCPTunnelSocket(ITunnelEvents* events, TunnelStatistics* stats = nullptr);
    ~TCPTunnelSocket() override;

    // --- Connection set-up (the engine's thread), before Connect.
    // Stores the proxy; the user text splits into domain and user at the
    // first '\' (else the first '+'); without either the whole text is the
    // user and the domain stays as it was. Null user or password texts are
    // skipped. Every later connection goes through this proxy.
    void SetProxy(const char* host, uint16_t port, const char* user, const char* password);
    void SetReceiveBufferSize(uint32_t bytes);  // 0 means kDefaultBufferSize
    void SetSendBufferSize(uint32_t bytes);
    void SetGreetingByte(uint8_t greeting);
    // 0 (the default): reconnect until shut down; n: give up after n failed
    // tries in a row.
    void SetReconnectLimit(uint32_t tries) { reconnectLimit.store(tries); }
    void SetQueueAgeLimit(int64_t ms) { queueAgeLimitMs.store(ms); }
    // While `*halt` is true (the owner is stopping) a connect under way ends
    // at once and no new attempt starts. Not owned; may be null.
    void SetHaltSignal(const std::atomic<bool>* halt) { haltSignal.store(halt); }
    // Test seam: the jitter of the back-off (default: a seeded generator).
    void SetJitterSource(JitterSource source);

    // Closes and reopens the stream sockets with their buffer sizes and
    // empties the stream buffer; an established connection counts as lost.
    // The host is not used.
    bool PrepareSocket(const char* host);
    // Connects directly (resolving `host`) or through the proxy, writes the
    // greeting byte and calls OnConnected. Failures are reported through
    // OnError with the messages of the connection and return false; the
    // reading side then tries again on the reconnection schedule. The
    // connect waits in slices of at most 50 ms, running the thread's wait
    // pump between them, and gives up after kConnectLimitMs, at Shutdown or
    // at the halt signal.
    bool Connect(const char* host, uint16_t port);
    // Writes the whole buffer: its length; kConnectionLost when the
    // connection is down (or was found lost under this buffer, or another
    // thread re-made the connection while it was partly written: the rest
    // is not sent on the new connection); kGaveUp after more than 100
    // failures in a row, when no connection was ever tried, once the
    // reconnection gave up, or at Shutdown.
    int32_t SendAll(const uint8_t* data, uint32_t length);

    // --- Packet I/O.
    // Builds a frame of the configured format and writes it, or queues it
    // while the connection is down (a keep-alive is not queued): >= 0 when
    // the frame went out, was queued or was lost with the connection;
    // negative on failure (-1 for a packet that cannot be framed, such as
    // one above 32767 bytes; -2 and -3 from the build; kGaveUp).
    int32_t Send(const uint8_t* payload, uint32_t length, uint16_t port, uint8_t kind);
    // Reads what the connection has (waiting up to 200 ms) into the stream
    // buffer; true when bytes were added. Without a usable connection it
    // runs the reconnection when a try is due, else waits until one is due
    // (at most 200 ms, less after Shutdown), and returns false, so a
    // caller's loop does not spin.
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

    std::string LastErrorText() const;
    bool IsConnected() const { return State() == TcpConnectionState::kEstablished; }
    TcpConnectionState State() const { return state.load(std::memory_order_acquire); }
    // Whether frames handed to Send can still reach the peer: a connection
    // is up or will be tried again.
    bool WillCarry() const;
    std::string DestinationHost() const;
    uint16_t DestinationPort() const { return destinationPort.load(std::memory_order_relaxed); }
    // Failed tries in a row since the connection was last up for good.
    uint32_t ReconnectAttempts() const { return reconnectAttempts.load(std::memory_order_relaxed); }
    std::string ProxyDomain() const;
    std::string ProxyUser() const;

private:
    struct QueuedFrame {
        int64_t queuedAtMs;
        std::vector<uint8_t> bytes;
    };
    struct Event {
        enum class Kind { kConnected, kDisconnected, kError } kind;
        std::string text;
        uint32_t value;
    };

    // The connection lock is held exclusively by the caller of each *Locked
    // and of MoveTo.
    bool PrepareSocketLocked();
    // One connect; a failure counts as a failed try (kReconnecting with the
    // next try scheduled, or kGivenUp at the limit), except one broken off
    // by the halt signal, which is tried again as soon as it is lowered.
    bool ConnectLocked(const std::string& host, uint16_t port);
    bool ConnectDirect(const std::string& host, uint16_t port, bool again);
    // True when the new connection stays open for kSettleMs; false when the
    // far end closes or resets it, or when a stop or halt comes first.
    bool Settled();
    void ReportConnectFailed(const std::string& address, uint16_t port, int32_t result);
    bool ConnectThroughProxy(const std::string& host);
    // The proxy's CONNECT exchange on the open connection to the proxy;
    // bytes that followed the proxy's last reply start the stream.
    bool RunProxyExchange();
    // The exchange's view of this socket (TCPTunnelSocket.cpp).
    class ProxyLink;
    // After a successful connect: greeting byte, OnConnected, state.
    void Established(const std::string& host, uint16_t port);
    // Changes the state; a transition the diagram does not allow is a
    // fault of this class and ends the process.
    void MoveTo(TcpConnectionState next);
    // A failed try: counts it, and gives up or schedules the next one.
    void TryFailedLocked(int64_t nowMs);
    // The pause after `failures` failed tries in a row.
    int64_t PauseAfter(uint32_t failures);

    // SendAll's loop; `lockHeld` when the caller holds connectionLock
    // exclusively (a connect writing its greeting byte or proxy request):
    // no lock is taken then and a loss is not handled.
    int32_t WriteAll(const uint8_t* data, uint32_t length, bool lockHeld);
    // Connection `seen` failed a transfer: wake the other side's transfer
    // on it and mark it lost (once).
    void MarkLost(uint64_t seen);
    // A negative frame length: report, then close connection `seen`.
    void StreamError(uint64_t seen);
    // The reading side's part in a connection that is down: report the
    // loss, make a try when one is due, else wait for it (at most 200 ms).
    void DriveReconnection();
    // Sends the queued frames that are young enough, in order, and drops
    // the rest as stale. Takes sendLock.
    void FlushQueue();
    void FlushQueueLocked();  // sendLock held
    // Queues a frame while the connection is down; sendLock held.
    void QueueFrame(const uint8_t* frame, uint32_t length);
    bool Halted() const;
    // Waits up to `ms`, ending early at Shutdown.
    void Pause(int64_t ms);

    // Error report: sets the last error text and hands the message to the
    // outbox for OnError, unless the same text was reported within a minute.
    void ReportError(const std::string& message);
    void Post(Event event);
    // Calls the sink with the outbox's events in order; no lock held.
    void DeliverEvents();

    ITunnelEvents* const events;
    TunnelStatistics* const stats;

    // guards: outputBuffer, queue, queuedBytes; serialises Send and
    // FlushQueue
    std::mutex sendLock;
    CZAN_DynamicBuffer outputBuffer;
    std::deque<QueuedFrame> queue;
    size_t queuedBytes = 0;

    // guards: the sockets of `network` against Open/Close during transfers,
    // `generation`, `state`, establishedAtMs, nextTryMs, jitter (written
    // exclusively, read shared)
    WriterPreferringMutex connectionLock;
    CNetworkSocket network;
    std::atomic<uint64_t> generation{0};  // bumped by every PrepareSocket
    // The state of the connection of `generation`.
    std::atomic<TcpConnectionState> state{TcpConnectionState::kClosed};
    int64_t establishedAtMs = 0;
    std::atomic<int64_t> nextTryMs{0};
    JitterSource jitter;

    // guards: deframer
    std::mutex streamLock;
    TcpFrameDeframer deframer;
    // The frame taken out of the stream buffer: receiver thread only.
    CZAN_DynamicBuffer frameBuffer;

    // guards: connectHost, destinationHost, proxySet, proxyHost, proxyPort,
    // proxyUser, proxyPassword, proxyDomain
    mutable std::mutex settingsLock;
    std::string connectHost;  // as given to Connect: every try resolves it again
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
    ReportThrottle errorThrottle;

    // guards: outbox, delivering
    std::mutex outboxLock;
    std::vector<Event> outbox;
    bool delivering = false;

    std::atomic<uint32_t> receiveBufferSize{kDefaultBufferSize};
    std::atomic<uint32_t> sendBufferSize{kDefaultBufferSize};
    std::atomic<uint8_t> greetingByte{0};
    std::atomic<uint32_t> reconnectLimit{0};
    std::atomic<int64_t> queueAgeLimitMs{kDefaultQueueAgeLimitMs};
    std::atomic<const std::atomic<bool>*> haltSignal{nullptr};
    std::atomic<uint32_t> sendFailures{0};
    // Set by Shutdown: the cancel signal of a connect under way and of
    // every later transfer (a request, not a state of the connection).
    std::atomic<bool> stopping{false};
    CSyncEvent stopEvent{false, true};

    std::atomic<uint16_t> destinationPort{0};
    std::atomic<uint32_t> reconnectAttempts{0};
    TunnelPacketFormat::OpenResult lastDrop = TunnelPacketFormat::OpenResult::kNothing;
};

} // namespace zan
