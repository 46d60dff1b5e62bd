#include "Measure.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cmath>
#include <ctime>
#include <limits>
#include <thread>
#include <vector>

namespace zan {

namespace enginebench {

namespace {

using Clock = std::chrono::steady_clock;

// How long the path may stay silent before a step's stragglers count as lost.
constexpr auto kDrainQuiet = std::chrono::milliseconds(150);
constexpr auto kDrainLimit = std::chrono::milliseconds(2000);

double ProcessCpuSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

uint32_t NextRun()
{
    static uint32_t run = 0;
    return ++run;  // never 0, which parks the sink
}

// The load's source and the sink at the route's exit, for one payload size.
class Load {
public:
    Load(const Route& route, size_t payload)
        : route(route), payload(payload), source(Address{"127.0.0.1", 0}), sink(route.exit)
    {
    }

    StepResult Step(double rate, uint64_t count, std::chrono::milliseconds limit)
    {
        const uint32_t run = NextRun();
        sink.Arm(run);
        const auto start = Clock::now();
        const double cpuStart = ProcessCpuSeconds();
        const SendReport report = SendPaced(source, route.entry, payload, run, rate, count, limit);

        StepResult result;
        result.offered = rate;
        result.sent = report.sent;
        auto lastArrival = Clock::now();
        uint64_t seen = sink.Received();
        const auto giveUp = lastArrival + kDrainLimit;
        while (seen < report.sent && Clock::now() - lastArrival < kDrainQuiet && Clock::now() < giveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (const uint64_t now = sink.Received(); now != seen) {
                seen = now;
                lastArrival = Clock::now();
            }
        }
        result.cpuSeconds = ProcessCpuSeconds() - cpuStart;
        result.received = sink.Received();
        result.reordered = sink.Reordered();
        result.seconds = std::chrono::duration<double>(std::max(lastArrival - start, Clock::duration(1))).count();
        // At a paced rate the path is judged over the sending time: a path
        // that keeps up delivers the last datagram right after it was sent.
        if (rate > 0) {
            result.seconds = std::max(report.seconds, 1e-6);
        }
        return result;
    }

private:
    Route route;
    size_t payload;
    UdpSocket source;
    Sink sink;
};

void Trace(const Settings& settings, const StepResult& step)
{
    if (settings.verbose) {
        std::fprintf(stderr, "  offered %9.0f/s sent %7llu received %7llu loss %7.3f%% delivered %9.0f/s cpu %.2f us\n",
                     step.offered, static_cast<unsigned long long>(step.sent),
                     static_cast<unsigned long long>(step.received), step.Loss() * 100, step.Delivered(), step.CpuUsPerDatagram());
    }
}

uint64_t StepCount(double rate, const Settings& settings)
{
    const double wanted = rate * std::chrono::duration<double>(settings.step).count();
    return std::clamp<uint64_t>(static_cast<uint64_t>(wanted), settings.minCount, settings.maxCount);
}

}  // namespace

RateResult FindMaxRate(const Route& route, size_t payload, const Settings& settings)
{
    Load load(route, payload);
    RateResult result;

    // A burst as fast as the sender goes tells roughly what the path can
    // take; the search starts a little below it.
    const StepResult probe = load.Step(0, settings.maxCount, settings.step);
    result.reordered += probe.reordered;
    Trace(settings, probe);
    double rate = std::max(probe.Delivered() * 0.8, 1000.0);
    double passed = 0;
    double failed = std::numeric_limits<double>::infinity();

    for (int i = 0; i < settings.searchSteps; ++i) {
        // A step that lost too much is tried once more at the same rate:
        // on a shared machine one stall of the path's threads is enough to
        // overflow a socket buffer, and the rate is judged by its better try.
        StepResult step;
        for (int attempt = 0; attempt < 2 && (attempt == 0 || step.Loss() > settings.maxLoss); ++attempt) {
            step = load.Step(rate, StepCount(rate, settings), settings.stepLimit);
            ++result.steps;
            Trace(settings, step);
            result.reordered += step.reordered;
        }
        if (step.Loss() <= settings.maxLoss) {
            if (!result.found || step.Delivered() > result.best.Delivered()) {
                result.best = step;
                result.found = true;
            }
            passed = rate;
        } else {
            failed = rate;
        }
        rate = std::isinf(failed) ? passed * 1.5 : passed == 0 ? failed / 2 : std::sqrt(passed * failed);
    }
    return result;
}

RttResult MeasureRtt(const Path& path, size_t payload, const Settings& settings)
{
    const Route forward = path.Forward();
    const Route backward = path.Backward();
    UdpSocket origin(backward.exit);
    Forwarder echo(forward.exit, backward.entry);
    const sockaddr_in to = forward.entry.Sock();
    const uint32_t run = NextRun();
    std::vector<uint8_t> datagram(std::max(payload, kStampSize), 0xA5);
    std::vector<uint8_t> reply(65536);
    std::vector<double> rtts;
    rtts.reserve(settings.rttCount);

    RttResult result;
    const auto interval = std::chrono::duration<double>(1.0 / settings.rttRate);
    const auto start = Clock::now();
    for (uint64_t i = 0; i < settings.rttCount; ++i) {
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(interval * double(i)));
        WriteStamp(datagram.data(), Stamp{run, i, NowNs()});
        (void)::sendto(origin.Fd(), datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                       sizeof to);
        // Each receive waits at most kWaitMs; a reply that does not come in
        // that time is lost, and a late one is skipped by its number.
        bool answered = false;
        while (!answered) {
            const ssize_t n = ::recv(origin.Fd(), reply.data(), reply.size(), 0);
            if (n < 0) {
                break;
            }
            const Stamp stamp = ReadStamp(reply.data());
            if (static_cast<size_t>(n) >= kStampSize && stamp.run == run && stamp.sequence == i) {
                rtts.push_back(double(NowNs() - stamp.sentNs) / 1000.0);
                answered = true;
            }
        }
        result.lost += answered ? 0 : 1;
    }
    result.samples = rtts.size();
    if (!rtts.empty()) {
        std::sort(rtts.begin(), rtts.end());
        const auto at = [&](double q) {
            const size_t rank = static_cast<size_t>(std::ceil(q * double(rtts.size())));
            return rtts[std::clamp<size_t>(rank, 1, rtts.size()) - 1];
        };
        result.p50Us = at(0.50);
        result.p99Us = at(0.99);
    }
    return result;
}

}  // namespace enginebench

} // namespace zan
