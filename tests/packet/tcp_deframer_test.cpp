// The TCP tunnel's stream: frames split and joined by reads, the stream
// error, zero-length frames and the buffer's limit.

#include "TcpFrameDeframer.h"

#include <gtest/gtest.h>

#include <vector>

namespace zan {

namespace {

using Bytes = std::vector<uint8_t>;
using Step = TcpFrameDeframer::Step;

Bytes Frames(std::initializer_list<std::pair<size_t, uint8_t>> frames)
{
    Bytes stream;
    for (const auto& [length, fill] : frames) {
        stream.push_back(static_cast<uint8_t>(length));
        stream.push_back(static_cast<uint8_t>(length >> 8));
        stream.insert(stream.end(), length, fill);
    }
    return stream;
}

class TcpDeframer : public ::testing::Test {
protected:
    void Read(std::span<const uint8_t> bytes) { ASSERT_EQ(deframer.Append(bytes), bytes.size()); }
    Step Take() { return deframer.TakeFrame(frame, length); }
    void ExpectFrame(size_t size, uint8_t fill)
    {
        ASSERT_EQ(Take(), Step::kFrame);
        EXPECT_EQ(Bytes(frame.begin(), frame.begin() + long(length)), Bytes(size, fill));
    }

    TcpFrameDeframer deframer;
    Bytes frame = Bytes(TcpFrameDeframer::kMaxFill);
    size_t length = 0;
};

TEST_F(TcpDeframer, FrameSplitOverThreeReadsArrivesWithItsLastByte)
{
    const Bytes whole = Frames({{1000, 0x5C}});
    Read(std::span(whole).first(1));  // half the prefix
    EXPECT_EQ(Take(), Step::kNeedMore);
    Read(std::span(whole).subspan(1, 600));
    EXPECT_EQ(Take(), Step::kNeedMore);
    Read(std::span(whole).subspan(601));
    ExpectFrame(1000, 0x5C);
}

TEST_F(TcpDeframer, TopBitLengthIsAStreamErrorAndZeroLengthIsSkipped)
{
    for (uint8_t high : {0x80, 0xFF}) {
        Bytes stream = {0x00, high};
        const Bytes after = Frames({{4, 1}});
        stream.insert(stream.end(), after.begin(), after.end());
        Read(stream);
        EXPECT_EQ(Take(), Step::kStreamError);
        EXPECT_EQ(Take(), Step::kNeedMore) << "nothing after the bad prefix is examined";
    }
    Read(Frames({{0, 0}, {32767, 3}}));
    EXPECT_EQ(Take(), Step::kSkipped);
    ExpectFrame(32767, 3);
}

TEST_F(TcpDeframer, BufferHolds131070BytesAndFramesFreeTheirRoom)
{
    const Bytes big = Frames({{32767, 7}});
    for (int i = 0; i < 3; ++i)
        Read(big);
    Read(Frames({{TcpFrameDeframer::kMaxFill - 3 * big.size() - 2, 8}}));
    EXPECT_TRUE(deframer.FreeSpace().empty());
    EXPECT_EQ(deframer.Append(big), 0u);
    ExpectFrame(32767, 7);
    Read(Frames({{32767, 9}}));
    ExpectFrame(32767, 7);
    ExpectFrame(32767, 7);
    ExpectFrame(TcpFrameDeframer::kMaxFill - 3 * big.size() - 2, 8);
    ExpectFrame(32767, 9);
}

}  // namespace

} // namespace zan
