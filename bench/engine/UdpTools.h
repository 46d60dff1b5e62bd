#pragma once

// Plain loopback UDP pieces from which the engine benchmark builds its
// reference paths and its load, written straight on the system's socket
// calls so that they share no code with the engine they are compared to:
//
//   UdpSocket   a bound socket, closed with the object
//   Forwarder   one thread: blocking recvfrom, then sendto the next hop,
//               one datagram per call (the zero-work chain's hop, the echo)
//   Sink        one thread that counts the datagrams of the current run
//   SendPaced   the load: numbered datagrams at an offered rate
//
// Every blocking call waits at most kWaitMs, so threads see a stop request.

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

namespace zan {

namespace enginebench {

constexpr int kWaitMs = 200;
// Receive buffer of every hop, the size the engine gives its own sockets.
constexpr int kHopBufferBytes = 2000000;
// The sink sees everything that left the path; it must not be where loss
// happens, so it asks for the most the system grants.
constexpr int kSinkBufferBytes = 4194304;

// The header every benchmark datagram starts with; the rest is filler.
struct Stamp {
    uint32_t run = 0;
    uint64_t sequence = 0;
    int64_t sentNs = 0;  // steady clock
};
constexpr size_t kStampSize = 20;

void WriteStamp(uint8_t* datagram, const Stamp& stamp);
[[nodiscard]] Stamp ReadStamp(const uint8_t* datagram);
[[nodiscard]] int64_t NowNs();

struct Address {
    std::string ip;
    uint16_t port = 0;

    [[nodiscard]] sockaddr_in Sock() const;
    [[nodiscard]] std::string Text() const { return ip + ":" + std::to_string(port); }
};

// A port that is free on `ip` right now (the kernel's pick, released again).
[[nodiscard]] uint16_t FreePort(const std::string& ip);

class UdpSocket {
public:
    // Binds to `at` (port 0: an ephemeral one). Throws std::runtime_error.
    explicit UdpSocket(const Address& at, int receiveBufferBytes = 0);
    ~UdpSocket();

    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    int Fd() const { return fd; }
    [[nodiscard]] Address Local() const;

private:
    int fd = -1;
};

// A thread that runs `Pass` until stopped; each pass waits at most kWaitMs.
class Worker {
public:
    virtual ~Worker() = default;
    void Start();
    // Every subclass calls Stop in its destructor, before its members go.
    void Stop();

protected:
    virtual void Pass() = 0;

private:
    std::atomic<bool> stop{false};
    std::thread thread;
};

class Forwarder : public Worker {
public:
    Forwarder(const Address& listen, const Address& next);
    ~Forwarder() override { Stop(); }
    Address Listen() const { return socket.Local(); }

protected:
    void Pass() override;

private:
    UdpSocket socket;
    sockaddr_in to;
    uint8_t buffer[65536];
};

// Counts the datagrams that carry the armed run number and how many of
// them came before one with a lower sequence number (reordered).
class Sink : public Worker {
public:
    explicit Sink(const Address& listen);
    ~Sink() override { Stop(); }

    void Arm(uint32_t run);
    uint64_t Received() const { return received.load(std::memory_order_acquire); }
    uint64_t Reordered() const { return reordered.load(std::memory_order_acquire); }

protected:
    void Pass() override;

private:
    static constexpr size_t kBatch = 64;
    static constexpr size_t kSlot = 2048;  // datagrams are cut here: only the stamp is read

    UdpSocket socket;
    std::atomic<uint32_t> run{0};
    std::atomic<uint64_t> received{0};
    std::atomic<uint64_t> reordered{0};
    uint32_t lastRun = 0;  // sink thread only
    uint64_t lastSequence = 0;  // sink thread only
    uint8_t slots[kBatch][kSlot];
};

struct SendReport {
    uint64_t sent = 0;
    double seconds = 0;
};

// Sends up to `count` datagrams of `size` bytes (at least kStampSize) to
// `to`, numbered from 0 with run `run`, at `rate` per second, for at most
// `limit`: each millisecond the datagrams due are sent in one sendmmsg.
// A rate of 0 sends as fast as the socket takes them.
SendReport SendPaced(UdpSocket& from, const Address& to, size_t size, uint32_t run, double rate, uint64_t count,
                     std::chrono::milliseconds limit);

}  // namespace enginebench

} // namespace zan
