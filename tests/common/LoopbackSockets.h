#pragma once

// Plain POSIX loopback peers for the tests: the code under test talks to
// these, so a fault in it cannot hide behind the same fault on both ends.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <utility>
#include <string>

namespace zan {

namespace sockettest {

// An owned descriptor; Get() is -1 when there is none.
struct FdCloser {
    void operator()(const int* fd) const
    {
        ::close(*fd);
        delete fd;
    }
};
class Fd {
public:
    explicit Fd(int fd = -1) : fd(fd >= 0 ? new int(fd) : nullptr) {}
    int Get() const { return fd ? *fd : -1; }
    void Reset() { fd.reset(); }

private:
    std::unique_ptr<int, FdCloser> fd;
};

inline sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

inline uint16_t LocalPort(const Fd& fd)
{
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&sa), &length);
    return ntohs(sa.sin_port);
}

// A socket of `type` bound to 127.0.0.1 on `port` (0: an ephemeral one, else
// with address reuse); a listener with a queue of `backlog` when `listen` is set.
inline Fd BoundSocket(int type, bool listen = false, uint16_t port = 0, int backlog = 4)
{
    Fd fd(::socket(AF_INET, type, 0));
    if (port != 0) {
        const int on = 1;
        ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    const sockaddr_in sa = Loopback(port);
    ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (listen) {
        ::listen(fd.Get(), backlog);
    }
    return fd;
}

// A stream socket connected to 127.0.0.1:`port`; an invalid Fd when refused.
inline Fd Connected(uint16_t port)
{
    Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
    const sockaddr_in sa = Loopback(port);
    return ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? std::move(fd) : Fd();
}

// An ephemeral port that was free a moment ago.
inline uint16_t FreePort(int type)
{
    return LocalPort(BoundSocket(type));
}

// Waits at most `ms` for `fd` to become readable.
inline bool Readable(const Fd& fd, int ms)
{
    pollfd entry{fd.Get(), POLLIN, 0};
    return ::poll(&entry, 1, ms) == 1;
}

inline Fd Accept(const Fd& listener)
{
    return Readable(listener, 5000) ? Fd(::accept(listener.Get(), nullptr, nullptr)) : Fd();
}

// A datagram socket bound to the loopback `address` on `port` (0: ephemeral).
inline Fd BoundUdp(const char* address, uint16_t port = 0)
{
    Fd fd(::socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in sa = Loopback(port);
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    return ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? std::move(fd) : Fd();
}

inline void SendDatagram(const Fd& from, uint32_t port, const std::string& bytes, const char* address = "127.0.0.1")
{
    sockaddr_in to = Loopback(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address, &to.sin_addr);
    ::sendto(from.Get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// What arrives within `ms` milliseconds (one read).
inline std::string ReadSome(const Fd& fd, int ms)
{
    std::string bytes(65536, '\0');
    const ssize_t n = Readable(fd, ms) ? ::recv(fd.Get(), bytes.data(), bytes.size(), MSG_DONTWAIT) : 0;
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

}  // namespace sockettest

} // namespace zan
