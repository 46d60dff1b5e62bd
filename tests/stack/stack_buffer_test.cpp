#include "CSyncEvent.h"
#include "CZAN_DynamicBuffer.h"
#include "TunnelStackBuffer.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <thread>
#include <tuple>
#include <vector>

namespace zan {

namespace {

constexpr uint32_t kSlots = TunnelStackBuffer::kSlotCount;

// Datagram n carries its number in its first four bytes, is n % 50 + 4 bytes
// long and goes to port n, so that order, length and end point mix-ups show.
std::vector<uint8_t> Numbered(uint32_t n)
{
    std::vector<uint8_t> bytes(n % 50 + 4, static_cast<uint8_t>(n));
    std::memcpy(bytes.data(), &n, sizeof n);
    return bytes;
}

bool PushNumbered(TunnelStackBuffer& ring, uint32_t n)
{
    const auto bytes = Numbered(n);
    return ring.PushData(bytes.data(), static_cast<uint32_t>(bytes.size()), PacketEndpoint{n, "127.0.0.2", ""}, 2);
}

// Pops one datagram and checks it against PushNumbered; its number, or -1
// when nothing came out.
int64_t PopNumbered(TunnelStackBuffer& ring)
{
    std::array<uint8_t, 64> buffer{};
    uint32_t length = buffer.size();
    PacketEndpoint endpoint;
    uint8_t kind = 0;
    if (!ring.Pop(buffer.data(), length, endpoint, kind)) {
        return -1;
    }
    uint32_t n = 0;
    std::memcpy(&n, buffer.data(), sizeof n);
    EXPECT_EQ(std::tuple(std::vector<uint8_t>(buffer.begin(), buffer.begin() + length), endpoint.port,
                         endpoint.address, kind),
              std::tuple(Numbered(n), n, "127.0.0.2", 2));
    return n;
}

// Counts aligned allocations, failing those above a size, while it lives.
struct AllocationWatch {
    static inline std::atomic<size_t> calls{0};
    static inline std::atomic<size_t> failAbove{SIZE_MAX};

    explicit AllocationWatch(size_t failSizesAbove = SIZE_MAX)
    {
        calls = 0;
        failAbove = failSizesAbove;
        SetAllocationFailureHook([](size_t size) {
            ++calls;
            return size > failAbove;
        });
    }
    ~AllocationWatch() { SetAllocationFailureHook(nullptr); }
};

TEST(TunnelStackBuffer, KeepsOrderAcrossManyWrapArounds)
{
    TunnelStackBuffer ring;
    uint32_t pushed = 0;
    uint32_t popped = 0;
    // Up to seven datagrams in flight, so the indices pass the end of the
    // ring several times at different offsets.
    for (int round = 0; round < 300; ++round) {
        for (int i = 0; i < round % 7 + 1; ++i) {
            ASSERT_TRUE(PushNumbered(ring, pushed++));
        }
        for (int i = 0; i < round % 5 + 1 && popped < pushed; ++i) {
            ASSERT_EQ(PopNumbered(ring), popped++);
        }
    }
    while (popped < pushed) {
        ASSERT_EQ(PopNumbered(ring), popped++);
    }
    const auto state = ring.Snapshot();
    EXPECT_EQ(state.readIndex, pushed % kSlots);
    EXPECT_EQ(state.writeIndex, pushed % kSlots);
    EXPECT_EQ(PopNumbered(ring), -1);
}

TEST(TunnelStackBuffer, PopReportsTheSizeNeededAndKeepsTheDatagram)
{
    TunnelStackBuffer ring;
    std::array<uint8_t, 16> buffer{};
    uint32_t length = 77;
    PacketEndpoint endpoint;
    uint8_t kind = 0;
    EXPECT_FALSE(ring.Pop(buffer.data(), length, endpoint, kind));
    EXPECT_EQ(length, 77u) << "an empty ring leaves the length alone";

    const std::array<uint8_t, 10> payload{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_TRUE(ring.PushData(payload.data(), payload.size(), PacketEndpoint{5004, "127.0.0.5", ""}, 2));
    length = 9;
    EXPECT_FALSE(ring.Pop(buffer.data(), length, endpoint, kind));
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(buffer[0], 0) << "nothing is copied into a buffer that is too small";
    length = 100;
    EXPECT_FALSE(ring.Pop(nullptr, length, endpoint, kind)) << "a null buffer holds nothing";
    EXPECT_EQ(length, 10u);

    ASSERT_TRUE(ring.Pop(buffer.data(), length, endpoint, kind));
    EXPECT_EQ(0, std::memcmp(buffer.data(), payload.data(), payload.size()));
    EXPECT_EQ(endpoint.address, "127.0.0.5");

    // Zero-length datagrams travel like any other and copy nothing.
    ASSERT_TRUE(ring.PushData(nullptr, 0, PacketEndpoint{9, "", ""}, 2));
    ASSERT_TRUE(ring.Push(TunnelPacket()));
    EXPECT_FALSE(ring.PushData(nullptr, 5, PacketEndpoint{}, 2)) << "null data with a length";
    ASSERT_TRUE(ring.Pop(buffer.data(), length, endpoint, kind));
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(endpoint.port, 9u);
    ASSERT_TRUE(ring.Pop(nullptr, length, endpoint, kind));
    EXPECT_EQ(endpoint.port, 0u);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_TRUE(ring.IsEmpty());
}

// While datagrams are queued is checked under a race below; here the
// event's state when it is set and when the last datagram leaves.
TEST(TunnelStackBuffer, EventIsSignaledExactlyWhileDatagramsAreQueued)
{
    TunnelStackBuffer ring;
    ASSERT_TRUE(PushNumbered(ring, 0));
    CSyncEvent event(false, true);
    ring.SetNotifyEvent(&event);
    EXPECT_TRUE(event.IsSignaled()) << "an event set on a non-empty ring starts signaled";
    TunnelPacket scratch;
    ASSERT_TRUE(ring.PopPacket(scratch));
    EXPECT_EQ(scratch.length, 4u);
    EXPECT_FALSE(event.IsSignaled()) << "the last datagram out by packet";
    EXPECT_FALSE(ring.PopPacket(scratch));
    event.Set();
    ring.SetNotifyEvent(&event);
    EXPECT_FALSE(event.IsSignaled()) << "an event set on an empty ring starts clear";
}

// A producer races a consumer that sleeps on the event. A signaled event
// must always find a datagram and a drained ring must leave it clear;
// otherwise the consumer spins on a stale signal or sleeps on queued data.
TEST(TunnelStackBuffer, EventTracksTheRingUnderAProducerConsumerRace)
{
    TunnelStackBuffer ring;
    CSyncEvent event(false, true);
    ring.SetNotifyEvent(&event);
    constexpr uint32_t kDatagrams = 20000;
    std::atomic<bool> producerDone{false};
    std::thread producer([&] {
        for (uint32_t n = 0; n < kDatagrams; ++n) {
            (void)PushNumbered(ring, n);
            if (n % 64 == 0) {
                std::this_thread::yield();
            }
        }
        producerDone = true;
    });

    int64_t last = -1;
    uint32_t staleSignals = 0;
    while (!(producerDone && ring.IsEmpty())) {
        if (!event.Wait(2000)) {
            EXPECT_TRUE(producerDone && ring.IsEmpty()) << "the event stayed clear while datagrams were queued";
            break;
        }
        const int64_t n = PopNumbered(ring);
        staleSignals += n < 0 ? 1 : 0;
        if (n >= 0 && n <= last) {
            ADD_FAILURE() << "datagram " << n << " came out after " << last;
            break;
        }
        last = std::max(last, n);
    }
    producer.join();
    EXPECT_EQ(staleSignals, 0u);
    EXPECT_EQ(last, kDatagrams - 1) << "the newest datagram is never the one dropped";
    EXPECT_FALSE(event.IsSignaled());
}

TEST(TunnelStackBuffer, SteadyTrafficReusesTheSlotBlocks)
{
    TunnelStackBuffer ring;
    for (uint32_t n = 0; n < kSlots; ++n) {
        ASSERT_TRUE(PushNumbered(ring, 49));  // the longest numbered datagram
        ASSERT_EQ(PopNumbered(ring), 49);
    }
    AllocationWatch watch;
    for (uint32_t n = 0; n < 3 * kSlots; ++n) {
        ASSERT_TRUE(PushNumbered(ring, n));
        ASSERT_EQ(PopNumbered(ring), n);
    }
    EXPECT_EQ(AllocationWatch::calls.load(), 0u);
}

// A slot whose block cannot grow stores nothing: the indices, the count, the
// event and the datagram already in that slot (the oldest, when the ring is
// full) all stay as they were.
TEST(TunnelStackBuffer, FailedAllocationStoresNothingAndMovesNothing)
{
    TunnelStackBuffer ring;
    CSyncEvent event(false, true);
    ring.SetNotifyEvent(&event);
    const std::vector<uint8_t> big(1000, 0x5A);
    TunnelPacket bigPacket;
    bigPacket.Assign(big.data(), 1000, PacketEndpoint{77, "", ""}, 2);
    auto expectUnmoved = [&](uint32_t readIndex, uint32_t count) {
        const auto state = ring.Snapshot();
        EXPECT_EQ(state.readIndex, readIndex);
        EXPECT_EQ(state.writeIndex, (readIndex + count) % kSlots);
        EXPECT_EQ(state.count, count);
        EXPECT_EQ(event.IsSignaled(), count != 0);
    };
    {
        AllocationWatch failing(100);
        EXPECT_FALSE(ring.PushData(big.data(), 1000, PacketEndpoint{}, 2));
        EXPECT_FALSE(ring.Push(bigPacket));
    }
    expectUnmoved(0, 0);

    for (uint32_t n = 0; n < kSlots; ++n) {
        ASSERT_TRUE(PushNumbered(ring, n));
    }
    {
        AllocationWatch failing(100);
        EXPECT_FALSE(ring.PushData(big.data(), 1000, PacketEndpoint{}, 2));
        EXPECT_FALSE(ring.Push(bigPacket));
        expectUnmoved(0, kSlots);
        EXPECT_TRUE(ring.IsFull());
        // It fits the oldest slot's block: no allocation, the oldest is dropped.
        EXPECT_TRUE(PushNumbered(ring, kSlots));
        EXPECT_EQ(ring.Snapshot().count, kSlots);
    }
    for (uint32_t n = 1; n <= kSlots; ++n) {
        ASSERT_EQ(PopNumbered(ring), n);
    }

    ASSERT_TRUE(ring.Push(bigPacket));
    const uint32_t oldest = ring.Snapshot().readIndex;
    TunnelPacket scratch;
    {
        AllocationWatch failing(100);
        EXPECT_FALSE(ring.PopPacket(scratch)) << "the scratch packet cannot take the datagram";
    }
    expectUnmoved(oldest, 1);
    ASSERT_TRUE(ring.PopPacket(scratch));
    EXPECT_EQ(scratch.length, 1000u);
}

}  // namespace

} // namespace zan
