#pragma once

// Plain POSIX loopback peers for the socket tests: the code under test talks
// to these, so a fault in it cannot hide behind the same fault on both ends.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace sockettest {

// An owned descriptor.
class Fd {
public:
    explicit Fd(int fd = -1) : fd(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& other) noexcept : fd(other.fd) { other.fd = -1; }
    Fd& operator=(Fd&& other) noexcept
    {
        if (this != &other) {
            Reset();
            fd = other.fd;
            other.fd = -1;
        }
        return *this;
    }
    int Get() const { return fd; }
    void Reset()
    {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = -1;
    }

private:
    int fd;
};

inline sockaddr_in Loopback(uint16_t port, const char* address = "127.0.0.1")
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    return sa;
}

inline uint16_t LocalPort(int fd)
{
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length);
    return ntohs(sa.sin_port);
}

// A socket of `type` bound to 127.0.0.1 on an ephemeral port.
inline Fd BoundSocket(int type, const char* address = "127.0.0.1")
{
    Fd fd(::socket(AF_INET, type, 0));
    const sockaddr_in sa = Loopback(0, address);
    ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return fd;
}

// An ephemeral port that was free a moment ago (for tests that must name
// the port they bind to).
inline uint16_t FreePort(int type)
{
    Fd probe = BoundSocket(type);
    return LocalPort(probe.Get());
}

inline Fd Listener()
{
    Fd fd = BoundSocket(SOCK_STREAM);
    ::listen(fd.Get(), 4);
    return fd;
}

// Accepts one connection, waiting at most 5 s.
inline Fd Accept(const Fd& listener)
{
    pollfd entry{listener.Get(), POLLIN, 0};
    if (::poll(&entry, 1, 5000) != 1) {
        return Fd();
    }
    return Fd(::accept(listener.Get(), nullptr, nullptr));
}

inline void SendDatagram(const Fd& from, uint16_t port, const std::string& bytes)
{
    const sockaddr_in to = Loopback(port);
    ::sendto(from.Get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

// Reads what arrives within `ms` milliseconds, up to `max` bytes.
inline std::string ReadSome(const Fd& fd, int ms, size_t max = 65536)
{
    std::string bytes(max, '\0');
    pollfd entry{fd.Get(), POLLIN, 0};
    if (::poll(&entry, 1, ms) != 1) {
        return {};
    }
    const ssize_t n = ::recv(fd.Get(), bytes.data(), bytes.size(), MSG_DONTWAIT);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

}  // namespace sockettest
