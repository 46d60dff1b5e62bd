// The test peer that the engine's end-to-end tests and benchmarks rely on:
// greeting checks, echo, holding for a lone connection, and its controls.
// Clients are raw sockets.

#include "TcpTestPeer.h"

#include "tcp_test_support.h"

#include <gtest/gtest.h>

namespace zan {

namespace {

using tcptest::Fd;
using Bytes = std::vector<uint8_t>;

Fd ConnectTo(uint16_t port)
{
    Fd fd = sockettest::Connected(port);
    EXPECT_GE(fd.Get(), 0);
    return fd;
}

// A 2-byte little-endian length prefix and `length` bytes of `fill`.
Bytes RawFrame(uint8_t length, uint8_t fill)
{
    Bytes frame{length, 0};
    frame.insert(frame.end(), length, fill);
    return frame;
}

TEST(TcpTestPeer, ChecksEachGreetingAndEchoesFramesEitherWay)
{
    TcpTestPeer peer(TcpTestPeer::Mode::kEcho);
    ASSERT_TRUE(peer.Start());
    ASSERT_NE(peer.Port(), 0);
    Fd greeted = ConnectTo(peer.Port());
    Fd rude = ConnectTo(peer.Port());

    Bytes withGreeting{TcpTestPeer::kGreeting};
    const Bytes frame = RawFrame(5, 0xAB);
    withGreeting.insert(withGreeting.end(), frame.begin(), frame.end());
    tcptest::Write(greeted, withGreeting);
    tcptest::Write(rude, frame);  // first byte 0x05: a violation, but the frame is still read
    EXPECT_EQ(tcptest::ReadExactly(greeted, frame.size()), frame);
    EXPECT_EQ(tcptest::ReadExactly(rude, frame.size()), frame);

    const TcpTestPeer::Counters counters = peer.Read();
    EXPECT_EQ(counters.accepted, 2u);
    EXPECT_EQ(counters.greetingOk, 1u);
    EXPECT_EQ(counters.greetingBad, 1u);
    EXPECT_EQ(counters.framesReceived, 2u);
    EXPECT_EQ(counters.framesForwarded, 2u);
}

TEST(TcpTestPeer, ControlsReachEveryConnection)
{
    TcpTestPeer peer(TcpTestPeer::Mode::kEcho);
    ASSERT_TRUE(peer.Start());
    EXPECT_FALSE(peer.WaitForConnections(1, 50));
    Fd a = ConnectTo(peer.Port());
    Fd b = ConnectTo(peer.Port());
    ASSERT_TRUE(peer.WaitForConnections(2, tcptest::kWaitMs));

    const Bytes raw{0x00, 0x80};
    ASSERT_TRUE(peer.InjectRaw(raw));
    EXPECT_EQ(tcptest::ReadExactly(a, 2), raw);
    EXPECT_EQ(tcptest::ReadExactly(b, 2), raw);

    // A client's own stream error ends its connection only.
    tcptest::Write(a, Bytes{TcpTestPeer::kGreeting, 0x00, 0x90, 1, 2});
    EXPECT_TRUE(tcptest::SeesEndOfStream(a));
    EXPECT_TRUE(peer.WaitForClosed(1, tcptest::kWaitMs));
    EXPECT_EQ(peer.Read().streamErrors, 1u);
    EXPECT_EQ(peer.Read().open, 1u);

    ASSERT_TRUE(peer.CloseAllConnections());
    EXPECT_TRUE(tcptest::SeesEndOfStream(b));
    EXPECT_EQ(peer.Read().open, 0u);
    peer.Stop();
    EXPECT_FALSE(peer.CloseAllConnections()) << "a stopped peer runs no command";
}

// Pair mode with a hold: what a lone connection sent reaches its partner
// first, in order, up to the hold's size; without a hold it is dropped.
TEST(TcpTestPeer, HoldsFramesOfALoneConnectionForItsPartner)
{
    const Bytes first = RawFrame(5, 0x11);
    const Bytes second = RawFrame(5, 0x22);
    const Bytes third = RawFrame(5, 0x33);  // beyond a hold of two frames
    const Bytes later = RawFrame(3, 0x44);
    struct Case {
        size_t hold;
        std::vector<Bytes> expected;
    };
    for (const Case& c : {Case{0, {later}}, Case{2 * first.size(), {first, second, later}}}) {
        TcpTestPeer peer(TcpTestPeer::Mode::kPair);
        peer.HoldUnpaired(c.hold);
        ASSERT_TRUE(peer.Start());
        Fd a = ConnectTo(peer.Port());
        Bytes lone{TcpTestPeer::kGreeting};
        for (const Bytes* frame : {&first, &second, &third}) {
            lone.insert(lone.end(), frame->begin(), frame->end());
        }
        tcptest::Write(a, lone);
        ASSERT_TRUE(peer.WaitForFrames(3, tcptest::kWaitMs));

        Fd b = ConnectTo(peer.Port());
        tcptest::Write(b, Bytes{TcpTestPeer::kGreeting});
        ASSERT_TRUE(peer.WaitForConnections(2, tcptest::kWaitMs));
        tcptest::Write(a, later);
        for (const Bytes& frame : c.expected) {
            EXPECT_EQ(tcptest::ReadExactly(b, frame.size()), frame) << "hold " << c.hold;
        }
        EXPECT_EQ(peer.Read().framesHeld, c.expected.size() - 1) << "hold " << c.hold;

        const Bytes back = RawFrame(2, 0x55);
        tcptest::Write(b, back);
        EXPECT_EQ(tcptest::ReadExactly(a, back.size()), back) << "hold " << c.hold;
    }
}

}  // namespace

} // namespace zan
