#include "base_exception.h"
#include "engine_test_util.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>

namespace zan {

namespace {

using namespace enginetest;

constexpr char kGroup[] = "239.41.40.39";
constexpr uint16_t kGroupPort = 7400;

bool Shell(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Two network namespaces made by the test, joined by a veth pair with a
// multicast route on each side:  <a> veth 10.77.<n>.1  ===  10.77.<n>.2 veth <b>
class NamespacePair {
public:
    NamespacePair()
    {
        const std::string id = std::to_string(getpid() % 100000);
        a = "zan-a-" + id;
        b = "zan-b-" + id;
        const std::string net = "10.77." + std::to_string(getpid() % 250);
        addressA = net + ".1";
        addressB = net + ".2";
        const std::string vethA = "zva" + id, vethB = "zvb" + id;
        ready = Shell("ip netns add " + a) && Shell("ip netns add " + b) &&
                Shell("ip link add " + vethA + " type veth peer name " + vethB) &&
                Shell("ip link set " + vethA + " netns " + a) && Shell("ip link set " + vethB + " netns " + b);
        for (const auto& [ns, veth, address] :
             {std::tuple{a, vethA, addressA}, std::tuple{b, vethB, addressB}}) {
            ready = ready && Shell("ip -n " + ns + " link set lo up") &&
                    Shell("ip -n " + ns + " addr add " + address + "/24 dev " + veth) &&
                    Shell("ip -n " + ns + " link set " + veth + " multicast on up") &&
                    Shell("ip -n " + ns + " route add 224.0.0.0/4 dev " + veth);
        }
    }
    ~NamespacePair()
    {
        Shell("ip netns del " + a);
        Shell("ip netns del " + b);
    }

    // Runs `body` on a thread that lives in namespace `ns`: the sockets it
    // creates belong to that namespace for good.
    static void RunIn(const std::string& ns, const std::function<void()>& body)
    {
        std::thread worker([&] {
            const int fd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(setns(fd, CLONE_NEWNET), 0);
            close(fd);
            body();
        });
        worker.join();
    }

    bool ready = false;
    std::string a, b, addressA, addressB;
};

bool CanMakeNamespaces()
{
    return geteuid() == 0 && Shell("command -v ip");
}

std::unique_ptr<CTunnel> MulticastEngine(const std::string& nic, int64_t sourceTag)
{
    auto engine = std::make_unique<CTunnel>();
    engine->SetSourceTag(sourceTag);
    engine->SetSenderNic(nic);
    // Receiving on the interface named by its own address, as a host sets
    // receiver_nic: the group's datagrams must still arrive.
    engine->SetReceiverNic(nic);
    engine->SetUdpTunnel(kGroup, kGroup, kGroupPort, 0, "", kGroupPort);
    engine->AddReceivePort(5004, "127.0.0.2");
    engine->StartReceiver();
    return engine;
}

// Two hosts exchange datagrams through a group; a packet on the group that
// carries an engine's own source tag is dropped by its loop filter, one with
// another tag is delivered.
TEST(MulticastTunnel, TwoHostsExchangeDatagramsThroughAGroupAndFilterTheirOwn)
{
    if (!CanMakeNamespaces()) {
        GTEST_SKIP() << "needs root and ip netns";
    }
    NamespacePair hosts;
    ASSERT_TRUE(hosts.ready) << "could not build the namespaces";

    std::unique_ptr<CTunnel> engineA, engineB;
    std::unique_ptr<UdpEnd> senderA, outA, outB;
    std::unique_ptr<CNetworkSocket> groupSender;
    NamespacePair::RunIn(hosts.a, [&] {
        outA = std::make_unique<UdpEnd>("127.0.0.1", 5004);
        engineA = MulticastEngine(hosts.addressA, 0x11223344);
        senderA = std::make_unique<UdpEnd>();
        groupSender = std::make_unique<CNetworkSocket>();
        ASSERT_TRUE(groupSender->OpenUdp());
        ASSERT_EQ(groupSender->SetMulticastInterface(hosts.addressA.c_str()), S_OK);
        ASSERT_EQ(groupSender->SetMulticastLoop(true), S_OK);
    });
    NamespacePair::RunIn(hosts.b, [&] {
        outB = std::make_unique<UdpEnd>("127.0.0.1", 5004);
        engineB = MulticastEngine(hosts.addressB, 2);
    });

    const auto payload = Pattern(700, 4);
    senderA->SendTo("127.0.0.2", 5004, payload);
    EXPECT_EQ(outB->Receive(), payload);
    EXPECT_EQ(engineA->Statistics().datagramsReceived, 0u) << "its own datagram does not come back";

    const auto filtered = [&] {
        return engineA->Statistics().drops[static_cast<size_t>(TunnelPacketFormat::OpenResult::kLoopFilter)];
    };
    const uint64_t filteredBefore = filtered();
    const auto own = LegacyPacket(2, 0xA1, 0x11223344);
    const auto other = LegacyPacket(2, 0xB2, 0x55667788);
    ASSERT_EQ(groupSender->SendTo(kGroup, kGroupPort, own.data(), 13), 13);
    ASSERT_EQ(groupSender->SendTo(kGroup, kGroupPort, other.data(), 13), 13);
    EXPECT_EQ(outA->Receive(), std::vector<uint8_t>{0xB2});
    EXPECT_TRUE(WaitUntil([&] { return filtered() > filteredBefore; }));

    // Sockets of one group share its port; a unicast socket does not take it.
    NamespacePair::RunIn(hosts.b, [&] {
        auto second = std::make_unique<CTunnel>();
        second->SetReceiverNic(hosts.addressB);
        EXPECT_NO_THROW(second->SetUdpTunnel(kGroup, kGroup, kGroupPort, 0, "", kGroupPort));
        CTunnel unicast;
        unicast.SetReceiverNic("0.0.0.0");
        EXPECT_THROW(unicast.SetUdpTunnel(nullptr, nullptr, kGroupPort, 0, "", 0), exc_ZANSocket);
    });
    engineA.reset();
    engineB.reset();
}

} // namespace

} // namespace zan
