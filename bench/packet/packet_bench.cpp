// Build and open of one tunnel packet per format (crypto types 0, 2 and 8)
// for 64, 200 and 1200-byte payloads, next to the bare primitives measured
// in the same run:
//   Memcpy                 copying the payload once
//   Primitives/SealMac     AES-256-GCM seal + HMAC-SHA256, reused contexts
//   Primitives/RoundTrip   SealMac, then HMAC-SHA256 + GCM open: the crypto
//                          work a build+open of the authenticated format
//                          cannot avoid
// After the run a table gives type 8 build+open as a multiple of
// Primitives/RoundTrip; the targets are at most 2x at 64 bytes and at most
// 1.3x at 1200 bytes. On a shared machine:
//   bench_packet --benchmark_repetitions=5 --benchmark_min_time=0.2

#include "TunnelPacketFormat.h"

#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace zan {

namespace {

using namespace TunnelPacketFormat;

constexpr std::array<uint8_t, 32> kMasterKey = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
constexpr std::array<uint8_t, 14> kMasterSalt = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6,
                                                 0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD};

void Configure(TunnelCrypto& crypto, int32_t type)
{
    crypto.SetCryptoType(type);
    crypto.SetSourceTag(0x55AA);
    if (type > 0 && type < 8)
        (void)crypto.SetLegacyKey("benchmark key text");
    crypto.AddKey(1, kMasterKey.data(), 32, kMasterSalt.data(), 14, 0);
}

void BM_Memcpy(benchmark::State& state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> from(size, 0x5A);
    std::vector<uint8_t> to(size);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), size);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// Reused AES-256-GCM and HMAC-SHA256 contexts, keyed once.
class Primitives {
public:
    Primitives()
    {
        std::array<uint8_t, 32> key{};
        key.fill(0x42);
        seal = EVP_CIPHER_CTX_new();
        open = EVP_CIPHER_CTX_new();
        for (auto [ctx, encrypt] : {std::pair{seal, 1}, std::pair{open, 0}}) {
            EVP_CipherInit_ex(ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr, encrypt);
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_IVLEN, 16, nullptr);
            EVP_CipherInit_ex(ctx, nullptr, nullptr, key.data(), nullptr, encrypt);
        }
        EVP_MAC* hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        mac = EVP_MAC_CTX_new(hmac);
        EVP_MAC_free(hmac);
        char digest[] = "SHA256";
        const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                     OSSL_PARAM_construct_end()};
        EVP_MAC_init(mac, key.data(), 16, params);
    }
    ~Primitives()
    {
        EVP_CIPHER_CTX_free(seal);
        EVP_CIPHER_CTX_free(open);
        EVP_MAC_CTX_free(mac);
    }

    // Seals `plain` into packet + 20 and signs header, ciphertext and tag.
    void SealAndSign(const std::vector<uint8_t>& plain, std::vector<uint8_t>& packet)
    {
        int len = 0;
        EVP_EncryptInit_ex(seal, nullptr, nullptr, nullptr, iv.data());
        EVP_EncryptUpdate(seal, packet.data() + 20, &len, plain.data(), static_cast<int>(plain.size()));
        EVP_EncryptFinal_ex(seal, packet.data() + 20 + len, &len);
        EVP_CIPHER_CTX_ctrl(seal, EVP_CTRL_GCM_GET_TAG, 16, packet.data() + 20 + plain.size());
        Sign(packet, packet.size() - 32, packet.data() + packet.size() - 32);
    }

    // Checks the digest and opens the ciphertext into `plain`.
    bool VerifyAndOpen(std::vector<uint8_t>& packet, std::vector<uint8_t>& plain)
    {
        std::array<uint8_t, 32> digest{};
        Sign(packet, packet.size() - 32, digest.data());
        int len = 0;
        EVP_DecryptInit_ex(open, nullptr, nullptr, nullptr, iv.data());
        EVP_DecryptUpdate(open, plain.data(), &len, packet.data() + 20, static_cast<int>(plain.size()));
        EVP_CIPHER_CTX_ctrl(open, EVP_CTRL_GCM_SET_TAG, 16, packet.data() + 20 + plain.size());
        const bool tagOk = EVP_DecryptFinal_ex(open, plain.data() + len, &len) == 1;
        return tagOk && CRYPTO_memcmp(digest.data(), packet.data() + packet.size() - 32, 32) == 0;
    }

private:
    void Sign(const std::vector<uint8_t>& packet, size_t length, uint8_t* out)
    {
        size_t written = 0;
        EVP_MAC_init(mac, nullptr, 0, nullptr);
        EVP_MAC_update(mac, packet.data(), length);
        EVP_MAC_final(mac, out, &written, 32);
    }

    EVP_CIPHER_CTX* seal = nullptr;
    EVP_CIPHER_CTX* open = nullptr;
    EVP_MAC_CTX* mac = nullptr;
    std::array<uint8_t, 16> iv{};
};

void BM_PrimitivesSealMac(benchmark::State& state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    Primitives primitives;
    std::vector<uint8_t> plain(size + 2, 0x33);
    std::vector<uint8_t> packet(size + 70);
    for (auto _ : state) {
        primitives.SealAndSign(plain, packet);
        benchmark::DoNotOptimize(packet.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_PrimitivesRoundTrip(benchmark::State& state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    Primitives primitives;
    std::vector<uint8_t> plain(size + 2, 0x33);
    std::vector<uint8_t> opened(size + 2);
    std::vector<uint8_t> packet(size + 70);
    for (auto _ : state) {
        primitives.SealAndSign(plain, packet);
        if (!primitives.VerifyAndOpen(packet, opened))
            state.SkipWithError("primitive round trip failed");
        benchmark::DoNotOptimize(opened.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_BuildOpen(benchmark::State& state)
{
    const auto type = static_cast<int32_t>(state.range(0));
    const size_t size = static_cast<size_t>(state.range(1));
    TunnelCrypto sender(0);
    TunnelCrypto receiver(0);
    Configure(sender, type);
    Configure(receiver, type);
    const std::vector<uint8_t> payload(size, 0x33);
    std::vector<uint8_t> out(SendBufferSize(type, static_cast<uint32_t>(size), false));
    TunnelPacket packet;
    packet.Reserve(65535 + 148);
    for (auto _ : state) {
        const int32_t built = BuildPacket(sender, payload, 5004, kDataKind, out);
        const auto datagram = std::span<const uint8_t>(out).first(static_cast<size_t>(built > 0 ? built : 0));
        if (OpenPacket(receiver, datagram, false, packet) != OpenResult::kOpened)
            state.SkipWithError("packet did not open");
        benchmark::DoNotOptimize(packet.data);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_Build(benchmark::State& state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    TunnelCrypto sender(0);
    Configure(sender, 8);
    const std::vector<uint8_t> payload(size, 0x33);
    std::vector<uint8_t> out(SendBufferSize(8, static_cast<uint32_t>(size), false));
    for (auto _ : state) {
        benchmark::DoNotOptimize(BuildPacket(sender, payload, 5004, kDataKind, out));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

const std::vector<int64_t> kSizes = {64, 200, 1200};

BENCHMARK(BM_Memcpy)->ArgName("bytes")->ArgsProduct({kSizes});
BENCHMARK(BM_PrimitivesSealMac)->ArgName("bytes")->ArgsProduct({kSizes});
BENCHMARK(BM_PrimitivesRoundTrip)->ArgName("bytes")->ArgsProduct({kSizes});
BENCHMARK(BM_BuildOpen)->ArgNames({"type", "bytes"})->ArgsProduct({{0, 2, 8}, kSizes});
BENCHMARK(BM_Build)->ArgName("type8_bytes")->ArgsProduct({kSizes});

// Keeps each benchmark's lowest CPU time per iteration over its repetitions
// (run with --benchmark_repetitions=N on a shared machine: the minimum is
// the run least disturbed by other processes), so that the ratios can be
// printed from the same run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            const double time = run.GetAdjustedCPUTime();
            const auto [entry, added] = times.emplace(run.benchmark_name(), time);
            if (!added && time < entry->second)
                entry->second = time;
        }
    }

    void PrintRatios() const
    {
        std::printf("\nType 8 build+open relative to the bare primitives (same run)\n");
        std::printf("%-7s %12s %14s %14s %10s %8s %s\n", "bytes", "memcpy ns", "seal+mac ns",
                    "primitives ns", "type 8 ns", "ratio", "target");
        for (int64_t size : kSizes) {
            const std::string bytes = std::to_string(size);
            const double copy = Time("BM_Memcpy/bytes:" + bytes);
            const double sealMac = Time("BM_PrimitivesSealMac/bytes:" + bytes);
            const double roundTrip = Time("BM_PrimitivesRoundTrip/bytes:" + bytes);
            const double type8 = Time("BM_BuildOpen/type:8/bytes:" + bytes);
            if (roundTrip <= 0 || type8 <= 0)
                continue;
            const double ratio = type8 / roundTrip;
            const double target = size == 64 ? 2.0 : size == 1200 ? 1.3 : 0;
            std::printf("%-7s %12.1f %14.1f %14.1f %10.1f %8.2f %s\n", bytes.c_str(), copy, sealMac,
                        roundTrip, type8, ratio,
                        target == 0 ? "-" : ratio <= target ? "met" : "MISSED");
        }
    }

private:
    double Time(const std::string& name) const
    {
        const auto found = times.find(name);
        return found == times.end() ? 0 : found->second;
    }

    std::map<std::string, double> times;
};

}  // namespace

} // namespace zan

using namespace zan;

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
