#include "TCPTunnelSocket.h"

#include "ProxyExchange.h"
#include "ResultCodes.h"
#include "ThreadWaitPump.h"
#include "TunnelStatistics.h"
#include "ZAN_Time.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <new>
#include <optional>
#include <random>
#include <shared_mutex>
#include <span>

namespace zan {

namespace {

constexpr const char* kStreamErrorMessage = "TCPTunnel : stream error, connection closed.";

// Clears a secret before its text is replaced or released.
void Wipe(std::string& secret)
{
    if (!secret.empty()) {
        OPENSSL_cleanse(secret.data(), secret.size());
    }
    secret.clear();
}

std::string Text(const char* text)
{
    return text != nullptr ? std::string(text) : std::string();
}

int64_t SteadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int32_t BufferSize(uint32_t configured)
{
    const uint32_t bytes = configured != 0 ? configured : TCPTunnelSocket::kDefaultBufferSize;
    return static_cast<int32_t>(std::min<uint32_t>(bytes, INT32_MAX));
}

}  // namespace

TCPTunnelSocket::TCPTunnelSocket(ITunnelEvents* events, TunnelStatistics* stats)
    : events(events), stats(stats)
{
    frameBuffer.Reserve(static_cast<uint32_t>(TcpFrameDeframer::kMaxFill));
    // Each socket varies its pauses differently, so that clients that lost
    // the same relay do not come back in step.
    jitter = [generator = std::minstd_rand(std::random_device{}())]() mutable {
        return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
    };
}

TCPTunnelSocket::~TCPTunnelSocket()
{
    Wipe(proxyPassword);
}

// ---- settings -------------------------------------------------------------

void TCPTunnelSocket::SetProxy(const char* host, uint16_t port, const char* user, const char* password)
{
    {
        std::lock_guard guard(settingsLock);
        proxyHost = Text(host);
        proxyPort = port;
        if (user != nullptr) {
            const std::string text(user);
            size_t split = text.find('\\');
            if (split == std::string::npos) {
                split = text.find('+');
            }
            if (split == std::string::npos) {
                // A user text is whole: one without a domain part names no
                // domain, whatever an earlier text named.
                proxyDomain.clear();
                proxyUser = text;
            } else {
                proxyDomain = text.substr(0, split);
                proxyUser = text.substr(split + 1);
            }
        }
        if (password != nullptr) {
            Wipe(proxyPassword);
            proxyPassword = password;
        }
        proxySet = true;
    }
}

void TCPTunnelSocket::SetReceiveBufferSize(uint32_t bytes)
{
    receiveBufferSize.store(bytes);
}

void TCPTunnelSocket::SetSendBufferSize(uint32_t bytes)
{
    sendBufferSize.store(bytes);
}

void TCPTunnelSocket::SetGreetingByte(uint8_t greeting)
{
    greetingByte.store(greeting);
}

std::string TCPTunnelSocket::DestinationHost() const
{
    std::lock_guard guard(settingsLock);
    return destinationHost;
}

std::string TCPTunnelSocket::ProxyDomain() const
{
    std::lock_guard guard(settingsLock);
    return proxyDomain;
}

std::string TCPTunnelSocket::ProxyUser() const
{
    std::lock_guard guard(settingsLock);
    return proxyUser;
}

std::string TCPTunnelSocket::LastErrorText() const
{
    std::lock_guard guard(errorLock);
    return lastErrorText;
}

void TCPTunnelSocket::SetJitterSource(JitterSource source)
{
    std::unique_lock exclusive(connectionLock);
    jitter = std::move(source);
}

bool TCPTunnelSocket::WillCarry() const
{
    const TcpConnectionState now = State();
    return now != TcpConnectionState::kClosed && now != TcpConnectionState::kGivenUp && !stopping.load();
}

// ---- events ---------------------------------------------------------------

void TCPTunnelSocket::ReportError(const std::string& message)
{
    {
        std::lock_guard guard(errorLock);
        lastErrorText = message;
    }
    if (std::optional<std::string> text = errorThrottle.Admit(message, GetTimeMs())) {
        Post(Event{Event::Kind::kError, std::move(*text), static_cast<uint32_t>(E_FAIL)});
    }
}

void TCPTunnelSocket::Post(Event event)
{
    std::lock_guard guard(outboxLock);
    outbox.push_back(std::move(event));
}

void TCPTunnelSocket::DeliverEvents()
{
    // One thread delivers at a time and in order; a thread that finds
    // another delivering leaves its events to it.
    for (;;) {
        std::vector<Event> batch;
        {
            std::lock_guard guard(outboxLock);
            if (delivering || outbox.empty()) {
                return;
            }
            delivering = true;
            batch.swap(outbox);
        }
        for (const Event& event : batch) {
            if (events == nullptr) {
                break;
            }
            switch (event.kind) {
            case Event::Kind::kConnected:
                events->OnConnected(event.text.c_str(), static_cast<uint16_t>(event.value));
                break;
            case Event::Kind::kDisconnected: events->OnDisconnected(event.text.c_str(), event.value); break;
            case Event::Kind::kError: events->OnError(event.text.c_str(), event.value); break;
            }
        }
        std::lock_guard guard(outboxLock);
        delivering = false;
    }
}

// ---- connecting -----------------------------------------------------------

void TCPTunnelSocket::MoveTo(TcpConnectionState next)
{
    const TcpConnectionState current = state.load();
    if (current == next) {
        return;
    }
    if (!IsAllowedTransition(current, next)) {
        std::abort();
    }
    state.store(next, std::memory_order_release);
}

bool TCPTunnelSocket::Halted() const
{
    const std::atomic<bool>* halt = haltSignal.load();
    return stopping.load() || (halt != nullptr && halt->load());
}

bool TCPTunnelSocket::PrepareSocket(const char* /*host*/)
{
    std::unique_lock exclusive(connectionLock);
    if (state.load() == TcpConnectionState::kEstablished) {
        MoveTo(TcpConnectionState::kLost);
    }
    return PrepareSocketLocked();
}

bool TCPTunnelSocket::PrepareSocketLocked()
{
    {
        // A new connection carries no continuation of the old stream. The
        // generation moves under the stream lock, so a frame taken out of
        // the buffer is known to belong to the generation read with it.
        std::lock_guard guard(streamLock);
        deframer.Reset();
        generation.fetch_add(1);
    }
    network.Close();
    if (!network.OpenTcp()) {
        return false;
    }
    return network.SetReceiveBufferSize(BufferSize(receiveBufferSize.load())) == S_OK &&
           network.SetSendBufferSize(BufferSize(sendBufferSize.load())) == S_OK;
}

bool TCPTunnelSocket::Connect(const char* host, uint16_t port)
{
    bool connected = false;
    {
        std::unique_lock exclusive(connectionLock);
        {
            std::lock_guard guard(settingsLock);
            connectHost = Text(host);
        }
        connected = ConnectLocked(Text(host), port);
    }
    DeliverEvents();
    if (connected) {
        FlushQueue();
    }
    return connected;
}

bool TCPTunnelSocket::ConnectLocked(const std::string& host, uint16_t port)
{
    destinationPort.store(port);
    bool throughProxy = false;
    {
        std::lock_guard guard(settingsLock);
        throughProxy = proxySet;  // reconnections too go through the proxy
    }
    const bool again = state.load() == TcpConnectionState::kReconnecting;
    MoveTo(TcpConnectionState::kConnecting);
    if (throughProxy ? ConnectThroughProxy(host) : ConnectDirect(host, port, again)) {
        return true;
    }
    const int64_t now = GetTimeMs();
    if (stopping.load()) {
        MoveTo(TcpConnectionState::kGivenUp);
    } else if (Halted()) {
        // Broken off by the owner's stop: not a failed try; the next one
        // is due as soon as the owner runs again.
        MoveTo(TcpConnectionState::kReconnecting);
        nextTryMs.store(now);
    } else {
        TryFailedLocked(now);
    }
    return false;
}

void TCPTunnelSocket::TryFailedLocked(int64_t nowMs)
{
    const uint32_t failures = reconnectAttempts.fetch_add(1) + 1;
    const uint32_t limit = reconnectLimit.load();
    if (limit != 0 && failures >= limit) {
        MoveTo(TcpConnectionState::kGivenUp);
        if (stats != nullptr) {
            stats->TcpGaveUp();
        }
        return;
    }
    MoveTo(TcpConnectionState::kReconnecting);
    nextTryMs.store(nowMs + PauseAfter(failures));
}

int64_t TCPTunnelSocket::PauseAfter(uint32_t failures)
{
    if (failures < kSteadyTries) {
        return kReconnectPauseMs;
    }
    // 1 s after the fifth failed try, doubling with each further one up to
    // the cap, varied by up to kJitterPercent either way.
    const uint32_t doublings = std::min<uint32_t>(failures - kSteadyTries, 16);
    const int64_t base = std::min<int64_t>(kReconnectPauseMs << doublings, kBackOffCapMs);
    const double unit = jitter ? std::clamp(jitter(), 0.0, 1.0) : 0.5;
    const double factor = 1.0 + (2.0 * unit - 1.0) * (kJitterPercent / 100.0);
    return std::llround(static_cast<double>(base) * factor);
}

bool TCPTunnelSocket::ConnectDirect(const std::string& host, uint16_t port, bool again)
{
    const std::string address = CNetworkSocket::ResolveHostAddress(host.c_str());
    {
        std::lock_guard guard(settingsLock);
        destinationHost = address;
    }
    if (!PrepareSocketLocked()) {
        ReportError("TCPTunnel : Creating TCP socket : " + address + "\n");
        return false;
    }
    const int32_t result =
        network.ConnectBounded(address.c_str(), port, kConnectLimitMs, &stopping, haltSignal.load());
    if (result != S_OK) {
        ReportConnectFailed(address, port, result);
        return false;
    }
    // Frames queued while the connection was down go into the new one at
    // once: it must not be one that is reset as soon as it is made.
    if (again && !Settled()) {
        if (!Halted()) {
            ReportConnectFailed(address, port, E_FAIL);
        }
        return false;
    }
    Established(address, port);
    return true;
}

bool TCPTunnelSocket::Settled()
{
    // Watched in slices, so that a stop or the owner's halt ends the wait at once.
    for (int64_t left = kSettleMs; left > 0; left -= CNetworkSocket::kConnectSliceMs) {
        if (Halted() || network.ClosedWithin(std::min(left, CNetworkSocket::kConnectSliceMs))) {
            return false;
        }
    }
    return !Halted();
}

void TCPTunnelSocket::ReportConnectFailed(const std::string& address, uint16_t port, int32_t result)
{
    ReportError("TCPTunnel : connect(" + address + ":" + std::to_string(port) + ") failed : " +
                std::to_string(result) + "\n");
}

bool TCPTunnelSocket::ConnectThroughProxy(const std::string& host)
{
    std::string proxy;
    uint16_t viaPort = 0;
    {
        std::lock_guard guard(settingsLock);
        // The proxy resolves the destination: its name is kept as given.
        destinationHost = host;
        proxy = proxyHost;
        viaPort = proxyPort;
    }
    if (!PrepareSocketLocked()) {
        ReportError("Proxy login : Creating TCP socket : " + proxy + "\n");
        return false;
    }
    const int32_t result =
        network.ConnectBounded(proxy.c_str(), viaPort, kConnectLimitMs, &stopping, haltSignal.load());
    if (result != S_OK) {
        ReportError("Proxy login : connect() failed : " + std::to_string(result) + "\n");
        return false;
    }
    MoveTo(TcpConnectionState::kProxyExchange);
    if (!RunProxyExchange()) {
        return false;
    }
    Established(host, destinationPort.load());
    return true;
}

// The connection to the proxy as the exchange sees it. Runs with the
// connection lock held exclusively (inside ConnectLocked).
class TCPTunnelSocket::ProxyLink final : public IProxyConnection {
public:
    explicit ProxyLink(TCPTunnelSocket& socket) : socket(socket) {}

    int32_t SendAll(std::span<const uint8_t> bytes) override
    {
        const int32_t result = socket.WriteAll(bytes.data(), static_cast<uint32_t>(bytes.size()), true);
        // A failed write is the exchange's send error, unless the socket
        // is shutting down (the read that follows then ends at once).
        return result < 0 && !socket.stopping.load() ? kConnectionLost : result;
    }
    int32_t Receive(std::span<uint8_t> buffer, int64_t timeoutMs) override
    {
        // In slices, so Shutdown (which waits for the connection lock) and
        // the owner's halt are seen and a host thread keeps serving its
        // calls meanwhile.
        const int64_t start = SteadyMs();
        for (;;) {
            if (socket.Halted()) {
                return IoFailure;
            }
            const int64_t left = timeoutMs - (SteadyMs() - start);
            if (left <= 0) {
                return 0;
            }
            const int32_t result = socket.network.Receive(buffer.data(), static_cast<uint32_t>(buffer.size()),
                                                          std::min(left, CNetworkSocket::kConnectSliceMs));
            if (result != 0) {
                return result;
            }
            (void)RunThreadWaitPump();
        }
    }
    bool PrepareSocket() override { return socket.PrepareSocketLocked(); }
    int32_t ConnectToProxy() override
    {
        std::string host;
        uint16_t port = 0;
        {
            std::lock_guard guard(socket.settingsLock);
            host = socket.proxyHost;
            port = socket.proxyPort;
        }
        return socket.network.ConnectBounded(host.c_str(), port, kConnectLimitMs, &socket.stopping,
                                             socket.haltSignal.load());
    }
    void ReportError(const std::string& message) override { socket.ReportError(message); }
    std::string LastErrorText() const override { return socket.LastErrorText(); }
    int64_t NowMs() const override { return SteadyMs(); }

private:
    TCPTunnelSocket& socket;
};

bool TCPTunnelSocket::RunProxyExchange()
{
    ProxyExchange::Settings settings;
    {
        std::lock_guard guard(settingsLock);
        settings.destinationHost = destinationHost;
        settings.proxyHost = proxyHost;
        settings.user = proxyUser;
        settings.password = proxyPassword;
        settings.domain = proxyDomain;
    }
    settings.destinationPort = destinationPort.load();
    ProxyLink link(*this);
    ProxyExchange exchange(link, settings);
    if (!exchange.Run()) {
        return false;
    }
    // Tunnel bytes that came in the same read as the proxy's reply.
    const std::string& start = exchange.StreamStart();
    std::lock_guard guard(streamLock);
    const std::span<uint8_t> room = deframer.FreeSpace();
    const size_t count = std::min(room.size(), start.size());
    std::copy_n(start.begin(), count, room.begin());
    deframer.Commit(count);
    return true;
}

void TCPTunnelSocket::Established(const std::string& host, uint16_t port)
{
    const uint8_t greeting = greetingByte.load();
    if (greeting != 0) {
        (void)WriteAll(&greeting, 1, true);
    }
    Post(Event{Event::Kind::kConnected, host, port});
    if (stats != nullptr) {
        stats->TcpConnected();
    }
    establishedAtMs = GetTimeMs();
    MoveTo(TcpConnectionState::kEstablished);
}

// ---- losing and re-making the connection ----------------------------------

void TCPTunnelSocket::MarkLost(uint64_t seen)
{
    {
        // A transfer still waiting on the lost connection ends at once.
        std::shared_lock shared(connectionLock);
        if (generation.load() == seen) {
            network.Shutdown();
        }
    }
    std::unique_lock exclusive(connectionLock);
    if (generation.load() == seen && state.load() == TcpConnectionState::kEstablished) {
        MoveTo(TcpConnectionState::kLost);
    }
}

void TCPTunnelSocket::DriveReconnection()
{
    bool tried = false;
    bool connected = false;
    {
        std::unique_lock exclusive(connectionLock);
        if (stopping.load()) {
            return;
        }
        const int64_t now = GetTimeMs();
        std::string host;
        {
            std::lock_guard guard(settingsLock);
            host = connectHost;
        }
        if (state.load() == TcpConnectionState::kLost) {
            {
                std::lock_guard guard(settingsLock);
                Post(Event{Event::Kind::kDisconnected, destinationHost,
                           static_cast<uint32_t>(network.LastErrorCode())});
            }
            if (stats != nullptr) {
                stats->TcpLost();
            }
            const int64_t lived = now - establishedAtMs;
            if (lived >= 0 && lived < kShortLivedMs) {
                TryFailedLocked(now);  // closed at once: a failed try, paused like one
            } else {
                reconnectAttempts.store(0);
                MoveTo(TcpConnectionState::kReconnecting);
                nextTryMs.store(now);
            }
        }
        if (state.load() == TcpConnectionState::kReconnecting && now >= nextTryMs.load() && !Halted()) {
            if (stats != nullptr) {
                stats->TcpReconnecting();
            }
            tried = true;
            connected = ConnectLocked(host, destinationPort.load());
        }
    }
    DeliverEvents();
    if (connected) {
        FlushQueue();
        return;
    }
    if (tried) {
        return;  // the try took its time; the caller comes back
    }
    // Nothing due yet: wait for the next try, at most as long as a read.
    int64_t wait = kReadWaitMs;
    if (State() == TcpConnectionState::kReconnecting && !Halted()) {
        wait = std::clamp<int64_t>(nextTryMs.load() - GetTimeMs(), 0, kReadWaitMs);
    }
    Pause(wait);
}

void TCPTunnelSocket::StreamError(uint64_t seen)
{
    ReportError(kStreamErrorMessage);
    {
        std::unique_lock exclusive(connectionLock);
        if (generation.load() == seen && state.load() == TcpConnectionState::kEstablished) {
            network.Close();
            MoveTo(TcpConnectionState::kLost);
        }
    }
    DeliverEvents();
}

void TCPTunnelSocket::Pause(int64_t ms)
{
    if (ms > 0) {
        (void)stopEvent.Wait(ms);
    }
}

void TCPTunnelSocket::Shutdown()
{
    stopping.store(true);
    stopEvent.Set();
    // Shared: the sockets are not replaced meanwhile, and a connect under
    // way (exclusive) ends within one slice once it sees `stopping`.
    std::shared_lock shared(connectionLock);
    network.Shutdown();
}

// ---- writing --------------------------------------------------------------

int32_t TCPTunnelSocket::SendAll(const uint8_t* data, uint32_t length)
{
    return WriteAll(data, length, false);
}

int32_t TCPTunnelSocket::WriteAll(const uint8_t* data, uint32_t length, bool lockHeld)
{
    uint32_t written = 0;
    uint64_t connection = 0;
    for (;;) {
        if (stopping.load()) {
            return kGaveUp;
        }
        int32_t result;
        uint64_t seen;
        {
            std::shared_lock shared(connectionLock, std::defer_lock);
            if (!lockHeld) {
                shared.lock();
                const TcpConnectionState now = state.load();
                if (now != TcpConnectionState::kEstablished) {
                    // Writers never wait for a connection: the reading
                    // side re-makes it, unless it will not.
                    return now == TcpConnectionState::kClosed || now == TcpConnectionState::kGivenUp
                               ? kGaveUp
                               : kConnectionLost;
                }
            }
            seen = generation.load();
            if (written != 0 && seen != connection) {
                // Another thread re-made the connection: the rest of this
                // buffer would corrupt the new stream.
                return kConnectionLost;
            }
            connection = seen;
            result = network.SendWhenWritable(data + written, length - written);
        }
        if (result >= 0) {
            written += static_cast<uint32_t>(result);
            sendFailures.store(0);
            if (written >= length) {
                return static_cast<int32_t>(written);
            }
            continue;  // 0: not writable within 200 ms, not a failure
        }
        if (sendFailures.load() > kMaxSendFailures || stopping.load()) {
            return kGaveUp;
        }
        if (!lockHeld && result == IoFailure) {
            MarkLost(seen);
            return kConnectionLost;
        }
        sendFailures.fetch_add(1);
    }
}

void TCPTunnelSocket::QueueFrame(const uint8_t* frame, uint32_t length)
{
    // Frames that are already too old to be sent go at once, and so do the
    // oldest when the queue is full.
    const int64_t now = GetTimeMs();
    const int64_t limit = queueAgeLimitMs.load();
    uint64_t stale = 0;
    while (!queue.empty() &&
           (now - queue.front().queuedAtMs >= limit || queuedBytes + length > kMaxQueuedBytes)) {
        queuedBytes -= queue.front().bytes.size();
        queue.pop_front();
        ++stale;
    }
    queue.push_back(QueuedFrame{now, std::vector<uint8_t>(frame, frame + length)});
    queuedBytes += length;
    if (stats != nullptr && stale != 0) {
        stats->StaleDropped(stale);
    }
}

void TCPTunnelSocket::FlushQueue()
{
    std::lock_guard guard(sendLock);
    FlushQueueLocked();
}

void TCPTunnelSocket::FlushQueueLocked()
{
    const int64_t now = GetTimeMs();
    const int64_t limit = queueAgeLimitMs.load();
    uint64_t stale = 0;
    while (!queue.empty() && State() == TcpConnectionState::kEstablished) {
        QueuedFrame& frame = queue.front();
        const int64_t age = now - frame.queuedAtMs;
        if (age >= limit) {
            ++stale;  // too late to be of use to real-time media
        } else {
            // A frame that the connection's next loss interrupts is lost
            // with it, as a frame written directly would be.
            (void)WriteAll(frame.bytes.data(), static_cast<uint32_t>(frame.bytes.size()), false);
        }
        queuedBytes -= frame.bytes.size();
        queue.pop_front();
    }
    if (stats != nullptr && stale != 0) {
        stats->StaleDropped(stale);
    }
}

int32_t TCPTunnelSocket::Send(const uint8_t* payload, uint32_t length, uint16_t port, uint8_t kind)
{
    std::lock_guard guard(sendLock);
    if (!WillCarry()) {
        return kGaveUp;  // no frame is built for a connection that will not come
    }
    if ((payload == nullptr && length != 0) || length > TunnelPacketFormat::kMaxPayload) {
        return TunnelPacketFormat::kBuildRefused;
    }
    try {
        outputBuffer.Reserve(TunnelPacketFormat::SendBufferSize(CryptoType(), length, true));
    } catch (const std::bad_alloc&) {
        return TunnelPacketFormat::kBuildRefused;
    }
    const int32_t frame = TunnelPacketFormat::BuildFrame(
        *this, {payload, length}, port, kind, {outputBuffer.Data(), outputBuffer.Capacity()});
    if (frame <= 0) {
        return frame < 0 ? frame : TunnelPacketFormat::kBuildRefused;
    }
    const TcpConnectionState now = State();
    if (now == TcpConnectionState::kEstablished && !queue.empty()) {
        FlushQueueLocked();  // what waited for this connection goes first
    }
    if (State() != TcpConnectionState::kEstablished || !queue.empty()) {
        if (!WillCarry()) {
            return kGaveUp;
        }
        if (kind != TunnelPacketFormat::kDataKind) {
            return kConnectionLost;  // a late keep-alive tells nothing
        }
        QueueFrame(outputBuffer.Data(), static_cast<uint32_t>(frame));
        return frame;
    }
    return WriteAll(outputBuffer.Data(), static_cast<uint32_t>(frame), false);
}

// ---- reading --------------------------------------------------------------

bool TCPTunnelSocket::FillStream()
{
    if (stopping.load()) {
        return false;
    }
    int32_t result = E_FAIL;
    uint64_t seen;
    TcpConnectionState seenState;
    {
        std::shared_lock shared(connectionLock);
        seen = generation.load();
        seenState = state.load();
        if (seenState == TcpConnectionState::kEstablished) {
            std::lock_guard guard(streamLock);
            const std::span<uint8_t> room = deframer.FreeSpace();
            result = network.Receive(room.data(), static_cast<uint32_t>(room.size()), kReadWaitMs);
            if (result > 0) {
                deframer.Commit(static_cast<size_t>(result));
                return true;
            }
        }
    }
    if (seenState == TcpConnectionState::kEstablished) {
        if (result == 0) {
            return false;  // the read waited its 200 ms
        }
        if (result != IoFailure) {
            Pause(kReadWaitMs);  // no usable socket: wait as a read would
            return false;
        }
        MarkLost(seen);
        seenState = State();
    }
    if (seenState == TcpConnectionState::kLost || seenState == TcpConnectionState::kReconnecting) {
        DriveReconnection();
        return false;
    }
    // Never connected, or given up: wait as a read would, so the caller's
    // loop does not spin.
    Pause(kReadWaitMs);
    return false;
}

bool TCPTunnelSocket::Receive(TunnelPacket& packet)
{
    using Step = TcpFrameDeframer::Step;
    const std::span<uint8_t> frame(frameBuffer.Data(), frameBuffer.Capacity());
    size_t length = 0;
    Step step;
    uint64_t seen;
    {
        std::lock_guard guard(streamLock);
        seen = generation.load();
        do {
            step = deframer.TakeFrame(frame, length);
        } while (step == Step::kSkipped);
    }
    lastDrop = TunnelPacketFormat::OpenResult::kNothing;
    if (step == Step::kStreamError) {
        StreamError(seen);
        return false;
    }
    if (step != Step::kFrame) {
        return false;
    }
    // Opened outside the stream lock: the stream lock and the receive lock
    // of TunnelCrypto are never held together.
    lastDrop = TunnelPacketFormat::OpenPacket(*this, frame.first(length), false, packet);
    if (lastDrop == TunnelPacketFormat::OpenResult::kOpened) {
        return true;
    }
    if (stats != nullptr) {
        stats->Dropped(lastDrop);
    }
    return false;
}

} // namespace zan
