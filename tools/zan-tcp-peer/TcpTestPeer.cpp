#include "TcpTestPeer.h"

#include "TcpFrameDeframer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace zan {

struct TcpTestPeer::Connection {
    uint64_t id = 0;
    int fd = -1;
    bool greetingSeen = false;
    bool closed = false;
    uint64_t partner = 0;  // pair mode: the other side's id, 0 for none
    TcpFrameDeframer deframer;
    std::vector<uint8_t> output;  // queued, not yet taken by the socket
    std::vector<uint8_t> held;    // pair mode: frames sent before it had a partner
};

namespace {

bool Transient(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

}  // namespace

TcpTestPeer::TcpTestPeer(Mode mode)
    : mode(mode), readBuffer(65536), frameBuffer(TcpFrameDeframer::kMaxFrameLength)
{
}

TcpTestPeer::~TcpTestPeer()
{
    Stop();
}

std::string TcpTestPeer::Error() const
{
    std::lock_guard guard(lock);
    return error;
}

TcpTestPeer::Counters TcpTestPeer::Read() const
{
    std::lock_guard guard(lock);
    return counters;
}

bool TcpTestPeer::Start(uint16_t wanted)
{
    const auto fail = [this](const char* what) {
        std::lock_guard guard(lock);
        error = std::string(what) + ": " + std::strerror(errno);
        return false;
    };
    if (thread.joinable()) {
        return true;
    }
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        return fail("socket");
    }
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(wanted);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return fail("bind");
    }
    if (::listen(listener, 16) != 0) {
        return fail("listen");
    }
    if (::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return fail("getsockname");
    }
    port = ntohs(address.sin_port);
    wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        return fail("eventfd");
    }
    {
        std::lock_guard guard(lock);
        running = true;
        stopRequested = false;
    }
    thread = std::thread([this] { Run(); });
    return true;
}

void TcpTestPeer::Stop()
{
    {
        std::lock_guard guard(lock);
        stopRequested = true;
    }
    if (thread.joinable()) {
        Wake();
        thread.join();
    }
    for (int* fd : {&listener, &wakeFd}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

void TcpTestPeer::Wake()
{
    const uint64_t one = 1;
    (void)!::write(wakeFd, &one, sizeof one);
}

// ---- controls -------------------------------------------------------------

bool TcpTestPeer::Post(Command command)
{
    std::unique_lock guard(lock);
    if (!running) {
        return false;
    }
    command.sequence = ++postedSequence;
    const uint64_t sequence = command.sequence;
    commands.push_back(std::move(command));
    Wake();
    return changed.wait_for(guard, std::chrono::milliseconds(kCommandWaitMs),
                            [&] { return doneSequence >= sequence || !running; }) &&
           doneSequence >= sequence;
}

bool TcpTestPeer::CloseAllConnections()
{
    return Post(Command{Command::Kind::kCloseAll, {}});
}

bool TcpTestPeer::InjectRaw(std::span<const uint8_t> bytes)
{
    return Post(Command{Command::Kind::kInject, std::vector<uint8_t>(bytes.begin(), bytes.end())});
}

bool TcpTestPeer::WaitFor(uint64_t Counters::*field, uint64_t value, int64_t timeoutMs) const
{
    std::unique_lock guard(lock);
    return changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                            [&] { return counters.*field >= value; });
}

bool TcpTestPeer::WaitForConnections(uint64_t accepted, int64_t timeoutMs) const
{
    return WaitFor(&Counters::accepted, accepted, timeoutMs);
}

bool TcpTestPeer::WaitForFrames(uint64_t received, int64_t timeoutMs) const
{
    return WaitFor(&Counters::framesReceived, received, timeoutMs);
}

bool TcpTestPeer::WaitForClosed(uint64_t closed, int64_t timeoutMs) const
{
    return WaitFor(&Counters::closed, closed, timeoutMs);
}

// ---- the I/O thread -------------------------------------------------------

void TcpTestPeer::Run()
{
    std::vector<pollfd> entries;
    std::vector<Connection*> polled;
    for (;;) {
        {
            std::lock_guard guard(lock);
            if (stopRequested) {
                break;
            }
        }
        entries.assign({pollfd{wakeFd, POLLIN, 0}, pollfd{listener, POLLIN, 0}});
        polled.clear();
        for (auto& [id, connection] : connections) {
            const Connection* destination = mode == Mode::kEcho ? connection.get() : Partner(*connection);
            short events = 0;
            if (destination == nullptr || destination->output.size() < kMaxQueuedOutput) {
                events |= POLLIN;
            }
            if (!connection->output.empty()) {
                events |= POLLOUT;
            }
            entries.push_back(pollfd{connection->fd, events, 0});
            polled.push_back(connection.get());
        }
        if (::poll(entries.data(), entries.size(), kPollWaitMs) < 0 && errno != EINTR) {
            break;
        }
        for (size_t i = 0; i < polled.size(); ++i) {
            const short seen = entries[i + 2].revents;
            if ((seen & (POLLIN | POLLHUP | POLLERR)) != 0 && !polled[i]->closed) {
                ReadFrom(*polled[i]);
            }
            if ((seen & POLLOUT) != 0 && !polled[i]->closed) {
                Flush(*polled[i]);
            }
        }
        // Ends are taken before new connections, so a client that closed
        // and reconnected is paired again on the new connection.
        RemoveClosed();
        if ((entries[1].revents & POLLIN) != 0) {
            Accept();
        }
        if ((entries[0].revents & POLLIN) != 0) {
            uint64_t count = 0;
            (void)!::read(wakeFd, &count, sizeof count);
            RunCommands();
        }
        RemoveClosed();
        Pair();
    }
    for (auto& [id, connection] : connections) {
        Close(*connection);
    }
    RemoveClosed();
    std::lock_guard guard(lock);
    running = false;
    changed.notify_all();
}

void TcpTestPeer::RunCommands()
{
    std::deque<Command> pending;
    {
        std::lock_guard guard(lock);
        pending.swap(commands);
    }
    uint64_t done = 0;
    for (Command& command : pending) {
        for (auto& [id, connection] : connections) {
            if (connection->closed) {
                continue;
            }
            if (command.kind == Command::Kind::kCloseAll) {
                Close(*connection);
            } else {
                connection->output.insert(connection->output.end(), command.bytes.begin(), command.bytes.end());
                Flush(*connection);
            }
        }
        done = command.sequence;
    }
    RemoveClosed();
    std::lock_guard guard(lock);
    doneSequence = std::max(doneSequence, done);
    changed.notify_all();
}

void TcpTestPeer::Accept()
{
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;  // nothing more waiting (or a transient failure: poll again)
        }
        auto connection = std::make_unique<Connection>();
        connection->id = nextId++;
        connection->fd = fd;
        connections.emplace(connection->id, std::move(connection));
        std::lock_guard guard(lock);
        ++counters.accepted;
        ++counters.open;
        changed.notify_all();
    }
}

void TcpTestPeer::ReadFrom(Connection& connection)
{
    const ssize_t received = ::recv(connection.fd, readBuffer.data(), readBuffer.size(), MSG_DONTWAIT);
    if (received < 0 && Transient(errno)) {
        return;
    }
    if (received <= 0) {
        Close(connection);
        return;
    }
    std::span<const uint8_t> bytes(readBuffer.data(), static_cast<size_t>(received));
    if (!connection.greetingSeen) {
        connection.greetingSeen = true;
        const bool ok = bytes.front() == kGreeting;
        if (ok) {
            bytes = bytes.subspan(1);  // a wrong first byte is left to the stream
        }
        std::lock_guard guard(lock);
        ++(ok ? counters.greetingOk : counters.greetingBad);
        changed.notify_all();
    }
    while (!bytes.empty() && !connection.closed) {
        bytes = bytes.subspan(connection.deframer.Append(bytes));
        TakeFrames(connection);
    }
}

void TcpTestPeer::TakeFrames(Connection& connection)
{
    using Step = TcpFrameDeframer::Step;
    for (;;) {
        size_t length = 0;
        const Step step = connection.deframer.TakeFrame(frameBuffer, length);
        if (step == Step::kNeedMore) {
            return;
        }
        if (step == Step::kStreamError) {
            {
                std::lock_guard guard(lock);
                ++counters.streamErrors;
            }
            Close(connection);
            return;
        }
        {
            std::lock_guard guard(lock);
            ++counters.framesReceived;
            changed.notify_all();
        }
        Forward(connection, std::span<const uint8_t>(frameBuffer.data(), length));
    }
}

void TcpTestPeer::Forward(Connection& from, std::span<const uint8_t> frame)
{
    if (mode == Mode::kPair && from.partner == 0) {
        Pair();  // a partner may have arrived in this same pass
    }
    Connection* to = mode == Mode::kEcho ? &from : Partner(from);
    uint8_t prefix[TcpFrameDeframer::kPrefixSize];
    if (!WriteFramePrefix(prefix, frame.size())) {
        return;
    }
    if (to == nullptr && mode == Mode::kPair && from.held.size() + sizeof prefix + frame.size() <= holdLimit) {
        from.held.insert(from.held.end(), std::begin(prefix), std::end(prefix));
        from.held.insert(from.held.end(), frame.begin(), frame.end());
        std::lock_guard guard(lock);
        ++counters.framesHeld;
        return;
    }
    if (to == nullptr || to->closed) {
        return;
    }
    to->output.insert(to->output.end(), std::begin(prefix), std::end(prefix));
    to->output.insert(to->output.end(), frame.begin(), frame.end());
    {
        // Counted before the bytes leave, so a client that received the
        // frame finds it counted.
        std::lock_guard guard(lock);
        ++counters.framesForwarded;
        changed.notify_all();
    }
    Flush(*to);
}

void TcpTestPeer::Flush(Connection& connection)
{
    size_t taken = 0;
    while (taken < connection.output.size()) {
        const ssize_t sent = ::send(connection.fd, connection.output.data() + taken,
                                    connection.output.size() - taken, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) {
            if (!Transient(errno)) {
                Close(connection);
                return;
            }
            break;
        }
        taken += static_cast<size_t>(sent);
    }
    connection.output.erase(connection.output.begin(), connection.output.begin() + static_cast<ptrdiff_t>(taken));
}

void TcpTestPeer::Close(Connection& connection)
{
    if (connection.closed) {
        return;
    }
    connection.closed = true;
    // The partner is free at once, so a frame read later in this same pass
    // can already go to a new partner.
    if (Connection* partner = Partner(connection)) {
        partner->partner = 0;
    }
    connection.partner = 0;
    ::close(connection.fd);
    connection.fd = -1;
    connection.output.clear();
    connection.held.clear();
    std::lock_guard guard(lock);
    ++counters.closed;
    --counters.open;
    changed.notify_all();
}

void TcpTestPeer::RemoveClosed()
{
    for (auto it = connections.begin(); it != connections.end();) {
        if (it->second->closed) {
            it = connections.erase(it);
        } else {
            ++it;
        }
    }
}

TcpTestPeer::Connection* TcpTestPeer::Partner(const Connection& connection)
{
    const auto it = connections.find(connection.partner);
    return it == connections.end() ? nullptr : it->second.get();
}

void TcpTestPeer::Pair()
{
    if (mode != Mode::kPair) {
        return;
    }
    Connection* waiting = nullptr;
    for (auto& [id, connection] : connections) {
        if (connection->closed || connection->partner != 0) {
            continue;
        }
        if (waiting == nullptr) {
            waiting = connection.get();
            continue;
        }
        waiting->partner = connection->id;
        connection->partner = waiting->id;
        // What each sent while alone goes first; the next poll sends it.
        waiting->output.insert(waiting->output.end(), connection->held.begin(), connection->held.end());
        connection->output.insert(connection->output.end(), waiting->held.begin(), waiting->held.end());
        connection->held.clear();
        waiting->held.clear();
        waiting = nullptr;
    }
}

} // namespace zan
