// zan-rec's capture export read back by libpcap, and its progress bar:
// drawn only on a terminal, never left in the output.
#include "ZanRecTestSupport.h"

#include "PcapExporter.h"
#include "ProgressBar.h"

#include <pcap/pcap.h>

namespace zan {

using namespace rectest;

namespace {

struct CapturedPacket {
    int64_t seconds;
    int64_t micros;
    std::vector<uint8_t> bytes;
};

std::vector<CapturedPacket> ReadCapture(const std::string& path, int& linkType)
{
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t* capture = pcap_open_offline(path.c_str(), error);
    EXPECT_NE(capture, nullptr) << error;
    std::vector<CapturedPacket> packets;
    if (capture == nullptr) {
        return packets;
    }
    linkType = pcap_datalink(capture);
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    while (pcap_next_ex(capture, &header, &data) == 1) {
        EXPECT_EQ(header->caplen, header->len);
        packets.push_back({header->ts.tv_sec, header->ts.tv_usec, std::vector<uint8_t>(data, data + header->caplen)});
    }
    pcap_close(capture);
    return packets;
}

uint32_t Word16(const std::vector<uint8_t>& bytes, size_t at)
{
    return (uint32_t{bytes.at(at)} << 8) | bytes.at(at + 1);
}

// A header checked the way a receiver checks it: the one's-complement sum
// over the words, stored checksum included, is all ones.
bool SumsToAllOnes(uint32_t sum)
{
    while (sum >> 16) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return sum == 0xffff;
}

uint32_t SumOf(const std::vector<uint8_t>& bytes, size_t from, size_t to)
{
    uint32_t sum = 0;
    for (size_t i = from; i < to; i += 2) {
        sum += i + 1 < to ? Word16(bytes, i) : uint32_t{bytes[i]} << 8;
    }
    return sum;
}

// A recording of `blocks` datagrams of `size` bytes each, built byte by
// byte (never closed): a large file made quickly.
std::string WriteLargeRecording(const std::string& path, uint32_t blocks, uint32_t size)
{
    FileBuilder builder;
    for (uint32_t i = 0; i < blocks; ++i) {
        builder.Block(0, i * 20, 5004, std::string(size, 'x'));
    }
    const std::vector<std::byte> bytes = builder.Open();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return path;
}

}  // namespace

TEST_F(ZanRecTest, ExportedCaptureHoldsEveryDatagramOnItsPortAtItsTime)
{
    const std::vector<Planned> datagrams = {
        {40, 5004, "first"},
        {1234, 5006, std::string("odd\0length\xff", 11)},
        {6000, 5004, std::string(1400, 'm')},
        {7001, 65535, "top"},
    };
    // A datagram on port 0 cannot be a UDP packet: counted as skipped.
    std::vector<Planned> recorded = datagrams;
    recorded.push_back({7002, 0, "nowhere"});
    const std::string path = WriteDatagrams(recorded);
    const std::string capture = PathOf("session.pcap");
    const uint32_t start = 1'700'000'000;
    const ProgramOutcome run = ZanRec({"export", path, "--pcap", capture, "--source", "127.0.0.9", "--destination",
                                "127.0.0.10", "--start", std::to_string(start)});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(Has(run.out, "exported 4 datagrams (1419 bytes) to " + capture)) << run.out;
    EXPECT_TRUE(Has(run.out, "skipped 1 blocks")) << run.out;

    int linkType = -1;
    const std::vector<CapturedPacket> packets = ReadCapture(capture, linkType);
    EXPECT_EQ(linkType, DLT_RAW);
    // External data ("meta", "note") is not in the capture.
    ASSERT_EQ(packets.size(), datagrams.size());
    for (size_t i = 0; i < packets.size(); ++i) {
        const Planned& planned = datagrams[i];
        const std::vector<uint8_t>& p = packets[i].bytes;
        SCOPED_TRACE(i);
        EXPECT_EQ(packets[i].seconds, start + planned.timeMs / 1000);
        EXPECT_EQ(packets[i].micros, planned.timeMs % 1000 * 1000);
        ASSERT_EQ(p.size(), 28 + planned.payload.size());
        EXPECT_EQ(p[0], 0x45);                     // IPv4, 20-byte header
        EXPECT_EQ(Word16(p, 2), p.size());         // total length
        EXPECT_EQ(p[9], 17);                       // UDP
        EXPECT_EQ(std::vector<uint8_t>(p.begin() + 12, p.begin() + 20),
                  (std::vector<uint8_t>{127, 0, 0, 9, 127, 0, 0, 10}));
        EXPECT_TRUE(SumsToAllOnes(SumOf(p, 0, 20))) << "IPv4 header checksum";
        EXPECT_EQ(Word16(p, 20), planned.port);    // source port
        EXPECT_EQ(Word16(p, 22), planned.port);    // destination port
        EXPECT_EQ(Word16(p, 24), p.size() - 20);   // UDP length
        const uint32_t pseudo = SumOf(p, 12, 20) + 17 + (p.size() - 20);
        EXPECT_TRUE(SumsToAllOnes(pseudo + SumOf(p, 20, p.size()))) << "UDP checksum";
        EXPECT_EQ(std::string(p.begin() + 28, p.end()), planned.payload);
    }
}

TEST_F(ZanRecTest, ExportOfAnUnclosedOrCutFileKeepsEveryWholeDatagram)
{
    const std::string path = WriteDatagrams({{40, 5004, "first"}, {6000, 5004, "second"}}, false, 134);
    const std::string capture = PathOf("open.pcap");
    ProgramOutcome run = ZanRec({"export", path, "--pcap", capture});
    EXPECT_EQ(run.code, 0) << run.err;
    int linkType = -1;
    EXPECT_EQ(ReadCapture(capture, linkType).size(), 2u);
    EXPECT_TRUE(Close(*saver));

    // Cut inside the second datagram: the first one is exported, and the
    // exit code says the file could not be read to its end.
    std::filesystem::resize_file(path, 120);
    run = ZanRec({"export", path, "--pcap", capture});
    EXPECT_EQ(run.code, ZanRecExit::kBadFile) << run.err;
    const auto packets = ReadCapture(capture, linkType);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(std::string(packets[0].bytes.begin() + 28, packets[0].bytes.end()), "first");
}

TEST(ZanRecProgress, RedrawsInPlaceAtABoundedRateAndLeavesNothingBehind)
{
    std::ostringstream out;
    auto now = std::chrono::steady_clock::time_point{};
    ProgressBar bar(out, "verify", 1000, [&now] { return now; });
    bar.Update(0);
    const std::string first = out.str();
    EXPECT_TRUE(Has(first, "\rverify [..............................]   0%")) << first;
    bar.Update(500);  // too soon for a redraw
    EXPECT_EQ(out.str(), first);
    now += std::chrono::milliseconds(ProgressBar::kRedrawMs);
    bar.Update(500);
    EXPECT_TRUE(Has(out.str(), "\rverify [###############...............]  50%")) << out.str();
    now += std::chrono::milliseconds(ProgressBar::kRedrawMs);
    bar.Update(2000);  // more than the total is shown as all of it
    EXPECT_TRUE(Has(out.str(), "] 100%")) << out.str();
    bar.Finish();
    const std::string all = out.str();
    EXPECT_EQ(all.find('\n'), std::string::npos) << "a progress bar never starts a new line";
    // The last redraw is wiped: blanks over it, and the cursor back at the start.
    const size_t wipe = all.rfind("\r", all.size() - 2);
    EXPECT_EQ(all.substr(wipe + 1, all.size() - wipe - 2).find_first_not_of(' '), std::string::npos);
    EXPECT_EQ(all.back(), '\r');
    bar.Update(700);
    EXPECT_EQ(out.str(), all) << "nothing after Finish";
}

TEST_F(ZanRecTest, ProgressIsShownOnlyForLargeFilesOnATerminal)
{
    const uint32_t blocks = static_cast<uint32_t>(kProgressMinFileBytes / 60000) + 1;
    const std::string large = WriteLargeRecording(PathOf("large.rec"), blocks, 60000);
    const std::string small = WriteRecording();

    ProgramOutcome run = ZanRec({"verify", large}, true);
    EXPECT_EQ(run.code, ZanRecExit::kNotClosed);
    EXPECT_TRUE(Has(run.err, "\rverify [")) << run.err.substr(0, 200);
    EXPECT_EQ(run.err.back(), '\r');
    EXPECT_EQ(run.err.find('\n'), std::string::npos);
    EXPECT_FALSE(Has(run.out, "\r"));

    EXPECT_EQ(ZanRec({"verify", small}, true).err, "");
    EXPECT_EQ(ZanRec({"verify", large}, false).err, "");
    // The program itself, with standard error in a file: not a byte of
    // progress there.
    const ProgramOutcome program = RunProgram(std::string(ZAN_REC_PROGRAM) + " verify " + large);
    EXPECT_EQ(program.code, ZanRecExit::kNotClosed);
    EXPECT_EQ(program.err, "");
}

} // namespace zan
