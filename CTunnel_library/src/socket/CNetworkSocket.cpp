#include "CNetworkSocket.h"

#include "CZAN_AutoLock.h"
#include "ResultCodes.h"
#include "ThreadWaitPump.h"

#include <asio.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <optional>

namespace zan {

using asio::ip::tcp;
using asio::ip::udp;

struct CNetworkSocket::Sockets {
    asio::io_context context;
    // Declared after the context, so they are destroyed (and closed) first.
    std::unique_ptr<tcp::socket> bindSocket;
    std::unique_ptr<tcp::socket> connectSocket;
    std::unique_ptr<udp::socket> datagramSocket;
};

namespace {

// Room for the receive-queue drop count that comes with a datagram.
struct DropCountControl {
    alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(uint32_t))];
};

constexpr uint32_t kMaxPort = 65535;
constexpr uint32_t kMaxTransfer = INT32_MAX;  // the largest count a result can carry
constexpr const char* kNoDatagramSocket = "No open datagram socket.";
constexpr const char* kNoStreamSocket = "No open stream socket.";

// An address text parsed as a numeric IPv4 or IPv6 literal (no name look-up)
// with a port, or the reason it is refused.
struct ParsedEndpoint {
    asio::ip::address address;
    std::string error;
};

std::string PortRangeError(uint32_t port)
{
    return "Port " + std::to_string(port) + " is out of range.";
}

ParsedEndpoint ParseEndpoint(const char* text, uint32_t port)
{
    ParsedEndpoint parsed;
    if (text == nullptr) {
        parsed.error = "No address text.";
        return parsed;
    }
    if (port > kMaxPort) {
        parsed.error = PortRangeError(port);
        return parsed;
    }
    asio::error_code error;
    parsed.address = asio::ip::make_address(text, error);
    if (error) {
        parsed.error = "make_address: " + error.message() + " (\"" + std::string(text) + "\")";
    }
    return parsed;
}

bool IsOpen(const auto& socket)
{
    return socket != nullptr && socket->is_open();
}

// Numeric text and host-order port of a socket address from the system.
void DescribeSender(const sockaddr_storage& from, std::string& address, uint32_t& port)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (from.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(from);
        ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        port = ntohs(v4.sin_port);
    } else if (from.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(from);
        ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        port = ntohs(v6.sin6_port);
    } else {
        port = 0;
    }
    address.assign(text);
}

bool IsTransient(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

template <typename Option>
asio::error_code SetOption(auto& socket, const Option& option)
{
    asio::error_code error;
    socket.set_option(option, error);
    return error;
}

}  // namespace

CNetworkSocket::WaitTime CNetworkSocket::SplitTimeout(int64_t timeoutMs)
{
    const int64_t seconds = timeoutMs / 1000;
    return WaitTime{seconds, (timeoutMs - seconds * 1000) * 1000};
}

CNetworkSocket::CNetworkSocket() : sockets(std::make_unique<Sockets>())
{
}

CNetworkSocket::~CNetworkSocket() = default;

// ---- failure recording ----------------------------------------------------

int32_t CNetworkSocket::Fail(const std::error_code& error, int32_t result)
{
    std::string text = error.message();
    CZAN_AutoLock guard(&errorLock);
    lastErrorText = std::move(text);
    lastErrorCode = error.value();
    return result;
}

int32_t CNetworkSocket::FailErrno(int error, int32_t result)
{
    return Fail(std::error_code(error, std::system_category()), result);
}

int32_t CNetworkSocket::FailText(const std::string& text, int32_t result)
{
    CZAN_AutoLock guard(&errorLock);
    lastErrorText = text;
    return result;
}

int32_t CNetworkSocket::Result(const std::error_code& error)
{
    return error ? Fail(error, E_FAIL) : S_OK;
}

int32_t CNetworkSocket::LastErrorCode() const
{
    CZAN_AutoLock guard(&errorLock);
    return lastErrorCode;
}

std::string CNetworkSocket::LastErrorText() const
{
    CZAN_AutoLock guard(&errorLock);
    return lastErrorText;
}

// ---- life cycle -----------------------------------------------------------

bool CNetworkSocket::OpenUdp()
{
    try {
        sockets->datagramSocket.reset();
        sockets->datagramSocket = std::make_unique<udp::socket>(sockets->context);
        sockets->datagramSocket->open(udp::v4());
        // Blocking reads of this socket end after the bounded wait; a socket
        // whose reads could block for ever is not opened at all.
        const timeval limit{0, static_cast<suseconds_t>(kSocketWaitMs * 1000)};
        if (::setsockopt(sockets->datagramSocket->native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) !=
            0) {
            FailErrno(errno, E_FAIL);
            sockets->datagramSocket.reset();
            return false;
        }
        // Each read then says how many datagrams the system dropped from this
        // socket's full receive queue so far. A system without it only loses
        // the count.
        const int on = 1;
        (void)::setsockopt(sockets->datagramSocket->native_handle(), SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
        kernelDrops.store(0, std::memory_order_relaxed);
        return true;
    } catch (const std::exception& e) {
        FailText(e.what(), E_FAIL);
        return false;
    }
}

bool CNetworkSocket::OpenTcp()
{
    try {
        sockets->connectSocket.reset();
        sockets->bindSocket.reset();
        sockets->connectSocket = std::make_unique<tcp::socket>(sockets->context);
        sockets->connectSocket->open(tcp::v4());
        sockets->bindSocket = std::make_unique<tcp::socket>(sockets->context);
        sockets->bindSocket->open(tcp::v4());
        return true;
    } catch (const std::exception& e) {
        FailText(e.what(), E_FAIL);
        return false;
    }
}

void CNetworkSocket::Close()
{
    try {
        if (sockets->datagramSocket) {
            sockets->datagramSocket->close();
        }
        if (sockets->connectSocket) {
            sockets->connectSocket->close();
        }
        if (sockets->bindSocket) {
            sockets->bindSocket->close();
        }
    } catch (const std::exception& e) {
        FailText(e.what(), E_FAIL);
    }
}

void CNetworkSocket::Shutdown()
{
    // Only reads the descriptors: safe beside a thread that waits on them.
    // An unconnected socket answers ENOTCONN but is still marked shut down
    // and its waiters are woken, which is all that is wanted here.
    if (IsOpen(sockets->datagramSocket)) {
        ::shutdown(sockets->datagramSocket->native_handle(), SHUT_RDWR);
    }
    if (IsOpen(sockets->connectSocket)) {
        ::shutdown(sockets->connectSocket->native_handle(), SHUT_RDWR);
    }
    if (IsOpen(sockets->bindSocket)) {
        ::shutdown(sockets->bindSocket->native_handle(), SHUT_RDWR);
    }
}

// ---- addresses ------------------------------------------------------------

int32_t CNetworkSocket::Bind(const char* address, uint32_t port)
{
    ParsedEndpoint local = ParseEndpoint(address == nullptr ? "0.0.0.0" : address, port);
    if (!local.error.empty()) {
        return FailText(local.error, E_FAIL);
    }
    asio::error_code error;
    if (IsOpen(sockets->datagramSocket)) {
        sockets->datagramSocket->bind(udp::endpoint(local.address, static_cast<uint16_t>(port)), error);
    } else if (IsOpen(sockets->bindSocket)) {
        error = SetOption(*sockets->bindSocket, tcp::socket::reuse_address(false));
        if (!error) {
            sockets->bindSocket->bind(tcp::endpoint(local.address, static_cast<uint16_t>(port)), error);
        }
    }
    return Result(error);
}

struct CNetworkSocket::Remote {
    tcp::endpoint endpoint;
};

std::optional<int32_t> CNetworkSocket::PrepareConnect(const char* address, uint32_t port, Remote& remote)
{
    if (!sockets->connectSocket) {
        return FailText("No stream socket.", E_FAIL);
    }
    ParsedEndpoint parsed = ParseEndpoint(address, port);
    if (!parsed.error.empty()) {
        return FailText(parsed.error, E_FAIL);
    }
    asio::error_code error;
    if (!sockets->connectSocket->is_open()) {
        sockets->connectSocket->open(tcp::v4(), error);
        if (error) {
            return Fail(error, E_FAIL);
        }
    }
    remote.endpoint = tcp::endpoint(parsed.address, static_cast<uint16_t>(port));
    return std::nullopt;
}

int32_t CNetworkSocket::Connect(const char* address, uint32_t port)
{
    Remote remote;
    if (auto early = PrepareConnect(address, port, remote)) {
        return *early;
    }
    asio::error_code error;
    sockets->connectSocket->connect(remote.endpoint, error);
    return Result(error);
}

int32_t CNetworkSocket::ConnectBounded(const char* address, uint32_t port, int64_t limitMs,
                                       const std::atomic<bool>* cancel, const std::atomic<bool>* alsoCancel)
{
    Remote remote;
    if (auto early = PrepareConnect(address, port, remote)) {
        return *early;
    }
    const int fd = sockets->connectSocket->native_handle();
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        return FailErrno(errno, E_FAIL);
    }
    int32_t result = S_OK;
    if (::connect(fd, remote.endpoint.data(), static_cast<socklen_t>(remote.endpoint.size())) != 0) {
        result = errno == EINPROGRESS ? AwaitConnect(fd, limitMs, cancel, alsoCancel) : FailErrno(errno, E_FAIL);
    }
    // Back to blocking, as the rest of the class and asio expect.
    ::fcntl(fd, F_SETFL, flags);
    return result;
}

int32_t CNetworkSocket::AwaitConnect(int fd, int64_t limitMs, const std::atomic<bool>* cancel,
                                     const std::atomic<bool>* alsoCancel)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max<int64_t>(limitMs, 0));
    for (;;) {
        if ((cancel != nullptr && cancel->load()) || (alsoCancel != nullptr && alsoCancel->load())) {
            return FailText("Connect cancelled.", E_FAIL);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            return FailErrno(ETIMEDOUT, E_FAIL);
        }
        pollfd entry{fd, POLLOUT, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::min<int64_t>(left, kConnectSliceMs)));
        if (ready < 0 && errno != EINTR) {
            return FailErrno(errno, E_FAIL);
        }
        if (ready > 0) {
            int error = 0;
            socklen_t length = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
                return FailErrno(errno, E_FAIL);
            }
            if (error != 0) {
                return FailErrno(error, E_FAIL);
            }
            // A connect that Shutdown() broke off can end without an error
            // and without a peer.
            sockaddr_storage peer{};
            socklen_t peerLength = sizeof peer;
            if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) {
                return FailErrno(errno == ENOTCONN ? ECONNABORTED : errno, E_FAIL);
            }
            return S_OK;
        }
        RunThreadWaitPump();
    }
}

int32_t CNetworkSocket::GetLocalEndPoint(std::string& address, uint32_t& port)
{
    asio::error_code error;
    asio::ip::address localAddress;
    uint16_t localPort = 0;
    if (sockets->datagramSocket) {
        const udp::endpoint local = sockets->datagramSocket->local_endpoint(error);
        localAddress = local.address();
        localPort = local.port();
    } else if (sockets->bindSocket) {
        const tcp::endpoint local = sockets->bindSocket->local_endpoint(error);
        localAddress = local.address();
        localPort = local.port();
    } else {
        return FailText("No socket.", E_FAIL);
    }
    if (error) {
        return Fail(error, E_FAIL);
    }
    address = localAddress.to_string();
    port = localPort;
    return S_OK;
}

bool CNetworkSocket::IsMulticastAddress(const char* address)
{
    if (address == nullptr) {
        return false;
    }
    asio::error_code error;
    const asio::ip::address parsed = asio::ip::make_address(address, error);
    return !error && parsed.is_v4() && (parsed.to_v4().to_uint() >> 28) == 0xE;
}

std::string CNetworkSocket::ResolveHostAddress(const char* host)
{
    // An empty name would resolve to the loopback address: no host is no
    // address.
    if (host == nullptr || *host == '\0') {
        return {};
    }
    try {
        asio::io_context context;
        tcp::resolver resolver(context);
        asio::error_code error;
        // The service only fills in a port, which is not used; the numeric
        // form does not depend on the system's services list.
        const auto results = resolver.resolve(
            host, "80", tcp::resolver::address_configured | tcp::resolver::numeric_service, error);
        if (error || results.empty()) {
            return {};
        }
        // The sockets are IPv4: an IPv6 result that comes first would only
        // fail at connect time, so the first IPv4 result is preferred.
        for (const auto& entry : results) {
            if (entry.endpoint().address().is_v4()) {
                return entry.endpoint().address().to_string();
            }
        }
        return results.begin()->endpoint().address().to_string();
    } catch (const std::exception&) {
        return {};
    }
}

// ---- waits ----------------------------------------------------------------

int CNetworkSocket::DatagramHandle() const
{
    return IsOpen(sockets->datagramSocket) ? sockets->datagramSocket->native_handle() : -1;
}

int CNetworkSocket::StreamHandle() const
{
    return IsOpen(sockets->connectSocket) ? sockets->connectSocket->native_handle() : -1;
}

std::optional<int32_t> CNetworkSocket::CheckTransfer(int fd, const char* missingSocket, const void* buffer,
                                                     uint32_t length)
{
    if (fd < 0) {
        return FailText(missingSocket, E_FAIL);
    }
    if (buffer == nullptr && length != 0) {
        return FailText("No data buffer.", E_FAIL);
    }
    return std::nullopt;
}

std::optional<int32_t> CNetworkSocket::AwaitReady(int fd, short events, WaitTime wait, short* seen)
{
    if (wait.seconds < 0 || wait.microseconds < 0) {
        return FailErrno(EINVAL, E_FAIL);
    }
    pollfd entry{fd, events, 0};
    const timespec limit{static_cast<time_t>(wait.seconds), static_cast<long>(wait.microseconds * 1000)};
    const int ready = ::ppoll(&entry, 1, &limit, nullptr);
    if (ready < 0) {
        // Interrupted: report a time-out, and the caller's loop waits again.
        return errno == EINTR ? 0 : FailErrno(errno, E_FAIL);
    }
    if (ready == 0) {
        return 0;
    }
    if (seen != nullptr) {
        *seen = entry.revents;
    }
    if ((entry.revents & POLLNVAL) != 0) {
        return FailErrno(EBADF, E_FAIL);
    }
    // Errors and hang-ups count as ready: the transfer that follows reports them.
    return std::nullopt;
}

int32_t CNetworkSocket::NothingRead(short seen)
{
    // A hang-up on a datagram socket means it was shut down: every later
    // wait would end at once, so report a failure rather than an idle wait.
    return (seen & POLLHUP) != 0 ? FailText("Socket shut down.", E_FAIL) : 0;
}

// ---- datagrams ------------------------------------------------------------

int32_t CNetworkSocket::SendTo(const char* address, uint32_t port, const void* buffer, uint32_t length)
{
    const int fd = DatagramHandle();
    if (auto early = CheckTransfer(fd, kNoDatagramSocket, buffer, length)) {
        return *early;
    }
    if (length > kMaxTransfer) {
        return FailText("Datagram too large.", E_FAIL);
    }
    ParsedEndpoint remote = ParseEndpoint(address, port);
    if (!remote.error.empty()) {
        return FailText(remote.error, E_FAIL);
    }
    const udp::endpoint to(remote.address, static_cast<uint16_t>(port));
    const ssize_t sent = ::sendto(fd, buffer, length, MSG_NOSIGNAL,
                                  to.data(), static_cast<socklen_t>(to.size()));
    if (sent < 0) {
        return FailErrno(errno, E_FAIL);
    }
    if (static_cast<uint32_t>(sent) != length) {
        return FailText("Datagram sent in part.", E_FAIL);
    }
    return static_cast<int32_t>(sent);
}

int32_t CNetworkSocket::ReceiveFrom(std::string& address, uint32_t& port, void* buffer, uint32_t capacity)
{
    address.clear();
    const int fd = DatagramHandle();
    if (auto early = CheckTransfer(fd, kNoDatagramSocket, buffer, capacity)) {
        return *early;
    }
    short seen = 0;
    if (auto early = AwaitReady(fd, POLLIN, SplitTimeout(kSocketWaitMs), &seen)) {
        return *early;
    }
    sockaddr_storage from{};
    iovec data{buffer, std::min(capacity, kMaxTransfer)};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    // Non-blocking: a second reader may have taken the datagram since the wait.
    const ssize_t received = ::recvmsg(fd, &message, MSG_DONTWAIT);
    if (received < 0) {
        return IsTransient(errno) ? NothingRead(seen) : FailErrno(errno, E_FAIL);
    }
    if ((message.msg_flags & MSG_TRUNC) != 0) {
        return FailErrno(EMSGSIZE, E_FAIL);
    }
    if (received == 0) {
        return FailText("No bytes received (empty datagram or socket shut down).", E_FAIL);
    }
    DescribeSender(from, address, port);
    return static_cast<int32_t>(received);
}

int32_t CNetworkSocket::ReceiveMany(std::span<Datagram> datagrams)
{
    const int fd = DatagramHandle();
    if (auto early = CheckTransfer(fd, kNoDatagramSocket, nullptr, 0)) {
        return *early;
    }
    const size_t batch = std::min(datagrams.size(), kMaxBatch);
    std::array<iovec, kMaxBatch> data{};
    std::array<sockaddr_storage, kMaxBatch> senders{};
    std::array<mmsghdr, kMaxBatch> messages{};
    for (size_t i = 0; i < batch; ++i) {
        if (datagrams[i].buffer == nullptr && datagrams[i].capacity != 0) {
            return FailText("No data buffer.", E_FAIL);
        }
        data[i] = iovec{datagrams[i].buffer, std::min(datagrams[i].capacity, kMaxTransfer)};
        messages[i].msg_hdr.msg_name = &senders[i];
        messages[i].msg_hdr.msg_namelen = sizeof senders[i];
        messages[i].msg_hdr.msg_iov = &data[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    if (batch == 0) {
        return 0;
    }
    short seen = 0;
    if (auto early = AwaitReady(fd, POLLIN, SplitTimeout(kSocketWaitMs), &seen)) {
        return *early;
    }
    const int received = ::recvmmsg(fd, messages.data(), static_cast<unsigned>(batch), MSG_DONTWAIT, nullptr);
    if (received < 0) {
        return IsTransient(errno) ? NothingRead(seen) : FailErrno(errno, E_FAIL);
    }
    if (received == 0) {
        return FailText("No datagram received (socket shut down).", E_FAIL);
    }
    for (int i = 0; i < received; ++i) {
        Datagram& datagram = datagrams[static_cast<size_t>(i)];
        datagram.length = messages[i].msg_len;
        datagram.truncated = (messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
        DescribeSender(senders[i], datagram.address, datagram.port);
    }
    return received;
}

// ---- stream ---------------------------------------------------------------

int32_t CNetworkSocket::Send(const void* buffer, uint32_t length)
{
    const int fd = StreamHandle();
    if (auto early = CheckTransfer(fd, kNoStreamSocket, buffer, length)) {
        return *early;
    }
    ssize_t sent;
    do {
        sent = ::send(fd, buffer, std::min(length, kMaxTransfer), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? FailErrno(errno, IoFailure) : static_cast<int32_t>(sent);
}

int32_t CNetworkSocket::SendWhenWritable(const void* buffer, uint32_t length)
{
    const int fd = StreamHandle();
    if (auto early = CheckTransfer(fd, kNoStreamSocket, buffer, length)) {
        return *early;
    }
    if (auto early = AwaitReady(fd, POLLOUT, SplitTimeout(kSocketWaitMs))) {
        return *early;
    }
    // Take only what fits now, so the call never blocks past its wait.
    const ssize_t sent = ::send(fd, buffer, std::min(length, kMaxTransfer), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) {
        return IsTransient(errno) ? 0 : FailErrno(errno, IoFailure);
    }
    return static_cast<int32_t>(sent);
}

int32_t CNetworkSocket::Receive(void* buffer, uint32_t capacity, int64_t timeoutMs)
{
    const int fd = StreamHandle();
    // A zero-byte read could not tell data from the end of the stream.
    if (auto early = CheckTransfer(fd, kNoStreamSocket, capacity == 0 ? nullptr : buffer, 1)) {
        return *early;
    }
    const WaitTime wait = SplitTimeout(timeoutMs);
    if (wait.seconds < 0 || wait.microseconds < 0) {
        return FailErrno(EINVAL, E_FAIL);
    }
    // Under load the bytes are usually there already: one read then does,
    // and the wait is made only when it found nothing.
    ssize_t received = ::recv(fd, buffer, std::min(capacity, kMaxTransfer), MSG_DONTWAIT);
    if (received < 0 && IsTransient(errno)) {
        if (auto early = AwaitReady(fd, POLLIN, wait)) {
            return *early;
        }
        received = ::recv(fd, buffer, std::min(capacity, kMaxTransfer), MSG_DONTWAIT);
    }
    if (received < 0) {
        return IsTransient(errno) ? 0 : FailErrno(errno, IoFailure);
    }
    if (received == 0) {
        return FailText("Connection closed by peer.", IoFailure);
    }
    return static_cast<int32_t>(received);
}

bool CNetworkSocket::ClosedWithin(int64_t waitMs)
{
    const int fd = StreamHandle();
    if (fd < 0) {
        return true;
    }
    short seen = 0;
    if (auto early = AwaitReady(fd, POLLRDHUP, SplitTimeout(std::max<int64_t>(waitMs, 0)), &seen)) {
        return *early != 0;  // 0 is a time-out: still open; anything else is recorded
    }
    int error = 0;
    socklen_t size = sizeof error;
    (void)::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
    (void)FailErrno(error != 0 ? error : ECONNRESET, E_FAIL);
    return true;
}

// ---- options --------------------------------------------------------------

int32_t CNetworkSocket::SetReuseAddress()
{
    const tcp::socket::reuse_address on(true);
    if (sockets->datagramSocket) {
        return Result(SetOption(*sockets->datagramSocket, on));
    }
    asio::error_code error;
    if (IsOpen(sockets->connectSocket)) {
        error = SetOption(*sockets->connectSocket, on);
    }
    if (!error && IsOpen(sockets->bindSocket)) {
        error = SetOption(*sockets->bindSocket, on);
    }
    return Result(error);
}

int32_t CNetworkSocket::SetBufferSize(int32_t size, bool sendSide)
{
    if (size < 0) {
        return FailText("Negative buffer size.", E_FAIL);
    }
    auto apply = [&](auto& socket) {
        return sendSide ? SetOption(socket, asio::socket_base::send_buffer_size(size))
                        : SetOption(socket, asio::socket_base::receive_buffer_size(size));
    };
    if (sockets->datagramSocket) {
        return Result(apply(*sockets->datagramSocket));
    }
    if (sockets->connectSocket) {
        return Result(apply(*sockets->connectSocket));
    }
    return FailText("No socket.", E_FAIL);
}

int32_t CNetworkSocket::SetSendBufferSize(int32_t size)
{
    return SetBufferSize(size, true);
}

int32_t CNetworkSocket::SetReceiveBufferSize(int32_t size)
{
    return SetBufferSize(size, false);
}

int32_t CNetworkSocket::SetMulticastLoop(bool enabled)
{
    if (!sockets->datagramSocket) {
        return S_OK;
    }
    return Result(SetOption(*sockets->datagramSocket, asio::ip::multicast::enable_loopback(enabled)));
}

int32_t CNetworkSocket::SetMulticastInterface(const char* interfaceAddress)
{
    if (!sockets->datagramSocket) {
        return S_OK;
    }
    ParsedEndpoint nic = ParseEndpoint(interfaceAddress, 0);
    if (!nic.error.empty()) {
        return FailText(nic.error, E_FAIL);
    }
    if (!nic.address.is_v4()) {
        return FailText("The multicast interface must be an IPv4 address.", E_FAIL);
    }
    return Result(SetOption(*sockets->datagramSocket, asio::ip::multicast::outbound_interface(nic.address.to_v4())));
}

int32_t CNetworkSocket::SetMembership(const char* groupAddress, const char* interfaceAddress, bool join)
{
    if (!sockets->datagramSocket) {
        return S_OK;
    }
    ParsedEndpoint group = ParseEndpoint(groupAddress, 0);
    if (!group.error.empty()) {
        return FailText(group.error, E_FAIL);
    }
    if (interfaceAddress == nullptr || !group.address.is_v4()) {
        // Interface INADDR_ANY; an IPv6 group fails at the system call.
        return join ? Result(SetOption(*sockets->datagramSocket, asio::ip::multicast::join_group(group.address)))
                    : Result(SetOption(*sockets->datagramSocket, asio::ip::multicast::leave_group(group.address)));
    }
    ParsedEndpoint nic = ParseEndpoint(interfaceAddress, 0);
    if (!nic.error.empty()) {
        return FailText(nic.error, E_FAIL);
    }
    if (!nic.address.is_v4()) {
        return FailText("The multicast interface must be an IPv4 address.", E_FAIL);
    }
    const auto v4 = group.address.to_v4();
    const auto on = nic.address.to_v4();
    return join ? Result(SetOption(*sockets->datagramSocket, asio::ip::multicast::join_group(v4, on)))
                : Result(SetOption(*sockets->datagramSocket, asio::ip::multicast::leave_group(v4, on)));
}

int32_t CNetworkSocket::JoinGroup(const char* groupAddress, const char* interfaceAddress)
{
    return SetMembership(groupAddress, interfaceAddress, true);
}

int32_t CNetworkSocket::LeaveGroup(const char* groupAddress, const char* interfaceAddress)
{
    return SetMembership(groupAddress, interfaceAddress, false);
}

uint64_t CNetworkSocket::KernelDrops() const
{
    return kernelDrops.load(std::memory_order_relaxed);
}

// ---- batched datagrams ----------------------------------------------------

std::string CNetworkSocket::AddressText(uint32_t address)
{
    // Four numbers and three dots, without the formatted-output machinery
    // that inet_ntop goes through: this runs for every datagram of a batch.
    char text[16];
    char* at = text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        at = std::to_chars(at, text + sizeof text, (address >> shift) & 0xFF).ptr;
        if (shift != 0) {
            *at++ = '.';
        }
    }
    return std::string(text, at);
}

void CNetworkSocket::NoteKernelDrops(const msghdr& message)
{
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(const_cast<msghdr*>(&message), c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL && c->cmsg_len >= CMSG_LEN(sizeof(uint32_t))) {
            uint32_t total = 0;
            std::memcpy(&total, CMSG_DATA(c), sizeof total);
            // The system's count is 32 bits and only grows: a smaller value
            // has wrapped around.
            uint64_t seen = kernelDrops.load(std::memory_order_relaxed);
            const uint64_t low = seen & 0xFFFFFFFFu;
            if (total != low) {
                seen = (seen & ~uint64_t{0xFFFFFFFFu}) + total + (total < low ? (uint64_t{1} << 32) : 0);
                kernelDrops.store(seen, std::memory_order_relaxed);
            }
        }
    }
}

int32_t CNetworkSocket::ReceiveBatch(std::span<Slot> slots)
{
    const int fd = DatagramHandle();
    if (auto early = CheckTransfer(fd, kNoDatagramSocket, nullptr, 0)) {
        return *early;
    }
    const size_t batch = std::min(slots.size(), kMaxBatch);
    if (batch == 0) {
        return 0;
    }
    std::array<iovec, kMaxBatch> data;
    std::array<sockaddr_in, kMaxBatch> senders;
    std::array<mmsghdr, kMaxBatch> messages;
    std::array<DropCountControl, kMaxBatch> controls;
    for (size_t i = 0; i < batch; ++i) {
        if (slots[i].buffer == nullptr && slots[i].capacity != 0) {
            return FailText("No data buffer.", E_FAIL);
        }
        data[i] = iovec{slots[i].buffer, std::min(slots[i].capacity, kMaxTransfer)};
        messages[i] = mmsghdr{};
        messages[i].msg_hdr.msg_name = &senders[i];
        messages[i].msg_hdr.msg_namelen = sizeof senders[i];
        messages[i].msg_hdr.msg_iov = &data[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_control = controls[i].bytes;
        messages[i].msg_hdr.msg_controllen = sizeof controls[i].bytes;
    }
    // Blocks until the first datagram or the socket's receive time-out;
    // MSG_WAITFORONE then takes only what is already there.
    const int received = ::recvmmsg(fd, messages.data(), static_cast<unsigned>(batch), MSG_WAITFORONE, nullptr);
    if (received < 0) {
        return IsTransient(errno) ? 0 : FailErrno(errno, E_FAIL);
    }
    // A datagram, even an empty one, names its sender; every read of a
    // shut-down socket gives 0 bytes at once and names nobody.
    bool anyDatagram = false;
    for (size_t i = 0; i < static_cast<size_t>(received); ++i) {
        const mmsghdr& message = messages[i];
        const sockaddr_in& from = senders[i];
        Slot& slot = slots[i];
        slot.length = message.msg_len;
        slot.truncated = (message.msg_hdr.msg_flags & MSG_TRUNC) != 0;
        const bool v4 = message.msg_hdr.msg_namelen >= sizeof from && from.sin_family == AF_INET;
        slot.senderAddress = v4 ? ntohl(from.sin_addr.s_addr) : 0;
        slot.senderPort = v4 ? ntohs(from.sin_port) : 0;
        anyDatagram = anyDatagram || message.msg_len > 0 || v4;
        NoteKernelDrops(message.msg_hdr);
    }
    return anyDatagram ? received : FailText("No bytes received (socket shut down).", E_FAIL);
}

int32_t CNetworkSocket::SendBatch(const char* address, std::span<const Outgoing> datagrams,
                                  std::span<int32_t> results)
{
    const size_t count = std::min(datagrams.size(), results.size());
    const int fd = DatagramHandle();
    const ParsedEndpoint remote = ParseEndpoint(address, 0);
    int32_t whole = 0;
    std::array<iovec, kMaxBatch> data;
    std::array<udp::endpoint, kMaxBatch> to;
    std::array<mmsghdr, kMaxBatch> messages;
    std::array<size_t, kMaxBatch> index;  // of each message in `datagrams`
    size_t next = 0;
    while (next < count) {
        // One system call for the next run of datagrams that can be sent;
        // any other one gets the result its own SendTo would give.
        size_t run = 0;
        for (; next < count && run < kMaxBatch; ++next) {
            const Outgoing& datagram = datagrams[next];
            if (auto early = CheckTransfer(fd, kNoDatagramSocket, datagram.buffer, datagram.length)) {
                results[next] = *early;
            } else if (!remote.error.empty()) {
                results[next] = FailText(remote.error, E_FAIL);
            } else if (datagram.port > kMaxPort) {
                results[next] = FailText(PortRangeError(datagram.port), E_FAIL);
            } else if (datagram.length > kMaxTransfer) {
                results[next] = FailText("Datagram too large.", E_FAIL);
            } else {
                to[run] = udp::endpoint(remote.address, static_cast<uint16_t>(datagram.port));
                data[run] = iovec{const_cast<void*>(datagram.buffer), datagram.length};
                messages[run] = mmsghdr{};
                messages[run].msg_hdr.msg_name = to[run].data();
                messages[run].msg_hdr.msg_namelen = static_cast<socklen_t>(to[run].size());
                messages[run].msg_hdr.msg_iov = &data[run];
                messages[run].msg_hdr.msg_iovlen = 1;
                index[run++] = next;
            }
        }
        size_t done = 0;
        while (done < run) {
            const int sent = ::sendmmsg(fd, &messages[done], static_cast<unsigned>(run - done), MSG_NOSIGNAL);
            if (sent <= 0) {
                // The first datagram of the rest failed alone; the rest are
                // tried after it, as separate sends would be.
                results[index[done++]] = sent < 0 ? FailErrno(errno, E_FAIL) : FailText("Datagram not sent.", E_FAIL);
                continue;
            }
            for (int i = 0; i < sent; ++i, ++done) {
                const uint32_t length = datagrams[index[done]].length;
                if (messages[done].msg_len == length) {
                    results[index[done]] = static_cast<int32_t>(length);
                    ++whole;
                } else {
                    results[index[done]] = FailText("Datagram sent in part.", E_FAIL);
                }
            }
        }
    }
    return whole;
}

} // namespace zan
