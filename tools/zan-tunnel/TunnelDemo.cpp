#include "TunnelDemo.h"

#include "Apartment.h"
#include "CNetworkSocket.h"
#include "EventPrinter.h"
#include "HostText.h"
#include "MessagePresenter.h"
#include "Tunnel.h"
#include "TunnelHost.h"

#include <openssl/rand.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace zan {

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kAddressA[] = "127.0.0.2";     // A's receive port listens here
constexpr char kDeliveryA[] = "127.0.0.4";    // A delivers what B sent here
constexpr char kAddressB[] = "127.0.0.3";     // B's receive port listens here
constexpr char kDeliveryB[] = "127.0.0.5";    // B delivers what A sent here

uint16_t FreePort()
{
    CNetworkSocket probe;
    std::string address;
    uint32_t port = 0;
    probe.OpenUdp();
    probe.Bind("127.0.0.1", 0);
    probe.GetLocalEndPoint(address, port);
    return static_cast<uint16_t>(port);
}

std::string RandomHex(size_t bytes)
{
    std::vector<unsigned char> random(bytes);
    if (RAND_bytes(random.data(), static_cast<int>(bytes)) != 1) {
        return {};
    }
    std::string hex;
    char pair[3];
    for (unsigned char b : random) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        hex += pair;
    }
    return hex;
}

int64_t NowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

// A UDP socket of the demo on loopback.
struct DemoSocket {
    DemoSocket(const char* address, uint16_t port)
    {
        socket.OpenUdp();
        ok = socket.Bind(address, port) == S_OK;
    }
    CNetworkSocket socket;
    bool ok = false;
};

struct DemoCounters {
    std::atomic<uint64_t> sent{0};
    std::atomic<uint64_t> delivered{0};  // arrived at B's delivery address
    std::atomic<uint64_t> returned{0};   // came back through A
    std::mutex rttLock;                  // guards: rttUs
    std::vector<int64_t> rttUs;
};

class DemoControl {
public:
    ~DemoControl()
    {
        if (control != nullptr) {
            control->Stop();
            if (point != nullptr) {
                point->Unadvise(cookie);
                point->Release();
            }
            control->ReleaseControl();
        }
    }
    bool Create(EventPrinter& printer)
    {
        if (CZAN_Tunnel::CreateInstance(&control) != S_OK) {
            return false;
        }
        if (control->FindConnectionPoint(DIID__IZAN_TunnelEvents, &point) == S_OK) {
            point->Advise(&printer, &cookie);
        }
        return true;
    }
    CZAN_Tunnel* control = nullptr;
    IConnectionPoint* point = nullptr;
    uint32_t cookie = 0;
};

double Percentile(std::vector<int64_t>& values, double p)
{
    if (values.empty()) {
        return 0;
    }
    const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(index), values.end());
    return static_cast<double>(values[index]) / 1000.0;
}

bool Configure(CZAN_Tunnel& end, const std::string& key, uint32_t cryptoType, const char* receiveAddress,
               uint16_t receivePort, const char* sendAddress)
{
    HRESULT hr = S_OK;
    hr |= end.SetReceiveAddress(HostText(receiveAddress));
    hr |= end.AddReceivePort(receivePort);
    hr |= end.SetSendAddress(HostText(sendAddress));
    hr |= end.put_CryptoType(cryptoType);
    hr |= end.SetProperties(HostText("receiver_nic"), HostText("127.0.0.1"));
    hr |= end.SetProperties(HostText("tunnel_cc"), HostText(key));
    return hr == S_OK;
}

} // namespace

int RunTunnelDemo(const HostOptions& options)
{
    Apartment::Enter();
    EventPrinter printer;
    const uint16_t tunnelPort = FreePort();
    const uint16_t portA = FreePort();
    const uint16_t portB = FreePort();
    const std::string key = "1 " + RandomHex(32) + " " + RandomHex(14) + " 100000";
    DemoCounters counters;
    int exitCode = 0;
    {
        DemoControl a, b;
        if (!a.Create(printer) || !b.Create(printer) ||
            !Configure(*b.control, key, options.demoCryptoType, kAddressB, portB, kDeliveryB) ||
            !Configure(*a.control, key, options.demoCryptoType, kAddressA, portA, kDeliveryA) ||
            b.control->SetDestinationPort(tunnelPort, 0) != S_OK ||
            a.control->SetDestinationAddress(HostText("127.0.0.1"), tunnelPort, 0) != S_OK ||
            b.control->Start() != S_OK || a.control->Start() != S_OK) {
            std::fprintf(stderr, "demo: the tunnels could not be set up\n");
            Apartment::Leave();
            return 1;
        }

        DemoSocket source("127.0.0.1", 0);
        DemoSocket echo(kDeliveryB, portA);     // what A carried arrives here ...
        DemoSocket sink(kDeliveryA, portB);     // ... and comes back through A here
        if (!source.ok || !echo.ok || !sink.ok) {
            std::fprintf(stderr, "demo: the loopback sockets could not be bound\n");
            Apartment::Leave();
            return 1;
        }
        std::printf("demo: %u datagrams of %u bytes at %u/s, crypto type %u, tunnel port %u\n", options.demoCount,
                    options.demoSize, options.demoRate, options.demoCryptoType, tunnelPort);

        std::atomic<bool> done{false};
        std::thread echoThread([&] {
            std::vector<uint8_t> buffer(65536);
            while (!done.load()) {
                std::string from;
                uint32_t port = 0;
                const int32_t n = echo.socket.ReceiveFrom(from, port, buffer.data(), 65536);
                if (n > 0) {
                    ++counters.delivered;
                    echo.socket.SendTo(kAddressB, portB, buffer.data(), static_cast<uint32_t>(n));
                }
            }
        });
        std::thread sinkThread([&] {
            std::vector<uint8_t> buffer(65536);
            while (!done.load()) {
                std::string from;
                uint32_t port = 0;
                const int32_t n = sink.socket.ReceiveFrom(from, port, buffer.data(), 65536);
                if (n >= 8) {
                    int64_t sentUs = 0;
                    std::memcpy(&sentUs, buffer.data(), 8);
                    ++counters.returned;
                    std::lock_guard guard(counters.rttLock);
                    counters.rttUs.push_back(NowUs() - sentUs);
                }
            }
        });

        // B learns A from A's first packet; until then B would drop replies.
        Apartment* apartment = Apartment::Current();
        const auto learnDeadline = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < learnDeadline) {
            const auto stats = b.control->Statistics();
            if (stats && stats->keepAlivesReceived + stats->datagramsReceived > 0) {
                break;
            }
            apartment->PumpFor(10);
        }

        const auto begin = Clock::now();
        const auto interval = std::chrono::duration<double>(1.0 / options.demoRate);
        std::vector<uint8_t> payload(options.demoSize, 0x5A);
        auto nextProgress = begin;
        // A progress line rewritten in place only means something on a terminal.
        const bool progress = ::isatty(STDERR_FILENO) == 1;
        for (uint32_t i = 0; i < options.demoCount && !TunnelHost::stopRequested.load(); ++i) {
            const auto due = begin + std::chrono::duration_cast<Clock::duration>(interval * i);
            while (Clock::now() < due) {
                apartment->PumpFor(0);
                std::this_thread::sleep_until(std::min(due, Clock::now() + std::chrono::milliseconds(1)));
            }
            const int64_t sentUs = NowUs();
            std::memcpy(payload.data(), &sentUs, 8);
            source.socket.SendTo(kAddressA, portA, payload.data(), options.demoSize);
            ++counters.sent;
            if (progress && Clock::now() >= nextProgress) {
                std::fprintf(stderr, "\rdemo: sent %" PRIu64 ", delivered %" PRIu64 ", returned %" PRIu64 "   ",
                             counters.sent.load(), counters.delivered.load(), counters.returned.load());
                nextProgress = Clock::now() + std::chrono::milliseconds(250);
            }
        }
        const double sendSeconds = std::chrono::duration<double>(Clock::now() - begin).count();
        // Stragglers: wait up to a second for the last round trips.
        const auto drainDeadline = Clock::now() + std::chrono::seconds(1);
        while (counters.returned.load() < counters.sent.load() && Clock::now() < drainDeadline) {
            apartment->PumpFor(10);
        }
        done.store(true);
        echoThread.join();
        sinkThread.join();
        if (progress) {
            std::fprintf(stderr, "\n");
        }

        const uint64_t sent = counters.sent.load();
        const uint64_t returned = counters.returned.load();
        std::vector<int64_t> rtt;
        {
            std::lock_guard guard(counters.rttLock);
            rtt = counters.rttUs;
        }
        const double mbits = static_cast<double>(counters.delivered.load()) * options.demoSize * 8 /
                             std::max(sendSeconds, 1e-6) / 1e6;
        std::printf("demo: sent %" PRIu64 ", delivered %" PRIu64 ", returned %" PRIu64 ", lost %" PRIu64
                    " (%.3f%%)\n",
                    sent, counters.delivered.load(), returned, sent - std::min(sent, returned),
                    sent == 0 ? 0.0 : 100.0 * static_cast<double>(sent - std::min(sent, returned)) / sent);
        std::printf("demo: throughput %.2f Mbit/s one way, round trip p50 %.3f ms, p99 %.3f ms\n", mbits,
                    Percentile(rtt, 0.50), Percentile(rtt, 0.99));
        if (returned == 0) {
            exitCode = 1;
        }
    }
    Apartment::Leave();
    return exitCode;
}

} // namespace zan
