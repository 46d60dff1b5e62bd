#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace zan {

// A loopback stand-in for the far end of a TCP tunnel, for tests and
// benchmarks. It listens on 127.0.0.1, accepts tunnel connections, checks
// that each one starts with the greeting byte 0x02 and deframes the stream
// that follows (2-byte little-endian length prefixes):
//   echo  every frame goes back to the connection it came from;
//   pair  connections are paired two by two in the order they arrive and
//         each frame goes to the other side. When a connection ends, its
//         partner waits for the next unpaired connection, so a client that
//         reconnects is paired again.
// A frame with no partner to go to is counted as received and dropped,
// unless HoldUnpaired() asked to keep such frames for the partner to come.
//
// One I/O thread does all socket work (poll with 200 ms waits, non-blocking
// sockets, per-connection output queues). The test controls post commands
// to it and wait, bounded, until they ran. Counters are read under a lock.
class TcpTestPeer {
public:
    enum class Mode { kEcho, kPair };

    static constexpr uint8_t kGreeting = 0x02;
    // A connection whose destination has this much output queued is not
    // read from until it drains.
    static constexpr size_t kMaxQueuedOutput = size_t{8} << 20;
    static constexpr int kPollWaitMs = 200;
    static constexpr int64_t kCommandWaitMs = 5000;

    struct Counters {
        uint64_t accepted = 0;
        uint64_t greetingOk = 0;
        uint64_t greetingBad = 0;  // connections whose first byte was not 0x02
        uint64_t framesReceived = 0;
        uint64_t framesForwarded = 0;
        uint64_t streamErrors = 0;  // length prefixes with the top bit set
        uint64_t framesHeld = 0;    // pair mode: kept until the connection had a partner
        uint64_t closed = 0;        // connections that ended, either side
        uint64_t open = 0;
    };

    explicit TcpTestPeer(Mode mode);
    ~TcpTestPeer();

    TcpTestPeer(const TcpTestPeer&) = delete;
    TcpTestPeer& operator=(const TcpTestPeer&) = delete;

    // Listens on 127.0.0.1:`port` (0: an ephemeral port, see Port()) and
    // starts the I/O thread. False, with Error() telling why, on failure.
    bool Start(uint16_t port = 0);
    // Pair mode: a connection without a partner keeps the frames it sends,
    // up to `bytes` (prefixes included; later ones are dropped), and its
    // partner gets them first once paired. 0 (the default) drops them.
    // Call before Start.
    void HoldUnpaired(size_t bytes) { holdLimit = bytes; }
    // Closes every connection and the listener and joins the thread.
    // Idempotent.
    void Stop();

    uint16_t Port() const { return port; }
    Mode GetMode() const { return mode; }
    std::string Error() const;
    Counters Read() const;

    // Bounded waits on the counters; true when reached in time.
    bool WaitForConnections(uint64_t accepted, int64_t timeoutMs) const;
    bool WaitForFrames(uint64_t received, int64_t timeoutMs) const;
    bool WaitForClosed(uint64_t closed, int64_t timeoutMs) const;

    // Test controls, run on the I/O thread; each returns once it ran (or
    // after kCommandWaitMs). False when the peer is not running.
    bool CloseAllConnections();
    // Queues `bytes` to every open connection, e.g. 00 80 for a stream error.
    bool InjectRaw(std::span<const uint8_t> bytes);

private:
    struct Connection;
    struct Command {
        enum class Kind { kCloseAll, kInject } kind;
        std::vector<uint8_t> bytes;
        uint64_t sequence = 0;
    };

    void Run();
    void RunCommands();
    void Accept();
    void ReadFrom(Connection& connection);
    void TakeFrames(Connection& connection);
    void Forward(Connection& from, std::span<const uint8_t> frame);
    void Flush(Connection& connection);
    void Close(Connection& connection);
    void RemoveClosed();
    void Pair();
    Connection* Partner(const Connection& connection);
    bool Post(Command command);
    bool WaitFor(uint64_t Counters::*field, uint64_t value, int64_t timeoutMs) const;
    void Wake();

    const Mode mode;
    size_t holdLimit = 0;  // set before the thread starts
    uint16_t port = 0;
    int listener = -1;
    int wakeFd = -1;
    std::thread thread;

    // I/O thread only.
    std::map<uint64_t, std::unique_ptr<Connection>> connections;  // by accept order
    uint64_t nextId = 1;
    std::vector<uint8_t> readBuffer;
    std::vector<uint8_t> frameBuffer;

    // guards: counters, commands, postedSequence, doneSequence, running,
    // stopRequested, error
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    Counters counters;
    std::deque<Command> commands;
    uint64_t postedSequence = 0;
    uint64_t doneSequence = 0;
    bool running = false;
    bool stopRequested = false;
    std::string error;
};

} // namespace zan
