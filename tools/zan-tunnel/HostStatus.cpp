#include "HostStatus.h"

#include "TunnelPacketFormat.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace zan {

namespace {

using OpenResult = TunnelPacketFormat::OpenResult;

uint64_t Dropped(const TunnelStatisticsSnapshot& s, OpenResult reason)
{
    return s.drops[static_cast<size_t>(reason)];
}

} // namespace

nlohmann::json CountersOf(const TunnelStatisticsSnapshot& s)
{
    // Written out sorted by name.
    return {
        {"datagrams_sent", s.datagramsSent},
        {"bytes_sent", s.bytesSent},
        {"send_failures", s.sendFailures},
        {"keepalives_sent", s.keepAlivesSent},
        {"datagrams_received", s.datagramsReceived},
        {"bytes_received", s.bytesReceived},
        {"keepalives_received", s.keepAlivesReceived},
        {"drops", s.Drops()},
        {"drops_format", Dropped(s, OpenResult::kFormat)},
        {"drops_kind", Dropped(s, OpenResult::kKind)},
        {"drops_loop", Dropped(s, OpenResult::kLoopFilter)},
        {"drops_length", Dropped(s, OpenResult::kLength)},
        {"drops_no_key", Dropped(s, OpenResult::kNoKey)},
        {"drops_digest", Dropped(s, OpenResult::kDigest)},
        {"drops_gcm_tag", Dropped(s, OpenResult::kGcmTag)},
        {"ring_overwrites", s.ringOverwrites},
        {"recorder_overflows", s.recorderOverflows},
        {"tcp_connected", s.tcpConnected},
        {"tcp_given_up", s.tcpGivenUp},
        {"tcp_connects", s.tcpConnects},
        {"tcp_losses", s.tcpLosses},
        {"tcp_reconnects", s.tcpReconnects},
        {"stale_datagrams", s.staleDatagrams},
        {"kernel_drops", s.kernelDrops},
        {"empty_datagrams", s.emptyDatagrams},
        {"unauthenticated_control", s.unauthenticatedControl},
        {"peer_changes", s.peerChanges},
    };
}

std::string CountersText(const nlohmann::json& counters)
{
    std::string text;
    for (const auto& [name, value] : counters.items()) {
        text += (text.empty() ? "" : " ") + name + "=" + value.dump();
    }
    return text;
}

bool WriteFileAtomically(const std::string& path, const std::string& content)
{
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    size_t written = 0;
    while (written < content.size()) {
        const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int error = errno;
            ::close(fd);
            ::unlink(temporary.c_str());
            errno = error;
            return false;
        }
        written += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        errno = error;
        return false;
    }
    return true;
}

std::vector<DropWarnings::Warning> DropWarnings::Check(const TunnelStatisticsSnapshot& s, Clock::time_point now)
{
    struct Source {
        const char* reason;
        uint64_t count;
        const char* meaning;
    };
    const Source sources[] = {
        {"format", Dropped(s, OpenResult::kFormat),
         "packets of the other packet format: the peer uses another crypto type (8 against 0-7)"},
        {"no_key", Dropped(s, OpenResult::kNoKey),
         "packets under a key id this end has no key for: the ends' tunnel_cc key ids differ, or no key is set"},
        {"authentication", Dropped(s, OpenResult::kDigest) + Dropped(s, OpenResult::kGcmTag),
         "packets that fail authentication: the two ends have different keys"},
    };
    std::vector<Warning> due;
    for (size_t i = 0; i < reasons.size(); ++i) {
        Reason& reason = reasons[i];
        const Source& source = sources[i];
        if (source.count <= reason.warnedAt || (reason.lastWarning && now - *reason.lastWarning < kInterval)) {
            continue;
        }
        const uint64_t count = source.count - reason.warnedAt;
        due.push_back({source.reason, count,
                       "dropped " + std::to_string(count) + " " + source.meaning + "; give both ends the same key file "
                       "and crypto type"});
        reason.warnedAt = source.count;
        reason.lastWarning = now;
    }
    return due;
}

} // namespace zan
