// Crypt throughput per crypto type for a 1200-byte payload (a typical media
// datagram), encrypting and decrypting; SetKey cost per type apart.

#include "CipherEngine.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace zan {

namespace {

constexpr uint32_t kPayload = 1200;

void BM_Crypt(benchmark::State& state)
{
    const auto type = int32_t(state.range(0));
    const auto mode = int32_t(state.range(1));
    CipherEngine engine;
    engine.SetKey("benchmark key text", type);
    std::vector<uint8_t> in(kPayload + 16, 0x3C);
    std::vector<uint8_t> out(kPayload + 16);
    for (auto _ : state) {
        engine.Crypt(in.data(), out.data(), kPayload, mode);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kPayload);
}

void BM_SetKey(benchmark::State& state)
{
    const auto type = int32_t(state.range(0));
    CipherEngine engine;
    for (auto _ : state)
        benchmark::DoNotOptimize(engine.SetKey("benchmark key text", type));
}

}  // namespace

BENCHMARK(BM_Crypt)->ArgNames({"type", "encrypt"})->ArgsProduct({{0, 1, 2, 3, 4, 5, 6}, {1, 0}});
BENCHMARK(BM_SetKey)->ArgName("type")->DenseRange(1, 6);

} // namespace zan
