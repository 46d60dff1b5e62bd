// Batched datagram calls: ReceiveBatch, SendBatch and the packet reads of
// CZANSocket built on them. Peers are plain POSIX sockets.
#include "CNetworkSocket.h"
#include "CZANSocket.h"
#include "ResultCodes.h"
#include "LoopbackSockets.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

namespace zan {

namespace {

using namespace sockettest;

// A receiving and a sending datagram socket of the code under test, both
// on 127.0.0.1.
class BatchTransfer : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (CNetworkSocket* socket : {&receiver, &sender}) {
            ASSERT_TRUE(socket->OpenUdp());
            ASSERT_EQ(socket->Bind("127.0.0.1", 0), S_OK);
        }
        std::string address;
        ASSERT_EQ(receiver.GetLocalEndPoint(address, port), S_OK);
    }

    CNetworkSocket receiver;
    CNetworkSocket sender;
    uint32_t port = 0;
};

// `count` slots of `capacity` bytes each.
struct Slots {
    Slots(size_t count, uint32_t capacity) : buffers(count, std::string(capacity, '\0')), slots(count)
    {
        for (size_t i = 0; i < count; ++i) {
            slots[i].buffer = buffers[i].data();
            slots[i].capacity = capacity;
        }
    }
    std::string Text(size_t i) const { return buffers[i].substr(0, slots[i].length); }

    std::vector<std::string> buffers;
    std::vector<CNetworkSocket::Slot> slots;
};

TEST_F(BatchTransfer, ReceiveBatchTakesWhatIsWaitingInOrder)
{
    Fd peer = BoundSocket(SOCK_DGRAM);
    for (const char* text : {"one", "two", "three-is-long", "four"}) {
        SendDatagram(peer, port, text);
    }
    Slots batch(3, 8);
    ASSERT_EQ(receiver.ReceiveBatch(batch.slots), 3) << "no more than the slots";
    EXPECT_EQ(batch.Text(0), "one");
    EXPECT_EQ(batch.Text(1), "two");
    EXPECT_TRUE(batch.slots[2].truncated) << "13 bytes do not fit 8";
    EXPECT_FALSE(batch.slots[1].truncated);
    EXPECT_EQ(batch.slots[1].senderPort, LocalPort(peer));
    EXPECT_EQ(CNetworkSocket::AddressText(batch.slots[1].senderAddress), "127.0.0.1");

    ASSERT_EQ(receiver.ReceiveBatch(batch.slots), 1) << "the rest, without waiting for more";
    EXPECT_EQ(batch.Text(0), "four");
    EXPECT_EQ(receiver.ReceiveBatch(batch.slots), 0) << "an idle wait ends with nothing";
}

// An empty datagram is marked (length 0) so the reader can count and skip
// it, even alone in its batch; only a read that names no sender (what a
// shut-down socket reads) is a failure.
TEST_F(BatchTransfer, EmptyDatagramsAreMarkedNotLostBehind)
{
    Fd peer = BoundSocket(SOCK_DGRAM);
    SendDatagram(peer, port, "a");
    SendDatagram(peer, port, "");
    SendDatagram(peer, port, "b");
    Slots batch(4, 16);
    ASSERT_EQ(receiver.ReceiveBatch(batch.slots), 3);
    EXPECT_EQ(batch.Text(0), "a");
    EXPECT_EQ(batch.slots[1].length, 0u);
    EXPECT_EQ(batch.Text(2), "b");

    SendDatagram(peer, port, "");
    ASSERT_EQ(receiver.ReceiveBatch(batch.slots), 1);
    EXPECT_EQ(batch.slots[0].length, 0u);

    CZANSocket socket;
    socket.Bind("127.0.0.1", 0);
    const PacketEndpoint local = socket.LocalEndPoint();
    std::array<TunnelPacket, 3> packets;
    for (TunnelPacket& packet : packets) {
        packet.Reserve(16);
    }
    SendDatagram(peer, local.port, "");
    SendDatagram(peer, local.port, "c");
    ASSERT_EQ(socket.ReceivePackets(packets, local), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(packets[0].data), packets[0].length), "c");
}

TEST_F(BatchTransfer, ShutdownEndsABlockedBatchReadWithAFailure)
{
    std::atomic<int32_t> result{0};
    std::thread reader([&] {
        Slots batch(4, 64);
        // The engine's loop: 0 means "wait again".
        for (int waits = 0; waits < 100 && result == 0; ++waits) {
            result = receiver.ReceiveBatch(batch.slots);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    receiver.Shutdown();
    reader.join();
    EXPECT_EQ(result.load(), E_FAIL);
}

TEST_F(BatchTransfer, SendBatchSendsInOrderAndFailsOnlyTheBadDatagrams)
{
    Fd first = BoundSocket(SOCK_DGRAM);
    Fd second = BoundSocket(SOCK_DGRAM);
    const std::string big(70000, 'x');  // beyond what UDP carries
    const std::vector<CNetworkSocket::Outgoing> datagrams = {
        {"p1", 2, LocalPort(first)},
        {big.data(), static_cast<uint32_t>(big.size()), LocalPort(first)},
        {"q1", 2, LocalPort(second)},
        {nullptr, 5, LocalPort(first)},
        {"p2", 2, 70000},
        {"p3", 2, LocalPort(first)},
    };
    std::vector<int32_t> results(datagrams.size(), 12345);
    EXPECT_EQ(sender.SendBatch("127.0.0.1", datagrams, results), 3);
    EXPECT_EQ(results, (std::vector<int32_t>{2, E_FAIL, 2, E_FAIL, E_FAIL, 2}));
    EXPECT_EQ(ReadSome(first, 5000), "p1");
    EXPECT_EQ(ReadSome(first, 5000), "p3") << "the datagram after a failed one still goes";
    EXPECT_EQ(ReadSome(second, 5000), "q1");
    EXPECT_NE(sender.LastErrorText(), "");

    std::vector<int32_t> one(1);
    EXPECT_EQ(sender.SendBatch("no.such.literal", std::span(datagrams.data(), 1), one), 0);
    EXPECT_EQ(one[0], E_FAIL);
    CNetworkSocket unopened;
    EXPECT_EQ(unopened.SendBatch("127.0.0.1", std::span(datagrams.data(), 1), one), 0);
    EXPECT_EQ(one[0], E_FAIL);
    Slots batch(1, 8);
    EXPECT_EQ(unopened.ReceiveBatch(batch.slots), E_FAIL);
}

TEST_F(BatchTransfer, AddressTextOfHostOrderAddresses)
{
    EXPECT_EQ(CNetworkSocket::AddressText(0), "0.0.0.0");
    EXPECT_EQ(CNetworkSocket::AddressText(0x7F000002), "127.0.0.2");
    EXPECT_EQ(CNetworkSocket::AddressText(0xFFFFFFFF), "255.255.255.255");
    EXPECT_EQ(CNetworkSocket::AddressText(0x0A00FF01), "10.0.255.1");
}

// The receive-port read: packets stamped with the given end point, in
// arrival order, a datagram too large for its packet dropped and the ones
// behind it moved up.
TEST_F(BatchTransfer, ReceivePacketsStampsKeepsOrderAndDropsWhatDoesNotFit)
{
    CZANSocket socket;
    socket.Bind("127.0.0.1", 0);
    const PacketEndpoint local = socket.LocalEndPoint();
    EXPECT_EQ(local.address, "127.0.0.1");
    ASSERT_NE(local.port, 0u);

    std::array<TunnelPacket, 4> packets;
    for (TunnelPacket& packet : packets) {
        packet.Reserve(8);
    }
    packets[3].Reserve(100);
    Fd peer = BoundSocket(SOCK_DGRAM);
    for (const char* text : {"one", "too-long-for-8", "three", "four"}) {
        SendDatagram(peer, local.port, text);
    }
    ASSERT_EQ(socket.ReceivePackets(packets, local), 3u);
    const std::vector<std::string> expected = {"one", "three", "four"};
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(packets[i].data), packets[i].length), expected[i]);
        EXPECT_EQ(packets[i].endpoint.port, local.port);
        EXPECT_EQ(packets[i].endpoint.address, "127.0.0.1");
        EXPECT_GE(packets[i].capacity, packets[i].length);
    }
    EXPECT_EQ(socket.SenderEndPoint.port, LocalPort(peer));
    EXPECT_EQ(socket.ReceivePackets(packets, local), 0u) << "an idle wait";

    TunnelPacket stamped;
    stamped.Reserve(16);
    SendDatagram(peer, local.port, "x");
    ASSERT_EQ(socket.ReceivePacket(stamped), 1);
    EXPECT_EQ(stamped.endpoint.port, local.port) << "the one-datagram read stamps the same end point";
    EXPECT_EQ(stamped.endpoint.address, local.address);
}

// A stream read takes the bytes already there at once (no wait first), and
// still refuses a negative time-out, still sees the end of the stream.
TEST_F(BatchTransfer, StreamReadOfWaitingBytesKeepsItsRules)
{
    Fd listener = BoundSocket(SOCK_STREAM, true);
    CNetworkSocket stream;
    ASSERT_TRUE(stream.OpenTcp());
    ASSERT_EQ(stream.Connect("127.0.0.1", LocalPort(listener)), S_OK);
    Fd peer = Accept(listener);
    ASSERT_EQ(::send(peer.Get(), "abcdef", 6, 0), 6);
    char buffer[16] = {};
    ASSERT_EQ(stream.Receive(buffer, 1, 5000), 1);  // the other five came in the same segment

    EXPECT_EQ(stream.Receive(buffer + 1, sizeof buffer - 1, -1), E_FAIL) << "refused even with bytes waiting";
    ASSERT_EQ(stream.Receive(buffer + 1, 3, 0), 3) << "a zero wait still reads what is there";
    ASSERT_EQ(stream.Receive(buffer + 4, sizeof buffer - 4, 0), 2);
    EXPECT_EQ(std::string(buffer, 6), "abcdef");
    EXPECT_EQ(stream.Receive(buffer, sizeof buffer, 0), 0) << "nothing left: a time-out";
    peer.Reset();
    EXPECT_EQ(stream.Receive(buffer, sizeof buffer, 5000), IoFailure);
}

}  // namespace

} // namespace zan
