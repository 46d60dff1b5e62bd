#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <system_error>

struct msghdr;

namespace zan {

// A blocking IPv4 socket wrapper: one datagram socket and a pair of stream
// sockets (the "connect" socket that carries a TCP connection and a second
// "bind" socket), with every call turned into a result code.
//
// Results: 0 (S_OK) on success, E_FAIL on failure, a byte count for
// transfers, IoFailure when a stream transfer's system call failed or the
// peer closed the stream. A failed system call stores its errno value in
// LastErrorCode and its message in LastErrorText; a failure found before any
// system call (an address text that is no numeric IP literal, a null
// buffer, a port above 65535, a missing socket) stores only a text and
// leaves the code as it was. The code is never cleared by a success.
//
// Waits are bounded: ReceiveFrom and SendWhenWritable wait at most 200 ms,
// Receive waits the caller's time-out. Send and Connect block as the system
// call does.
//
// Threads: one thread may receive while another sends on the same object.
// Shutdown() may be called from any thread at any time while the sockets
// exist: it shuts the open sockets down (the descriptors stay valid), so a
// receive blocked in its wait returns at once with a failure result, a
// blocked send or connect fails, and every later transfer fails. Open*,
// Close and destruction must not overlap any other call.
class CNetworkSocket {
public:
    // Bounded waits of the datagram read and the writable wait.
    static constexpr int64_t kSocketWaitMs = 200;

    // A time-out as the wait takes it: whole seconds and the microseconds
    // left over. Negative time-outs give negative parts, which the wait
    // refuses as an invalid argument.
    struct WaitTime {
        int64_t seconds;
        int64_t microseconds;
    };
    [[nodiscard]] static WaitTime SplitTimeout(int64_t timeoutMs);

    CNetworkSocket();
    virtual ~CNetworkSocket();

    CNetworkSocket(const CNetworkSocket&) = delete;
    CNetworkSocket& operator=(const CNetworkSocket&) = delete;

    // Replaces the datagram socket with a newly opened IPv4/UDP one.
    bool OpenUdp();
    // Replaces both stream sockets; the bind socket is opened only when the
    // connect socket opened. True when both are open.
    bool OpenTcp();
    // Closes the datagram, connect and bind sockets in that order (the
    // objects stay, so Connect can reopen the connect socket). A failing
    // close ends the sequence.
    void Close();
    // See the class comment.
    void Shutdown();

    // Binds the open datagram socket; without one, the open bind socket
    // (after turning SO_REUSEADDR off on it). A null address means 0.0.0.0.
    // 0 also when no socket is open.
    int32_t Bind(const char* address, uint32_t port);
    // Blocking connect of the connect socket, reopening it when closed.
    int32_t Connect(const char* address, uint32_t port);
    // The same connect without blocking for long: it is waited for in
    // slices of at most kConnectSliceMs, and the calling thread's wait pump
    // (ThreadWaitPump.h) runs between slices. E_FAIL (ETIMEDOUT recorded)
    // after `limitMs`; E_FAIL when `cancel` (may be null) turns true or
    // Shutdown() is called meanwhile.
    int32_t ConnectBounded(const char* address, uint32_t port, int64_t limitMs,
                           const std::atomic<bool>* cancel = nullptr,
                           const std::atomic<bool>* alsoCancel = nullptr);
    static constexpr int64_t kConnectSliceMs = 50;

    // One datagram; returns `length` when all of it went out, else E_FAIL.
    int32_t SendTo(const char* address, uint32_t port, const void* buffer, uint32_t length);
    // Waits up to 200 ms for one datagram and reads it into `buffer`.
    // Returns its size (> 0), 0 when none arrived (`address` is then empty),
    // E_FAIL when there is no open datagram socket, the wait failed, the
    // read failed or gave 0 bytes, or the datagram was larger than
    // `capacity` (it is then discarded, never delivered cut short).
    int32_t ReceiveFrom(std::string& address, uint32_t& port, void* buffer, uint32_t capacity);

    // One send on the connect socket; the system may take fewer bytes.
    int32_t Send(const void* buffer, uint32_t length);
    // Waits up to 200 ms for the connect socket to take data, then sends
    // what it takes at once without blocking; 0 when not writable in time.
    int32_t SendWhenWritable(const void* buffer, uint32_t length);
    // Waits up to `timeoutMs` for data on the connect socket and reads what
    // is there. 0 on time-out; IoFailure on an error or at end of stream.
    int32_t Receive(void* buffer, uint32_t capacity, int64_t timeoutMs);
    // Waits up to `waitMs` for the far end to close or reset the connect
    // socket, reading nothing. True (the error recorded) when it did, or
    // when there is no connect socket.
    bool ClosedWithin(int64_t waitMs);

    // The local address (numeric text) and port of the datagram socket, or
    // of the bind socket when there is no datagram socket.
    int32_t GetLocalEndPoint(std::string& address, uint32_t& port);

    int32_t SetReuseAddress();
    int32_t SetSendBufferSize(int32_t size);
    int32_t SetReceiveBufferSize(int32_t size);
    int32_t SetMulticastLoop(bool enabled);
    int32_t SetMulticastInterface(const char* interfaceAddress);
    // Membership on the interface with the IPv4 address `interfaceAddress`;
    // null (or "0.0.0.0") lets the system choose.
    int32_t JoinGroup(const char* groupAddress, const char* interfaceAddress = nullptr);
    int32_t LeaveGroup(const char* groupAddress, const char* interfaceAddress = nullptr);

    // Datagrams the system dropped because this datagram socket's receive
    // queue was full, since it was opened, as far as the reads have told
    // (each batch read brings the latest count). Readable from any thread.
    uint64_t KernelDrops() const;

    // True for IPv4 literals 224.0.0.0 to 239.255.255.255; false for
    // anything else, host names included.
    [[nodiscard]] static bool IsMulticastAddress(const char* address);
    // The first IPv4 address a name resolves to (the first address of any
    // family when it has none), as numeric text; numeric texts come back
    // unchanged. Empty when the name is empty or does not resolve.
    [[nodiscard]] static std::string ResolveHostAddress(const char* host);

    int32_t LastErrorCode() const;
    std::string LastErrorText() const;

    // Beyond the single-datagram calls: reads the datagrams already waiting
    // in one system call, after waiting up to 200 ms for the first. Each
    // entry gets one datagram in arrival order; returns how many were
    // filled (0 when none arrived), or E_FAIL as ReceiveFrom does. A
    // datagram larger than its entry's capacity is reported through its
    // `truncated` flag and must not be used.
    struct Datagram {
        void* buffer = nullptr;
        uint32_t capacity = 0;
        uint32_t length = 0;
        bool truncated = false;
        std::string address;
        uint32_t port = 0;
    };
    int32_t ReceiveMany(std::span<Datagram> datagrams);

    // The engine's batched datagram calls. The datagram socket carries a
    // receive time-out of kSocketWaitMs from OpenUdp on, so ReceiveBatch
    // waits inside its one read instead of polling first.
    static constexpr size_t kMaxBatch = 64;
    struct Slot {
        void* buffer = nullptr;
        uint32_t capacity = 0;
        uint32_t length = 0;          // 0 for an empty datagram: skip it
        bool truncated = false;       // larger than `capacity`: must not be used
        uint32_t senderAddress = 0;   // IPv4, host order
        uint16_t senderPort = 0;
    };
    // Waits up to 200 ms for a datagram and reads it together with those
    // already waiting behind it (up to kMaxBatch), in arrival order, with
    // one system call. Returns how many slots were filled, 0 when none
    // arrived, E_FAIL as ReceiveFrom does, and also when the read named no
    // sender (as every read of a shut-down socket does). An empty datagram
    // fills its slot with length 0.
    int32_t ReceiveBatch(std::span<Slot> slots);

    struct Outgoing {
        const void* buffer = nullptr;
        uint32_t length = 0;
        uint32_t port = 0;
    };
    // Sends the datagrams in order to `address`, each to its own port, as
    // many per system call as the system takes. results[i] receives what
    // SendTo would have returned for datagrams[i] (its length, else E_FAIL
    // with the failure recorded); each datagram is tried once. Returns how
    // many went out.
    int32_t SendBatch(const char* address, std::span<const Outgoing> datagrams, std::span<int32_t> results);

    // Dotted text of an IPv4 address given in host order.
    [[nodiscard]] static std::string AddressText(uint32_t address);

private:
    // Descriptors of the open datagram and connect sockets; -1 when closed.
    int DatagramHandle() const;
    int StreamHandle() const;

    // The checks before a transfer and the bounded wait for readiness. Each
    // gives nothing when the transfer may go ahead, else the result to
    // return: E_FAIL (recorded) for a missing socket, a null buffer with a
    // non-zero length or a failed wait; 0 when the wait timed out.
    std::optional<int32_t> CheckTransfer(int fd, const char* missingSocket, const void* buffer,
                                         uint32_t length);
    // `seen`, when given, receives the poll result flags.
    std::optional<int32_t> AwaitReady(int fd, short events, WaitTime wait, short* seen = nullptr);
    // The result of a datagram read that found nothing after a wake-up.
    int32_t NothingRead(short seen);

    // A failed system call or library call with an error code: code and
    // message both recorded. Returns `result` for a one-line return.
    int32_t Fail(const std::error_code& error, int32_t result);
    int32_t FailErrno(int error, int32_t result);
    // A failure found before any system call: only the text is recorded.
    int32_t FailText(const std::string& text, int32_t result);

    // The asio I/O context and the three socket objects (CNetworkSocket.cpp),
    // kept out of this header so its users do not compile asio.
    struct Sockets;

    // A parsed remote end point (CNetworkSocket.cpp).
    struct Remote;
    // Checks the connect socket (reopening it when closed) and parses the
    // remote end point; gives the failure to return, or nothing.
    std::optional<int32_t> PrepareConnect(const char* address, uint32_t port, Remote& remote);
    // Waits for the non-blocking connect on `fd` to end; see ConnectBounded.
    int32_t AwaitConnect(int fd, int64_t limitMs, const std::atomic<bool>* cancel,
                         const std::atomic<bool>* alsoCancel);

    int32_t SetBufferSize(int32_t size, bool sendSide);
    int32_t SetMembership(const char* groupAddress, const char* interfaceAddress, bool join);
    // Takes the system's drop count from a read's control data.
    void NoteKernelDrops(const ::msghdr& message);
    // 0 for no error, else the failure recorded.
    int32_t Result(const std::error_code& error);

    mutable std::mutex errorLock;  // guards: lastErrorText, lastErrorCode
    std::string lastErrorText;
    int32_t lastErrorCode = 0;

    std::unique_ptr<Sockets> sockets;
    // Written by the reading thread only; widened past the system's 32 bits.
    std::atomic<uint64_t> kernelDrops{0};
};

} // namespace zan
