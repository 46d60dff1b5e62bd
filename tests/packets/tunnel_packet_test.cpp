#include "CZAN_DynamicBuffer.h"
#include "TunnelPacket.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace {

PacketEndpoint Endpoint(uint32_t port, const char* address, const char* text = "")
{
    PacketEndpoint endpoint;
    endpoint.port = port;
    endpoint.address = address;
    endpoint.text = text;
    return endpoint;
}

std::vector<uint8_t> Pattern(size_t size, uint8_t seed)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7);
    }
    return bytes;
}

bool IsAligned(const uint8_t* block)
{
    return reinterpret_cast<uintptr_t>(block) % 32 == 0;
}

// Makes every aligned allocation fail while it lives.
class AllocationsFail {
public:
    AllocationsFail() { SetAllocationFailureHook([](size_t) { return true; }); }
    ~AllocationsFail() { SetAllocationFailureHook(nullptr); }
};

TEST(TunnelPacket, AssignReusesTheBlockUpToItsCapacityAndReplacesItBeyond)
{
    TunnelPacket packet;
    const auto first = Pattern(100, 1);
    packet.Assign(first.data(), 100, Endpoint(5004, "127.0.0.2", "not copied"), 7);
    ASSERT_NE(packet.data, nullptr);
    EXPECT_TRUE(IsAligned(packet.data));
    EXPECT_EQ(packet.capacity, 100u);
    EXPECT_EQ(packet.length, 100u);
    EXPECT_EQ(0, std::memcmp(packet.data, first.data(), 100));
    EXPECT_EQ(packet.endpoint.port, 5004u);
    EXPECT_EQ(packet.endpoint.address, "127.0.0.2");
    EXPECT_EQ(packet.endpoint.text, "") << "the display text is never copied";
    EXPECT_EQ(packet.kind, 7);

    const uint8_t* block = packet.data;
    const auto shorter = Pattern(100, 9);
    packet.Assign(shorter.data(), 60, Endpoint(1, ""), 2);
    EXPECT_EQ(packet.data, block) << "a length within the capacity reuses the block";
    EXPECT_EQ(packet.capacity, 100u);
    EXPECT_EQ(packet.length, 60u);
    EXPECT_EQ(0, std::memcmp(packet.data, shorter.data(), 60));

    const auto longer = Pattern(101, 3);
    packet.Assign(longer.data(), 101, Endpoint(1, ""), 2);
    EXPECT_EQ(packet.capacity, 101u) << "a longer datagram gets a block of exactly its size";
    EXPECT_TRUE(IsAligned(packet.data));
    EXPECT_EQ(0, std::memcmp(packet.data, longer.data(), 101));
}

TEST(TunnelPacket, CopyOfANonEmptyPacketCopiesItsBytesAndKeepsALargerBlock)
{
    TunnelPacket source;
    const auto bytes = Pattern(40, 5);
    source.Assign(bytes.data(), 40, Endpoint(6000, "10.0.0.1"), 2);
    source.endpoint.text = "source text";

    TunnelPacket small;
    small = source;
    EXPECT_EQ(small.capacity, 40u);
    EXPECT_EQ(small.length, 40u);
    EXPECT_NE(small.data, source.data);
    EXPECT_EQ(0, std::memcmp(small.data, bytes.data(), 40));
    EXPECT_EQ(small.endpoint.port, 6000u);
    EXPECT_EQ(small.endpoint.address, "10.0.0.1");
    EXPECT_EQ(small.endpoint.text, "");

    TunnelPacket large;
    large.Reserve(500);
    large.endpoint.text = "mine";
    const uint8_t* block = large.data;
    large = source;
    EXPECT_EQ(large.data, block);
    EXPECT_EQ(large.capacity, 500u) << "a block large enough is kept with its capacity";
    EXPECT_EQ(large.length, 40u);
    EXPECT_EQ(large.endpoint.text, "mine");

    TunnelPacket& alias = large;
    large = alias;
    EXPECT_EQ(large.data, block);
    EXPECT_EQ(large.length, 40u);
    EXPECT_EQ(0, std::memcmp(large.data, bytes.data(), 40));
}

TEST(TunnelPacket, CopyOfAnEmptyPacketCopiesTheWholeBlockAndItsCapacity)
{
    TunnelPacket source;
    source.Reserve(64);
    const auto bytes = Pattern(64, 11);
    std::memcpy(source.data, bytes.data(), 64);
    source.length = 0;
    source.kind = 1;

    TunnelPacket blockless;
    blockless = source;
    ASSERT_NE(blockless.data, nullptr);
    EXPECT_EQ(blockless.capacity, 64u);
    EXPECT_EQ(blockless.length, 0u);
    EXPECT_EQ(blockless.kind, 1);
    EXPECT_EQ(0, std::memcmp(blockless.data, bytes.data(), 64));

    TunnelPacket larger;
    larger.Reserve(256);
    const uint8_t* block = larger.data;
    larger = source;
    EXPECT_EQ(larger.data, block) << "the larger block is kept";
    EXPECT_EQ(larger.capacity, 64u) << "but the capacity becomes the source's";
    EXPECT_EQ(0, std::memcmp(larger.data, bytes.data(), 64));

    TunnelPacket smaller;
    smaller.Reserve(8);
    smaller = source;
    EXPECT_EQ(smaller.capacity, 64u);
    EXPECT_EQ(0, std::memcmp(smaller.data, bytes.data(), 64));
}

TEST(TunnelPacket, FailedAllocationLeavesThePacketAsItWas)
{
    TunnelPacket packet;
    const auto bytes = Pattern(16, 2);
    packet.Assign(bytes.data(), 16, Endpoint(1000, "127.0.0.1"), 2);
    const uint8_t* block = packet.data;

    const auto longer = Pattern(32, 8);
    TunnelPacket source;
    source.Assign(longer.data(), 32, Endpoint(2000, "127.0.0.3"), 1);
    {
        AllocationsFail failing;
        EXPECT_THROW(packet.Assign(longer.data(), 32, Endpoint(2000, "x"), 1), std::bad_alloc);
        EXPECT_THROW(packet = source, std::bad_alloc);
    }
    EXPECT_EQ(packet.data, block);
    EXPECT_EQ(packet.capacity, 16u);
    EXPECT_EQ(packet.length, 16u);
    EXPECT_EQ(packet.endpoint.port, 1000u);
    EXPECT_EQ(packet.endpoint.address, "127.0.0.1");
    EXPECT_EQ(0, std::memcmp(packet.data, bytes.data(), 16));
}

}  // namespace
