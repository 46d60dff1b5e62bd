// bench_engine: end-to-end throughput and latency of a pair of tunnel
// engines on loopback, measured in one run next to a raw one-hop UDP path
// and a zero-work three-hop forwarder chain. Prints one table and the
// ratios of the four targets. See README.md.
//
//   bench_engine [--paths ref,udp,tcp,proxy] [--types 0,2,8] [--payloads 64,200,1200]
//                [--step-ms N] [--search-steps N] [--rtt-count N] [--verbose 1]

#include "Measure.h"
#include "Paths.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace zan {

using namespace enginebench;

namespace {

constexpr size_t kRttPayload = 200;
constexpr size_t kProxyPayload = 1200;

struct Options {
    bool reference = true;
    bool udp = true;
    bool tcp = true;
    bool proxy = true;  // type 8 at 1200 B through squid, when squid is installed
    std::vector<uint32_t> types{0, 2, 8};
    std::vector<size_t> payloads{64, 200, 1200};
    Settings settings;
};

std::optional<std::vector<uint64_t>> ParseList(const char* text, uint64_t low, uint64_t high)
{
    std::vector<uint64_t> values;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        char* end = nullptr;
        const unsigned long long value = std::strtoull(item.c_str(), &end, 10);
        if (item.empty() || *end != '\0' || value < low || value > high) {
            return std::nullopt;
        }
        values.push_back(value);
    }
    return values.empty() ? std::nullopt : std::optional(values);
}

bool ApplyOption(Options& options, const std::string& name, const char* value)
{
    if (name == "--verbose") {
        options.settings.verbose = std::strcmp(value, "1") == 0;
        return true;
    }
    if (name == "--paths") {
        const std::string paths = std::string(",") + value + ",";
        options.reference = paths.find(",ref,") != std::string::npos;
        options.udp = paths.find(",udp,") != std::string::npos;
        options.tcp = paths.find(",tcp,") != std::string::npos;
        options.proxy = paths.find(",proxy,") != std::string::npos;
        return options.reference || options.udp || options.tcp || options.proxy;
    }
    const bool isNumber = name == "--step-ms" || name == "--search-steps" || name == "--rtt-count";
    const auto list = ParseList(value, isNumber ? 1 : 0, name == "--types" ? 8 : 100000);
    if (!list || (isNumber && list->size() != 1)) {
        return false;
    }
    if (name == "--types") {
        options.types.assign(list->begin(), list->end());
    } else if (name == "--payloads") {
        options.payloads.assign(list->begin(), list->end());
        for (size_t& payload : options.payloads) {
            payload = std::clamp<size_t>(payload, kStampSize, 65000);
        }
    } else if (name == "--step-ms") {
        options.settings.step = std::chrono::milliseconds(list->front());
    } else if (name == "--search-steps") {
        options.settings.searchSteps = static_cast<int>(std::min<uint64_t>(list->front(), 20));
    } else if (name == "--rtt-count") {
        options.settings.rttCount = std::min<uint64_t>(list->front(), 20000);
    } else {
        return false;
    }
    return true;
}

std::optional<Options> Parse(int argc, char** argv)
{
    Options options;
    // Options come in name-value pairs.
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc || !ApplyOption(options, argv[i], argv[i + 1])) {
            return std::nullopt;
        }
    }
    return options;
}

// One row of the table.
struct Row {
    std::string path;
    std::string type;
    size_t payload = 0;
    RateResult rate;
    std::optional<RttResult> rtt;
    std::string trouble;
};

class Report {
public:
    void Add(Row row)
    {
        Print(row);
        rows.push_back(std::move(row));
    }

    static void PrintHeader()
    {
        std::printf("%-12s %4s %7s %11s %9s %7s %6s %7s %9s %9s  %s\n", "path", "type", "payload", "dgram/s",
                    "Mbit/s", "loss%", "reord", "cpu/dg", "rtt p50", "rtt p99", "notes");
    }

    const Row* Find(const std::string& path, const std::string& type, size_t payload) const
    {
        for (const Row& row : rows) {
            if (row.path == path && row.type == type && row.payload == payload) {
                return &row;
            }
        }
        return nullptr;
    }

private:
    static void Print(const Row& row)
    {
        const StepResult& best = row.rate.best;
        const double rate = row.rate.found ? best.Delivered() : 0;
        const double mbits = rate * double(row.payload) * 8 / 1e6;
        char p50[16] = "-";
        char p99[16] = "-";
        if (row.rtt && row.rtt->samples > 0) {
            std::snprintf(p50, sizeof p50, "%.0f us", row.rtt->p50Us);
            std::snprintf(p99, sizeof p99, "%.0f us", row.rtt->p99Us);
        }
        std::string notes = row.rate.found ? "" : "no step met the loss bound; ";
        if (row.rtt && row.rtt->lost > 0) {
            notes += std::to_string(row.rtt->lost) + " round trips lost; ";
        }
        notes += row.trouble;
        char cpu[16] = "-";
        if (row.rate.found) {
            std::snprintf(cpu, sizeof cpu, "%.1f us", best.CpuUsPerDatagram());
        }
        std::printf("%-12s %4s %7zu %11.0f %9.1f %7.3f %6llu %7s %9s %9s  %s\n", row.path.c_str(), row.type.c_str(),
                    row.payload, rate, mbits, row.rate.found ? best.Loss() * 100 : 100.0,
                    static_cast<unsigned long long>(row.rate.reordered), cpu, p50, p99, notes.c_str());
        std::fflush(stdout);
    }

    std::vector<Row> rows;
};

void MeasurePath(Report& report, const Options& options, const std::string& name, const std::string& type,
                 const std::function<std::unique_ptr<Path>()>& build)
{
    for (size_t payload : options.payloads) {
        Row row{name, type, payload, {}, std::nullopt, {}};
        try {
            std::unique_ptr<Path> path = build();
            row.rate = FindMaxRate(path->Forward(), payload, options.settings);
            if (payload == kRttPayload) {
                row.rtt = MeasureRtt(*path, payload, options.settings);
            }
            row.trouble = path->Trouble();
        } catch (const std::exception& e) {
            row.trouble = std::string("failed: ") + e.what();
        }
        report.Add(std::move(row));
    }
}

// One row through a proxy beside the direct TCP row: the price of the
// proxy's extra hop at the size and protection that matter most.
void MeasureProxyRow(Report& report, const Options& options)
{
    if (const auto missing = squidtest::MissingSquid()) {
        std::printf("%-12s skipped: %s\n", "engine-proxy", missing->c_str());
        return;
    }
    Options one = options;
    one.payloads = {kProxyPayload};
    MeasurePath(report, one, "engine-proxy", "8",
                [] { return std::make_unique<EnginePair>(EnginePair::Transport::kTcpProxy, 8); });
}

double RateOf(const Report& report, const std::string& path, const std::string& type, size_t payload)
{
    const Row* row = report.Find(path, type, payload);
    return row != nullptr && row->rate.found ? row->rate.best.Delivered() : 0;
}

double P99Of(const Report& report, const std::string& path, const std::string& type)
{
    const Row* row = report.Find(path, type, kRttPayload);
    return row != nullptr && row->rtt && row->rtt->samples > 0 ? row->rtt->p99Us : 0;
}

void PrintRatio(const char* label, double numerator, double denominator, double target, bool atLeast)
{
    if (numerator <= 0 || denominator <= 0) {
        std::printf("  %-46s   n/a (not measured)\n", label);
        return;
    }
    const double ratio = numerator / denominator;
    const bool met = atLeast ? ratio >= target : ratio <= target;
    std::printf("  %-46s %5.2f  (target %s %.1f: %s)\n", label, ratio, atLeast ? ">=" : "<=", target,
                met ? "met" : "MISSED");
}

void PrintTargets(const Report& report)
{
    std::printf("\nTargets (ratios from this run):\n");
    PrintRatio("(1) UDP type 0 / chain, dgram/s at 200 B", RateOf(report, "engine-udp", "0", 200),
               RateOf(report, "udp-chain3", "-", 200), 1.0, true);
    for (const char* transport : {"engine-udp", "engine-tcp"}) {
        for (size_t payload : {size_t{64}, size_t{1200}}) {
            const std::string label = std::string("(2) ") + (transport[7] == 'u' ? "UDP" : "TCP") +
                                      " type 8 / type 0 at " + std::to_string(payload) + " B";
            PrintRatio(label.c_str(), RateOf(report, transport, "8", payload), RateOf(report, transport, "0", payload),
                       0.8, true);
        }
    }
    for (const char* type : {"0", "2", "8"}) {
        const std::string label = std::string("(3) TCP / UDP at 1200 B, type ") + type;
        PrintRatio(label.c_str(), RateOf(report, "engine-tcp", type, 1200), RateOf(report, "engine-udp", type, 1200),
                   0.5, true);
    }
    for (const char* transport : {"engine-udp", "engine-tcp"}) {
        for (const char* type : {"0", "2", "8"}) {
            const std::string label = std::string("(4) rtt p99 ") + (transport[7] == 'u' ? "UDP" : "TCP") +
                                      " type " + type + " / chain, 200 B";
            PrintRatio(label.c_str(), P99Of(report, transport, type), P99Of(report, "udp-chain3", "-"), 2.0, false);
        }
    }
}

}  // namespace

} // namespace zan

using namespace zan;

int main(int argc, char** argv)
{
    const std::optional<Options> options = Parse(argc, argv);
    if (!options) {
        std::fprintf(stderr,
                     "usage: bench_engine [--paths ref,udp,tcp,proxy] [--types 0,2,8] [--payloads 64,200,1200]\n"
                     "                    [--step-ms N] [--search-steps N] [--rtt-count N] [--verbose 1]\n");
        return 2;
    }
    std::printf("Highest offered rate with at most %.1f%% loss (search of %d steps of ~%lld ms after a probe);\n"
                "round trips at 200 B, %.0f per second, %llu samples. Loopback only.\n\n",
                options->settings.maxLoss * 100, options->settings.searchSteps,
                static_cast<long long>(options->settings.step.count()), options->settings.rttRate,
                static_cast<unsigned long long>(options->settings.rttCount));
    Report report;
    Report::PrintHeader();
    if (options->reference) {
        MeasurePath(report, *options, "udp-1hop", "-", [] { return std::make_unique<DirectPath>(); });
        MeasurePath(report, *options, "udp-chain3", "-", [] { return std::make_unique<ForwarderChain>(); });
    }
    for (const auto& [enabled, transport, name] :
         {std::tuple{options->udp, EnginePair::Transport::kUdp, "engine-udp"},
          std::tuple{options->tcp, EnginePair::Transport::kTcp, "engine-tcp"}}) {
        if (!enabled) {
            continue;
        }
        for (uint32_t type : options->types) {
            MeasurePath(report, *options, name, std::to_string(type),
                        [transport = transport, type] { return std::make_unique<EnginePair>(transport, type); });
        }
    }
    if (options->proxy) {
        MeasureProxyRow(report, *options);
    }
    PrintTargets(report);
    return 0;
}
