#include "UdpTools.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace zan {

namespace enginebench {

namespace {

template <typename T>
void PutLittle(uint8_t* at, T value)
{
    for (size_t i = 0; i < sizeof(T); ++i) {
        at[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
    }
}

template <typename T>
T GetLittle(const uint8_t* at)
{
    uint64_t value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
        value |= static_cast<uint64_t>(at[i]) << (8 * i);
    }
    return static_cast<T>(value);
}

[[noreturn]] void Throw(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void SetReceiveTimeout(int fd, int ms)
{
    const timeval limit{ms / 1000, (ms % 1000) * 1000};
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        Throw("SO_RCVTIMEO");
    }
}

}  // namespace

void WriteStamp(uint8_t* datagram, const Stamp& stamp)
{
    PutLittle(datagram, stamp.run);
    PutLittle(datagram + 4, stamp.sequence);
    PutLittle(datagram + 12, stamp.sentNs);
}

Stamp ReadStamp(const uint8_t* datagram)
{
    return Stamp{GetLittle<uint32_t>(datagram), GetLittle<uint64_t>(datagram + 4), GetLittle<int64_t>(datagram + 12)};
}

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

sockaddr_in Address::Sock() const
{
    sockaddr_in sock{};
    sock.sin_family = AF_INET;
    sock.sin_port = htons(port);
    if (::inet_pton(AF_INET, ip.c_str(), &sock.sin_addr) != 1) {
        throw std::runtime_error("not an IPv4 address: " + ip);
    }
    return sock;
}

uint16_t FreePort(const std::string& ip)
{
    return UdpSocket(Address{ip, 0}).Local().port;
}

UdpSocket::UdpSocket(const Address& at, int receiveBufferBytes)
{
    fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Throw("socket");
    }
    const int on = 1;
    (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (receiveBufferBytes > 0) {
        (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
    }
    const sockaddr_in sock = at.Sock();
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sock), sizeof sock) != 0) {
        const std::string where = "bind " + at.Text();
        ::close(fd);
        Throw(where);
    }
    SetReceiveTimeout(fd, kWaitMs);
}

UdpSocket::~UdpSocket()
{
    ::close(fd);
}

Address UdpSocket::Local() const
{
    sockaddr_in sock{};
    socklen_t length = sizeof sock;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sock), &length) != 0) {
        Throw("getsockname");
    }
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &sock.sin_addr, text, sizeof text);
    return Address{text, ntohs(sock.sin_port)};
}

void Worker::Start()
{
    stop.store(false);
    thread = std::thread([this] {
        while (!stop.load(std::memory_order_relaxed)) {
            Pass();
        }
    });
}

void Worker::Stop()
{
    stop.store(true);
    if (thread.joinable()) {
        thread.join();
    }
}

Forwarder::Forwarder(const Address& listen, const Address& next)
    : socket(listen, kHopBufferBytes), to(next.Sock())
{
    Start();
}

void Forwarder::Pass()
{
    const ssize_t n = ::recvfrom(socket.Fd(), buffer, sizeof buffer, 0, nullptr, nullptr);
    if (n > 0) {
        (void)::sendto(socket.Fd(), buffer, static_cast<size_t>(n), 0, reinterpret_cast<const sockaddr*>(&to),
                       sizeof to);
    }
}

Sink::Sink(const Address& listen) : socket(listen, kSinkBufferBytes)
{
    Start();
}

void Sink::Arm(uint32_t newRun)
{
    // Only the sink thread writes the counters while a run is armed; a run
    // number the load never uses (0) parks it between runs.
    run.store(0, std::memory_order_release);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    received.store(0, std::memory_order_release);
    reordered.store(0, std::memory_order_release);
    run.store(newRun, std::memory_order_release);
}

void Sink::Pass()
{
    iovec data[kBatch];
    mmsghdr messages[kBatch] = {};
    for (size_t i = 0; i < kBatch; ++i) {
        data[i] = iovec{slots[i], kSlot};
        messages[i].msg_hdr.msg_iov = &data[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int n = ::recvmmsg(socket.Fd(), messages, kBatch, MSG_WAITFORONE, nullptr);
    const uint32_t armed = run.load(std::memory_order_acquire);
    uint64_t counted = 0;
    uint64_t late = 0;
    for (int i = 0; i < n; ++i) {
        if (messages[i].msg_len < kStampSize) {
            continue;
        }
        const Stamp stamp = ReadStamp(slots[i]);
        if (armed == 0 || stamp.run != armed) {
            continue;  // a straggler of an earlier run
        }
        if (stamp.run == lastRun && stamp.sequence < lastSequence) {
            ++late;
        }
        lastRun = stamp.run;
        lastSequence = stamp.sequence;
        ++counted;
    }
    if (counted > 0) {
        received.fetch_add(counted, std::memory_order_acq_rel);
        reordered.fetch_add(late, std::memory_order_acq_rel);
    }
}

SendReport SendPaced(UdpSocket& from, const Address& to, size_t size, uint32_t run, double rate, uint64_t count,
                     std::chrono::milliseconds limit)
{
    constexpr size_t kBurst = 64;
    size = std::max(size, kStampSize);
    std::vector<uint8_t> datagrams(kBurst * size, 0x5A);
    const sockaddr_in target = to.Sock();
    iovec data[kBurst];
    mmsghdr messages[kBurst] = {};
    for (size_t i = 0; i < kBurst; ++i) {
        data[i] = iovec{&datagrams[i * size], size};
        messages[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&target);
        messages[i].msg_hdr.msg_namelen = sizeof target;
        messages[i].msg_hdr.msg_iov = &data[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }

    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + limit;
    SendReport report;
    while (report.sent < count) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            break;
        }
        const double elapsed = std::chrono::duration<double>(now - start).count();
        const uint64_t due = rate <= 0 ? count : std::min<uint64_t>(count, static_cast<uint64_t>(elapsed * rate) + 1);
        while (report.sent < due && std::chrono::steady_clock::now() < deadline) {
            const size_t burst = std::min<uint64_t>(kBurst, due - report.sent);
            const int64_t stampNs = NowNs();
            for (size_t i = 0; i < burst; ++i) {
                WriteStamp(&datagrams[i * size], Stamp{run, report.sent + i, stampNs});
            }
            const int n = ::sendmmsg(from.Fd(), messages, static_cast<unsigned>(burst), 0);
            if (n <= 0) {
                break;  // the socket's send buffer is full: go on at the next tick
            }
            report.sent += static_cast<uint64_t>(n);
        }
        if (rate > 0) {
            std::this_thread::sleep_until(now + std::chrono::milliseconds(1));
        }
    }
    report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return report;
}

}  // namespace enginebench

} // namespace zan
