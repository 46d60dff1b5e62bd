// The TCP tunnel's stream: frames split and joined arbitrarily by reads,
// the stream error, zero-length frames and the buffer's limit.

#include "TcpFrameDeframer.h"
#include "TunnelPacketFormat.h"

#include "packet_test_data.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Step = TcpFrameDeframer::Step;

Bytes Frame(size_t length, uint8_t fill)
{
    Bytes frame(length + 2, fill);
    EXPECT_TRUE(WriteFramePrefix(frame, length));
    return frame;
}

Bytes Join(const Bytes& a, const Bytes& b)
{
    Bytes joined = a;
    joined.insert(joined.end(), b.begin(), b.end());
    return joined;
}

// Reads into FreeSpace the way the TCP socket does.
void Read(TcpFrameDeframer& deframer, std::span<const uint8_t> bytes)
{
    const std::span<uint8_t> room = deframer.FreeSpace();
    ASSERT_GE(room.size(), bytes.size());
    std::memcpy(room.data(), bytes.data(), bytes.size());
    deframer.Commit(bytes.size());
}

class Deframer : public ::testing::Test {
protected:
    Step Take() { return deframer.TakeFrame(frame, length); }

    TcpFrameDeframer deframer;
    Bytes frame = Bytes(TcpFrameDeframer::kMaxFill);
    size_t length = 0;
};

TEST_F(Deframer, TwoFramesInOneReadComeOutOneByOne)
{
    Read(deframer, Join(Frame(5, 0xAA), Frame(300, 0xBB)));
    ASSERT_EQ(Take(), Step::kFrame);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 5), Bytes(5, 0xAA));
    ASSERT_EQ(Take(), Step::kFrame) << "the second frame needs no further read";
    EXPECT_EQ(length, 300u);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 300), Bytes(300, 0xBB));
    EXPECT_EQ(Take(), Step::kNeedMore);
    EXPECT_EQ(deframer.Buffered(), 0u);
}

TEST_F(Deframer, FrameSplitOverThreeReadsArrivesWithItsLastByte)
{
    const Bytes whole = Frame(1000, 0x5C);
    Read(deframer, std::span(whole).first(1));  // half a prefix
    EXPECT_EQ(Take(), Step::kNeedMore);
    Read(deframer, std::span(whole).subspan(1, 600));
    EXPECT_EQ(Take(), Step::kNeedMore);
    Read(deframer, std::span(whole).subspan(601));
    ASSERT_EQ(Take(), Step::kFrame);
    EXPECT_EQ(length, 1000u);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 1000), Bytes(1000, 0x5C));
}

TEST_F(Deframer, TopBitLengthIsAStreamErrorAndEmptiesTheBuffer)
{
    for (uint16_t prefix : {0x8000, 0xFFFF}) {
        Bytes stream = {static_cast<uint8_t>(prefix), static_cast<uint8_t>(prefix >> 8)};
        stream = Join(stream, Frame(4, 1));
        Read(deframer, stream);
        EXPECT_EQ(Take(), Step::kStreamError) << std::hex << prefix;
        EXPECT_EQ(deframer.Buffered(), 0u) << "nothing after the bad prefix is examined";
        EXPECT_EQ(Take(), Step::kNeedMore) << "the error is reported once";
    }
    Read(deframer, Frame(32767, 3));
    EXPECT_EQ(Take(), Step::kFrame) << "0x7FFF is the longest frame";
    EXPECT_EQ(length, 32767u);
}

TEST_F(Deframer, ZeroLengthFrameIsSkipped)
{
    Read(deframer, Join(Frame(0, 0), Frame(3, 9)));
    EXPECT_EQ(Take(), Step::kSkipped);
    ASSERT_EQ(Take(), Step::kFrame);
    EXPECT_EQ(length, 3u);
}

TEST_F(Deframer, BufferHolds131070BytesAndCompactsAfterFrames)
{
    const Bytes big = Frame(32767, 7);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(deframer.Append(big), big.size());
    const Bytes filler = Frame(TcpFrameDeframer::kMaxFill - 3 * big.size() - 2, 8);
    ASSERT_EQ(deframer.Append(filler), filler.size());
    EXPECT_EQ(deframer.Buffered(), TcpFrameDeframer::kMaxFill);
    EXPECT_TRUE(deframer.FreeSpace().empty());
    EXPECT_EQ(deframer.Append(big), 0u) << "a full buffer takes nothing";

    ASSERT_EQ(Take(), Step::kFrame);
    EXPECT_EQ(deframer.FreeSpace().size(), big.size()) << "a taken frame frees its room";
    ASSERT_EQ(deframer.Append(Frame(32767, 9)), big.size());
    const std::vector<std::pair<size_t, uint8_t>> expected = {
        {32767, 7}, {32767, 7}, {filler.size() - 2, 8}, {32767, 9}};
    for (const auto& [size, fill] : expected) {
        ASSERT_EQ(Take(), Step::kFrame);
        EXPECT_EQ(length, size);
        EXPECT_EQ(frame[0], fill);
        EXPECT_EQ(frame[size - 1], fill);
    }
    EXPECT_EQ(Take(), Step::kNeedMore);
}

TEST_F(Deframer, FrameLargerThanTheCallersBufferIsSkippedWhole)
{
    Read(deframer, Join(Frame(100, 1), Frame(2, 2)));
    Bytes small(50);
    EXPECT_EQ(deframer.TakeFrame(small, length), Step::kSkipped);
    ASSERT_EQ(deframer.TakeFrame(small, length), Step::kFrame);
    EXPECT_EQ(length, 2u);
}

TEST(TcpStream, BuiltFramesDeframeAndOpen)
{
    using namespace TunnelPacketFormat;
    TunnelCrypto sender(10);
    TunnelCrypto receiver(0);
    for (TunnelCrypto* crypto : {&sender, &receiver}) {
        crypto->SetCryptoType(8);
        crypto->AddKey(4, packet_test_data::kMasterKey.data(), 32, packet_test_data::kMasterSalt.data(),
                       14, 0);
    }
    Bytes stream;
    for (uint16_t port = 1; port <= 3; ++port) {
        const Bytes payload(port * 100u, static_cast<uint8_t>(port));
        Bytes out(SendBufferSize(8, static_cast<uint32_t>(payload.size()), true));
        const int32_t size = BuildFrame(sender, payload, port, kDataKind, out);
        ASSERT_GT(size, 0);
        stream.insert(stream.end(), out.begin(), out.begin() + size);
    }
    TcpFrameDeframer deframer;
    Bytes frame(TcpFrameDeframer::kMaxFill);
    TunnelPacket packet;
    uint16_t expectedPort = 1;
    // Deliver the stream 7 bytes at a time.
    for (size_t offset = 0; offset < stream.size(); offset += 7) {
        Read(deframer, std::span(stream).subspan(offset, std::min<size_t>(7, stream.size() - offset)));
        size_t length = 0;
        while (deframer.TakeFrame(frame, length) == TcpFrameDeframer::Step::kFrame) {
            ASSERT_EQ(OpenPacket(receiver, std::span(frame).first(length), false, packet),
                      OpenResult::kOpened);
            EXPECT_EQ(packet.endpoint.port, expectedPort);
            EXPECT_EQ(packet.length, expectedPort * 100u);
            ++expectedPort;
        }
    }
    EXPECT_EQ(expectedPort, 4);
}

}  // namespace
