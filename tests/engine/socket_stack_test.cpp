#include "ISocketStackFactory.h"
#include "engine_test_util.h"

#include <array>

namespace zan {

namespace {

using namespace enginetest;

// Two plain (type 0) engines: `a` calls `b`.
struct StackPair : EnginePair {
    StackPair() : EnginePair(0, {.keys = false}) {}
    ISocketStackFactory& FactoryA() { return *a.StackFactory(); }
    ISocketStackFactory& FactoryB() { return *b.StackFactory(); }
};

// Waits for the port stack's event and takes one datagram.
std::vector<uint8_t> Take(ISocketStack& stack, StackAddress* from = nullptr)
{
    if (!stack.GetReceiveEvent()->Wait(5000)) {
        return {};
    }
    std::vector<uint8_t> buffer(70000);
    StackAddress discarded;
    const int32_t n = stack.ReceiveFrom(buffer.data(), static_cast<uint32_t>(buffer.size()),
                                        from != nullptr ? from : &discarded);
    buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buffer;
}

// Through the tunnel to the peer's port stack (or, with none for the port,
// to a UDP port), to a local port stack only as a loopback copy, and on
// after the sending engine restarted.
TEST(SocketStack, SenderStackReachesPortStacksHereAndAtThePeer)
{
    StackPair pair;
    ISocketStack* remote = pair.FactoryB().CreateStack("ignored", 6000);
    ISocketStack* local = pair.FactoryA().CreateStack("", 6000);
    ISocketStack* sender = pair.FactoryA().CreateSenderStack();
    ASSERT_NE(remote, nullptr);
    ASSERT_NE(sender, nullptr);

    const auto payload = Pattern(1200, 3);
    EXPECT_EQ(sender->SendTo(payload.data(), 1200, StackAddress{"10.9.8.7", 6000}), 1200);
    StackAddress from;
    EXPECT_EQ(Take(*remote, &from), payload);
    EXPECT_EQ(std::tie(from.address, from.port), std::make_tuple("", 6000u)) << "the tunnel carries no address";
    EXPECT_FALSE(remote->GetReceiveEvent()->Wait(0)) << "signaled exactly while not empty";
    EXPECT_FALSE(local->GetReceiveEvent()->Wait(200)) << "loopback is off by default";

    local->SetLoopback(true);
    sender->SendTo("yz", 2, StackAddress{"1.2.3.4", 6000});
    EXPECT_EQ(Take(*local, &from), (std::vector<uint8_t>{'y', 'z'}));
    EXPECT_EQ(from.address, "1.2.3.4") << "a loopback copy keeps the address given to SendTo";
    EXPECT_EQ(Take(*remote), (std::vector<uint8_t>{'y', 'z'}));

    // No port stack for the port: delivered as a UDP datagram instead.
    const uint16_t port = FreeUdpPort();
    UdpEnd out("127.0.0.5", port);  // B's delivery address
    sender->SendTo(payload.data(), 10, StackAddress{"", port});
    EXPECT_EQ(out.Receive(), std::vector<uint8_t>(payload.begin(), payload.begin() + 10));

    pair.a.Stop();
    pair.a.StartReceiver();
    sender->SendTo("r", 1, StackAddress{"", 6000});
    EXPECT_EQ(Take(*remote), std::vector<uint8_t>{'r'});
}

TEST(SocketStack, RegistryAndQueueRules)
{
    CTunnel engine;
    ISocketStackFactory& factory = *engine.StackFactory();
    ISocketStack* first = factory.CreateStack("a", 5004);
    EXPECT_EQ(factory.CreateStack("b", 5004), first) << "one port stack per port, whatever the address";
    ISocketStack* senderA = factory.CreateStack("", 0);
    ISocketStack* senderB = factory.CreateSenderStack();
    EXPECT_NE(senderA, senderB);
    EXPECT_NE(senderA, first);

    EXPECT_TRUE(factory.ReleaseStack(nullptr));
    EXPECT_TRUE(factory.ReleaseStack(first));
    EXPECT_FALSE(factory.ReleaseStack(first));
    EXPECT_TRUE(factory.ReleaseStack(senderA));
    EXPECT_FALSE(factory.ReleaseStack(senderA));
    int notAStack = 0;
    EXPECT_FALSE(factory.ReleaseStack(reinterpret_cast<ISocketStack*>(&notAStack)));
    EXPECT_NE(factory.CreateStack("", 5004), nullptr) << "a released port can be created again";

    // No tunnel: the sender stack's queue is drained into nothing.
    ISocketStack* port = factory.CreateStack("", 7000);

    std::array<uint8_t, 8> small{};
    EXPECT_EQ(port->ReceiveFrom(nullptr, 8, nullptr), -1);
    EXPECT_EQ(port->Receive(small.data(), 8), 0) << "empty: 0 at once";

    // A port stack's send queue is never drained: it fills and drops the oldest.
    for (int i = 0; i < 400; ++i) {
        EXPECT_EQ(port->SendTo(&i, sizeof i, StackAddress{"", 1}), static_cast<int32_t>(sizeof i));
    }
    EXPECT_TRUE(port->IsSendQueueFull());
    EXPECT_EQ(port->Send("", 0), 0) << "an empty datagram is accepted";
    EXPECT_EQ(port->SendTo(nullptr, 5, StackAddress{}), -1) << "null data with a length is refused";
    EXPECT_EQ(port->SendTo("abc", -1, StackAddress{}), -1) << "a negative length is refused";
    EXPECT_FALSE(port->IsReceiveQueueFull());
    EXPECT_EQ(engine.Statistics().ringOverwrites, 1u);
}

TEST(SocketStack, PortStackRingDropsTheOldestAndKeepsTooLongDatagrams)
{
    StackPair pair;
    ISocketStack* portStack = pair.FactoryB().CreateStack("", 6002);
    ISocketStack* sender = pair.FactoryA().CreateSenderStack();
    // 401 datagrams, none taken: the first one is lost.
    for (uint32_t i = 0; i < 401; ++i) {
        sender->SendTo(&i, 4, StackAddress{"", 6002});
        if (i % 50 == 49) {
            // The sender stack drains one datagram per pass; let it keep up.
            ASSERT_TRUE(WaitUntil([&] { return pair.b.Statistics().datagramsReceived >= i + 1; }));
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return pair.b.Statistics().datagramsReceived == 401; }));
    EXPECT_TRUE(portStack->IsReceiveQueueFull());
    EXPECT_EQ(pair.b.Statistics().ringOverwrites, 1u);

    std::array<uint8_t, 3> tooSmall{};
    EXPECT_EQ(portStack->Receive(tooSmall.data(), 3), 0) << "a datagram longer than the buffer stays queued";
    uint32_t first = 0;
    EXPECT_EQ(portStack->Receive(&first, 4), 4);
    EXPECT_EQ(first, 1u) << "datagram 0 was dropped";
}

TEST(SocketStack, ReleasingASenderStackWhileItSends)
{
    StackPair pair;
    ISocketStack* sender = pair.FactoryA().CreateSenderStack();
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        const auto payload = Pattern(1000, 1);
        while (!stop) {
            sender->SendTo(payload.data(), 1000, StackAddress{"", 6003});
        }
    });
    ASSERT_TRUE(WaitUntil([&] { return pair.a.Statistics().datagramsSent > 50; }));
    stop = true;
    feeder.join();
    EXPECT_TRUE(pair.FactoryA().ReleaseStack(sender));
    EXPECT_FALSE(pair.FactoryA().ReleaseStack(sender));
}

} // namespace

} // namespace zan
