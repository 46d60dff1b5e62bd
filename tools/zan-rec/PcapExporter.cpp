#include "PcapExporter.h"

#include "RecordingInspector.h"

#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

namespace zan {

using namespace RecordingFileFormat;

namespace {

constexpr uint8_t kIpVersionAndHeaderWords = 0x45;
constexpr uint8_t kTimeToLive = 64;
constexpr uint8_t kProtocolUdp = 17;
constexpr int kSnapshotLength = 65535;

void PutBigEndian16(std::span<std::byte> out, size_t at, uint16_t value)
{
    out[at] = std::byte(value >> 8);
    out[at + 1] = std::byte(value & 0xff);
}

void PutBigEndian32(std::span<std::byte> out, size_t at, uint32_t value)
{
    PutBigEndian16(out, at, static_cast<uint16_t>(value >> 16));
    PutBigEndian16(out, at + 2, static_cast<uint16_t>(value & 0xffff));
}

// The one's-complement sum of 16-bit big-endian words (RFC 1071), a last
// odd byte padded with zero, added to `sum`.
uint32_t AddWords(uint32_t sum, std::span<const std::byte> bytes)
{
    size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        sum += (std::to_integer<uint32_t>(bytes[i]) << 8) | std::to_integer<uint32_t>(bytes[i + 1]);
    }
    if (i < bytes.size()) {
        sum += std::to_integer<uint32_t>(bytes[i]) << 8;
    }
    return sum;
}

uint16_t FoldChecksum(uint64_t sum)
{
    while (sum >> 16) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum & 0xffff);
}

std::optional<uint32_t> ParseIpv4(const std::string& text)
{
    in_addr address{};
    if (::inet_pton(AF_INET, text.c_str(), &address) != 1) {
        return std::nullopt;
    }
    return ntohl(address.s_addr);
}

struct PcapCloser {
    void operator()(pcap_t* handle) const { pcap_close(handle); }
    void operator()(pcap_dumper_t* dumper) const { pcap_dump_close(dumper); }
};

class PacketWriter {
public:
    PacketWriter(pcap_dumper_t* dumper, uint32_t source, uint32_t destination, uint32_t startSeconds)
        : dumper(dumper), source(source), destination(destination), startSeconds(startSeconds)
    {
    }

    bool Write(const RecordingBlock& block, RecordingReader& reader)
    {
        const BlockHeader& header = block.header;
        if (!TravelsAsOneUdpDatagram(header, result.skipped)) {
            return true;
        }
        const size_t size = kIpv4HeaderSize + kUdpHeaderSize + header.length;
        const std::span<std::byte> packet(buffer.data(), size);
        if (!reader.ReadPayload(block, 0, packet.subspan(kIpv4HeaderSize + kUdpHeaderSize))) {
            return false;
        }
        WriteUdpHeaders(packet, source, destination, static_cast<uint16_t>(header.port),
                        static_cast<uint16_t>(result.written));
        pcap_pkthdr record{};
        record.ts.tv_sec = static_cast<time_t>(startSeconds + header.time / 1000);
        record.ts.tv_usec = static_cast<suseconds_t>(header.time % 1000 * 1000);
        record.caplen = static_cast<bpf_u_int32>(size);
        record.len = static_cast<bpf_u_int32>(size);
        pcap_dump(reinterpret_cast<u_char*>(dumper), &record, reinterpret_cast<const u_char*>(packet.data()));
        ++result.written;
        result.bytes += header.length;
        return true;
    }

    const ExportResult& Result() const { return result; }

private:
    pcap_dumper_t* const dumper;
    const uint32_t source;
    const uint32_t destination;
    const uint64_t startSeconds;
    std::vector<std::byte> buffer = std::vector<std::byte>(kIpv4HeaderSize + kUdpHeaderSize + kMaxUdpPayload);
    ExportResult result;
};

}  // namespace

void WriteUdpHeaders(std::span<std::byte> packet, uint32_t sourceAddress, uint32_t destinationAddress,
                     uint16_t port, uint16_t id)
{
    const auto totalLength = static_cast<uint16_t>(packet.size());
    const auto udpLength = static_cast<uint16_t>(packet.size() - kIpv4HeaderSize);
    const std::span<std::byte> ip = packet.first(kIpv4HeaderSize);
    ip[0] = std::byte{kIpVersionAndHeaderWords};
    ip[1] = std::byte{0};  // type of service
    PutBigEndian16(ip, 2, totalLength);
    PutBigEndian16(ip, 4, id);
    PutBigEndian16(ip, 6, 0);  // no flags, no fragment offset
    ip[8] = std::byte{kTimeToLive};
    ip[9] = std::byte{kProtocolUdp};
    PutBigEndian16(ip, 10, 0);
    PutBigEndian32(ip, 12, sourceAddress);
    PutBigEndian32(ip, 16, destinationAddress);
    PutBigEndian16(ip, 10, FoldChecksum(AddWords(0, ip)));

    const std::span<std::byte> udp = packet.subspan(kIpv4HeaderSize);
    PutBigEndian16(udp, 0, port);
    PutBigEndian16(udp, 2, port);
    PutBigEndian16(udp, 4, udpLength);
    PutBigEndian16(udp, 6, 0);
    // The pseudo-header: both addresses, the protocol and the UDP length.
    uint32_t sum = AddWords(0, ip.subspan(12, 8)) + kProtocolUdp + udpLength;
    uint16_t checksum = FoldChecksum(AddWords(sum, udp));
    PutBigEndian16(udp, 6, checksum == 0 ? 0xffff : checksum);  // 0 would mean "no checksum"
}

int ExportCommand(RecordingSource& source, const ExportOptions& options, std::ostream& out, std::ostream& err)
{
    const auto sourceAddress = ParseIpv4(options.source);
    const auto destinationAddress = ParseIpv4(options.destination);
    if (!sourceAddress || !destinationAddress) {
        err << "zan-rec: export: '" << (sourceAddress ? options.destination : options.source)
            << "' is not a numeric IPv4 address\n";
        return 2;
    }
    const std::unique_ptr<pcap_t, PcapCloser> handle(pcap_open_dead(DLT_RAW, kSnapshotLength));
    if (!handle) {
        err << "zan-rec: export: libpcap could not start a capture file\n";
        return 1;
    }
    std::unique_ptr<pcap_dumper_t, PcapCloser> dumper(pcap_dump_open(handle.get(), options.pcapPath.c_str()));
    if (!dumper) {
        err << "zan-rec: export: " << pcap_geterr(handle.get()) << "\n";
        return 1;
    }
    PacketWriter writer(dumper.get(), *sourceAddress, *destinationAddress, options.startSeconds);
    bool readable = true;
    RecordingInspector inspector(source);
    const RecordingInspection inspection =
        inspector.Inspect([&](const RecordingBlock& block, RecordingReader& reader) {
            readable = writer.Write(block, reader);
            return readable;
        });
    const bool flushed = pcap_dump_flush(dumper.get()) == 0;
    if (!inspection.isRecording) {
        // No capture of something that is no recording is left behind.
        dumper.reset();
        if (options.pcapPath != "-") {
            std::remove(options.pcapPath.c_str());
        }
        err << "zan-rec: export: not a recording: " << inspection.fault->message << "\n";
        return 1;
    }
    const ExportResult& result = writer.Result();
    std::ostream& summary = options.pcapPath == "-" ? err : out;
    summary << "exported " << result.written << " datagrams (" << result.bytes << " bytes) to "
            << options.pcapPath << "\n";
    if (result.skipped != 0) {
        summary << "skipped " << result.skipped
                << " blocks that cannot travel as one IPv4 UDP datagram (port or length)\n";
    }
    if (inspection.fault) {
        err << "zan-rec: export: at offset " << inspection.fault->offset << ": " << inspection.fault->message << "\n";
    }
    if (!readable) {
        err << "zan-rec: export: a datagram could not be read\n";
    }
    if (!flushed) {
        err << "zan-rec: export: writing " << options.pcapPath << " failed\n";
    }
    return inspection.fault || !readable || !flushed ? 1 : 0;
}

} // namespace zan
