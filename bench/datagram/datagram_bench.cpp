// Costs on the datagram paths: a ring push and pop (the socket stack's
// queues), and loopback UDP read one datagram per call against a batch per
// call.
#include "CNetworkSocket.h"
#include "ResultCodes.h"
#include "TunnelStackBuffer.h"

#include <benchmark/benchmark.h>

#include <array>
#include <string>
#include <vector>

namespace zan {

namespace {

void BM_RingPushPop(benchmark::State& state)
{
    TunnelStackBuffer ring;
    const std::vector<uint8_t> datagram(static_cast<size_t>(state.range(0)), 0x42);
    std::vector<uint8_t> out(datagram.size());
    const PacketEndpoint endpoint{5004, "127.0.0.2", ""};
    PacketEndpoint from;
    uint8_t kind = 0;
    for (auto _ : state) {
        ring.PushData(datagram.data(), static_cast<uint32_t>(datagram.size()), endpoint, 2);
        uint32_t length = static_cast<uint32_t>(out.size());
        benchmark::DoNotOptimize(ring.Pop(out.data(), length, from, kind));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_RingPushPop)->Arg(64)->Arg(1200);

// A sender and a receiver on loopback; each iteration moves `batch`
// datagrams of 1200 bytes.
struct UdpPair {
    CNetworkSocket receiver;
    CNetworkSocket sender;
    uint32_t port = 0;
    UdpPair()
    {
        receiver.OpenUdp();
        receiver.SetReceiveBufferSize(2000000);
        receiver.Bind("127.0.0.1", 0);
        std::string address;
        receiver.GetLocalEndPoint(address, port);
        sender.OpenUdp();
    }
};

void BM_UdpReceiveFrom(benchmark::State& state)
{
    UdpPair pair;
    const int batch = static_cast<int>(state.range(0));
    std::array<uint8_t, 1200> payload{};
    std::array<uint8_t, 65535> buffer{};
    std::string address;
    uint32_t port = 0;
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) {
            pair.sender.SendTo("127.0.0.1", pair.port, payload.data(), payload.size());
        }
        for (int i = 0; i < batch; ++i) {
            benchmark::DoNotOptimize(pair.receiver.ReceiveFrom(address, port, buffer.data(), buffer.size()));
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * batch);
}
BENCHMARK(BM_UdpReceiveFrom)->Arg(32);

void BM_UdpReceiveMany(benchmark::State& state)
{
    UdpPair pair;
    const int batch = static_cast<int>(state.range(0));
    std::array<uint8_t, 1200> payload{};
    std::vector<std::array<uint8_t, 65535>> buffers(static_cast<size_t>(batch));
    std::vector<CNetworkSocket::Datagram> datagrams(buffers.size());
    for (size_t i = 0; i < buffers.size(); ++i) {
        datagrams[i].buffer = buffers[i].data();
        datagrams[i].capacity = static_cast<uint32_t>(buffers[i].size());
    }
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) {
            pair.sender.SendTo("127.0.0.1", pair.port, payload.data(), payload.size());
        }
        for (int received = 0; received < batch;) {
            const int32_t n = pair.receiver.ReceiveMany(datagrams);
            if (n <= 0) {
                state.SkipWithError("datagrams lost");
                break;
            }
            received += n;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * batch);
}
BENCHMARK(BM_UdpReceiveMany)->Arg(32);

}  // namespace

} // namespace zan
