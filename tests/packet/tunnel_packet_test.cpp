#include "CZAN_DynamicBuffer.h"
#include "TunnelPacket.h"
#include "packet_test_data.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <tuple>
#include <vector>

namespace zan {

namespace {

// Capacity, length, port, address and display text of a packet.
auto Fields(const TunnelPacket& packet)
{
    return std::make_tuple(packet.capacity, packet.length, packet.endpoint.port, packet.endpoint.address,
                           packet.endpoint.text);
}
using PacketFields = std::tuple<uint32_t, uint32_t, uint32_t, std::string, std::string>;

bool Holds(const TunnelPacket& packet, const std::vector<uint8_t>& bytes)
{
    return packet.capacity >= bytes.size() && std::memcmp(packet.data, bytes.data(), bytes.size()) == 0 &&
           reinterpret_cast<uintptr_t>(packet.data) % 32 == 0;
}

TEST(TunnelPacket, AssignReusesTheBlockUpToItsCapacityAndReplacesItBeyond)
{
    TunnelPacket packet;
    const auto first = Pattern(100, 1);
    packet.Assign(first.data(), 100, PacketEndpoint{5004, "127.0.0.2", "not copied"}, 7);
    EXPECT_TRUE(Holds(packet, first));
    EXPECT_EQ(Fields(packet), PacketFields(100, 100, 5004, "127.0.0.2", "")) << "the display text is never copied";

    const uint8_t* block = packet.data;
    const auto shorter = Pattern(60, 9);
    packet.Assign(shorter.data(), 60, PacketEndpoint{}, 2);
    EXPECT_EQ(packet.data, block);
    EXPECT_EQ(packet.capacity, 100u);
    EXPECT_TRUE(Holds(packet, shorter));

    const auto longer = Pattern(101, 3);
    packet.Assign(longer.data(), 101, PacketEndpoint{}, 2);
    EXPECT_EQ(packet.capacity, 101u) << "a longer datagram gets a block of exactly its size";
    EXPECT_TRUE(Holds(packet, longer));
}

TEST(TunnelPacket, CopyRulesForFullAndEmptyPackets)
{
    TunnelPacket full;
    const auto bytes = Pattern(40, 5);
    full.Assign(bytes.data(), 40, PacketEndpoint{6000, "10.0.0.1", ""}, 2);

    TunnelPacket large;
    large.Reserve(500);
    large.endpoint.text = "mine";
    const uint8_t* block = large.data;
    large = full;
    EXPECT_EQ(large.data, block) << "a block large enough is kept with its capacity";
    EXPECT_EQ(Fields(large), PacketFields(500, 40, 6000, "10.0.0.1", "mine"));
    EXPECT_TRUE(Holds(large, bytes));
    const TunnelPacket& alias = large;
    large = alias;
    EXPECT_TRUE(Holds(large, bytes)) << "self-assignment changes nothing";

    // A packet of length 0 is copied block and all, capacity included.
    TunnelPacket empty;
    empty.Reserve(64);
    const auto block64 = Pattern(64, 11);
    std::memcpy(empty.data, block64.data(), 64);
    for (uint32_t destinationCapacity : {0u, 8u, 256u}) {
        TunnelPacket copy;
        if (destinationCapacity != 0) {
            copy.Reserve(destinationCapacity);
        }
        copy = empty;
        EXPECT_EQ(std::tuple(copy.capacity, copy.length), std::tuple(64u, 0u)) << destinationCapacity;
        EXPECT_TRUE(Holds(copy, block64)) << destinationCapacity;
    }
}

TEST(TunnelPacket, FailedAllocationLeavesThePacketAsItWas)
{
    TunnelPacket packet;
    const auto bytes = Pattern(16, 2);
    packet.Assign(bytes.data(), 16, PacketEndpoint{1000, "127.0.0.1", ""}, 2);
    TunnelPacket longer;
    longer.Assign(Pattern(32, 8).data(), 32, PacketEndpoint{2000, "127.0.0.3", ""}, 1);

    SetAllocationFailureHook([](size_t) { return true; });
    EXPECT_THROW(packet.Assign(longer.data, 32, PacketEndpoint{}, 1), std::bad_alloc);
    EXPECT_THROW(packet = longer, std::bad_alloc);
    SetAllocationFailureHook(nullptr);

    EXPECT_EQ(Fields(packet), PacketFields(16, 16, 1000, "127.0.0.1", ""));
    EXPECT_TRUE(Holds(packet, bytes));
}

}  // namespace

} // namespace zan
