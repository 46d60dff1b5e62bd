#include "CSyncEvent.h"
#include "CZAN_DynamicBuffer.h"
#include "TunnelStackBuffer.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kSlots = TunnelStackBuffer::kSlotCount;

PacketEndpoint Endpoint(uint32_t port, const std::string& address = "127.0.0.2")
{
    PacketEndpoint endpoint;
    endpoint.port = port;
    endpoint.address = address;
    return endpoint;
}

// Datagram n carries its number in its first four bytes and is n % 50 + 4
// bytes long, so that both order and length mix-ups show.
std::vector<uint8_t> Datagram(uint32_t n)
{
    std::vector<uint8_t> bytes(n % 50 + 4, static_cast<uint8_t>(n));
    std::memcpy(bytes.data(), &n, sizeof n);
    return bytes;
}

bool PushNumbered(TunnelStackBuffer& ring, uint32_t n)
{
    const auto bytes = Datagram(n);
    return ring.PushData(bytes.data(), static_cast<uint32_t>(bytes.size()), Endpoint(n), 2);
}

// Pops one datagram and returns its number, checking that its length, port
// and contents are the ones PushNumbered gave it; -1 when nothing came out.
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
    const auto expected = Datagram(n);
    EXPECT_EQ(length, expected.size());
    EXPECT_EQ(0, std::memcmp(buffer.data(), expected.data(), expected.size()));
    EXPECT_EQ(endpoint.port, n);
    EXPECT_EQ(kind, 2);
    return n;
}

// Counts aligned allocations, and fails those above a size, while it lives.
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

void ExpectSameState(const ICircularBuffer::State& a, const ICircularBuffer::State& b)
{
    EXPECT_EQ(a.readIndex, b.readIndex);
    EXPECT_EQ(a.writeIndex, b.writeIndex);
    EXPECT_EQ(a.count, b.count);
    EXPECT_EQ(a.full, b.full);
    EXPECT_EQ(a.empty, b.empty);
}

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
    ASSERT_GT(pushed, 2 * kSlots);
    const auto state = ring.Snapshot();
    EXPECT_EQ(state.readIndex, pushed % kSlots);
    EXPECT_EQ(state.writeIndex, pushed % kSlots);
    EXPECT_TRUE(state.empty);
    EXPECT_EQ(PopNumbered(ring), -1);
}

TEST(TunnelStackBuffer, FullRingDropsTheOldestDatagram)
{
    TunnelStackBuffer ring;
    for (uint32_t n = 0; n < kSlots; ++n) {
        ASSERT_TRUE(PushNumbered(ring, n));
    }
    auto state = ring.Snapshot();
    EXPECT_EQ(state.count, kSlots);
    EXPECT_TRUE(state.full);
    EXPECT_TRUE(ring.IsFull());

    ASSERT_TRUE(PushNumbered(ring, kSlots));
    state = ring.Snapshot();
    EXPECT_EQ(state.count, kSlots);
    EXPECT_TRUE(state.full);
    EXPECT_EQ(state.readIndex, 1u);
    EXPECT_EQ(state.writeIndex, 1u);

    EXPECT_EQ(PopNumbered(ring), 1) << "the first datagram was overwritten";
    EXPECT_FALSE(ring.IsFull());
    for (uint32_t n = 2; n <= kSlots; ++n) {
        ASSERT_EQ(PopNumbered(ring), n);
    }
    EXPECT_TRUE(ring.IsEmpty());
}

TEST(TunnelStackBuffer, PopIntoATooSmallBufferReportsTheSizeAndKeepsTheDatagram)
{
    TunnelStackBuffer ring;
    uint32_t length = 77;
    PacketEndpoint endpoint;
    uint8_t kind = 0;
    std::array<uint8_t, 16> buffer{};
    EXPECT_FALSE(ring.Pop(buffer.data(), length, endpoint, kind));
    EXPECT_EQ(length, 77u) << "an empty ring leaves the length alone";

    const std::array<uint8_t, 10> payload{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_TRUE(ring.PushData(payload.data(), payload.size(), Endpoint(5004, "127.0.0.5"), 2));
    ASSERT_TRUE(PushNumbered(ring, 1));

    length = 9;
    EXPECT_FALSE(ring.Pop(buffer.data(), length, endpoint, kind));
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(buffer[0], 0) << "nothing is copied into a buffer that is too small";

    length = 100;
    EXPECT_FALSE(ring.Pop(nullptr, length, endpoint, kind)) << "a null buffer holds nothing";
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(ring.Snapshot().count, 2u);

    ASSERT_TRUE(ring.Pop(buffer.data(), length, endpoint, kind));
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(0, std::memcmp(buffer.data(), payload.data(), payload.size()));
    EXPECT_EQ(endpoint.port, 5004u);
    EXPECT_EQ(endpoint.address, "127.0.0.5");
    EXPECT_EQ(PopNumbered(ring), 1);
}

TEST(TunnelStackBuffer, ZeroLengthDatagramsTravelLikeAnyOther)
{
    TunnelStackBuffer ring;
    ASSERT_TRUE(ring.PushData(nullptr, 0, Endpoint(9, "127.0.0.9"), 2));
    TunnelPacket empty;
    empty.endpoint = Endpoint(10);
    ASSERT_TRUE(ring.Push(empty));

    std::array<uint8_t, 4> buffer{0xAA, 0xAA, 0xAA, 0xAA};
    uint32_t length = 0;
    PacketEndpoint endpoint;
    uint8_t kind = 0;
    ASSERT_TRUE(ring.Pop(buffer.data(), length, endpoint, kind));
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(endpoint.port, 9u);
    EXPECT_EQ(endpoint.address, "127.0.0.9");
    ASSERT_TRUE(ring.Pop(nullptr, length, endpoint, kind));
    EXPECT_EQ(endpoint.port, 10u);
    EXPECT_EQ(buffer[0], 0xAA);
    EXPECT_TRUE(ring.IsEmpty());
}

TEST(TunnelStackBuffer, RefusesNullDataWithALength)
{
    TunnelStackBuffer ring;
    EXPECT_FALSE(ring.PushData(nullptr, 5, Endpoint(1), 2));
    EXPECT_TRUE(ring.IsEmpty());
    EXPECT_EQ(ring.Snapshot().writeIndex, 0u);
}

TEST(TunnelStackBuffer, PopPacketHandsOverTheSlotAndAdvances)
{
    TunnelStackBuffer ring;
    CSyncEvent event(false, true);
    ring.SetNotifyEvent(&event);
    ASSERT_TRUE(PushNumbered(ring, 3));
    ASSERT_TRUE(PushNumbered(ring, 4));

    TunnelPacket scratch;
    ASSERT_TRUE(ring.PopPacket(scratch));
    const auto expected = Datagram(3);
    ASSERT_EQ(scratch.length, expected.size());
    EXPECT_EQ(0, std::memcmp(scratch.data, expected.data(), expected.size()));
    EXPECT_EQ(scratch.endpoint.port, 3u);
    EXPECT_TRUE(event.IsSignaled());
    ASSERT_TRUE(ring.PopPacket(scratch));
    EXPECT_EQ(scratch.endpoint.port, 4u);
    EXPECT_FALSE(event.IsSignaled());
    EXPECT_FALSE(ring.PopPacket(scratch));
}

TEST(TunnelStackBuffer, EventIsSignaledExactlyWhileDatagramsAreQueued)
{
    TunnelStackBuffer ring;
    ASSERT_TRUE(PushNumbered(ring, 0));
    CSyncEvent event(false, true);
    ring.SetNotifyEvent(&event);
    EXPECT_TRUE(event.IsSignaled()) << "an event set on a non-empty ring starts signaled";

    ASSERT_TRUE(PushNumbered(ring, 1));
    EXPECT_EQ(PopNumbered(ring), 0);
    EXPECT_TRUE(event.IsSignaled()) << "one datagram is still queued";
    EXPECT_EQ(PopNumbered(ring), 1);
    EXPECT_FALSE(event.IsSignaled());
    EXPECT_EQ(PopNumbered(ring), -1);
    EXPECT_FALSE(event.IsSignaled());

    for (uint32_t n = 0; n <= kSlots; ++n) {
        ASSERT_TRUE(PushNumbered(ring, n));
    }
    EXPECT_TRUE(event.IsSignaled());
    for (uint32_t n = 1; n <= kSlots; ++n) {
        ASSERT_EQ(PopNumbered(ring), n);
    }
    EXPECT_FALSE(event.IsSignaled());

    event.Set();
    ring.SetNotifyEvent(&event);
    EXPECT_FALSE(event.IsSignaled()) << "an event set on an empty ring starts clear";
}

// A producer races a consumer that sleeps on the event. A signaled event
// must always find a datagram, and a drained ring must leave the event
// clear; otherwise the consumer would spin on a stale signal or sleep on a
// queued datagram.
TEST(TunnelStackBuffer, EventTracksTheRingUnderAProducerConsumerRace)
{
    TunnelStackBuffer ring;
    CSyncEvent event(false, true);
    ring.SetNotifyEvent(&event);
    constexpr uint32_t kDatagrams = 20000;
    std::atomic<bool> producerDone{false};

    std::thread producer([&] {
        for (uint32_t n = 0; n < kDatagrams; ++n) {
            PushNumbered(ring, n);
            if (n % 64 == 0) {
                std::this_thread::yield();
            }
        }
        producerDone = true;
    });

    int64_t last = -1;
    uint32_t received = 0;
    uint32_t staleSignals = 0;
    while (!(producerDone && ring.IsEmpty())) {
        if (!event.Wait(2000)) {
            EXPECT_TRUE(producerDone && ring.IsEmpty()) << "the event stayed clear while datagrams were queued";
            break;
        }
        const int64_t n = PopNumbered(ring);
        if (n < 0) {
            ++staleSignals;
            continue;
        }
        if (n <= last) {
            ADD_FAILURE() << "datagram " << n << " came out after " << last;
            break;
        }
        last = n;
        ++received;
    }
    producer.join();
    EXPECT_EQ(staleSignals, 0u) << "a signaled event always found a datagram";
    EXPECT_EQ(last, kDatagrams - 1) << "the newest datagram is never the one dropped";
    EXPECT_GE(received, kSlots);
    EXPECT_TRUE(ring.IsEmpty());
    EXPECT_FALSE(event.IsSignaled());
}

TEST(TunnelStackBuffer, SteadyTrafficReusesTheSlotBlocks)
{
    TunnelStackBuffer ring;
    const auto bytes = Datagram(49);  // the longest numbered datagram
    for (uint32_t n = 0; n < kSlots; ++n) {
        ASSERT_TRUE(ring.PushData(bytes.data(), static_cast<uint32_t>(bytes.size()), Endpoint(49), 2));
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
    bigPacket.Assign(big.data(), 1000, Endpoint(77), 2);

    {
        AllocationWatch failing(100);
        EXPECT_FALSE(ring.PushData(big.data(), 1000, Endpoint(1), 2));
        EXPECT_FALSE(ring.Push(bigPacket));
    }
    ExpectSameState(ring.Snapshot(), ICircularBuffer::State{0, 0, 0, false, true});
    EXPECT_FALSE(event.IsSignaled());

    for (uint32_t n = 0; n < kSlots; ++n) {
        ASSERT_TRUE(PushNumbered(ring, n));
    }
    const auto full = ring.Snapshot();
    {
        AllocationWatch failing(100);
        EXPECT_FALSE(ring.PushData(big.data(), 1000, Endpoint(1), 2));
        EXPECT_FALSE(ring.Push(bigPacket));
        ASSERT_TRUE(PushNumbered(ring, kSlots)) << "a datagram that fits the slot's block needs no allocation";
    }
    EXPECT_EQ(full.count, kSlots);
    EXPECT_EQ(ring.Snapshot().readIndex, 1u);
    for (uint32_t n = 1; n <= kSlots; ++n) {
        ASSERT_EQ(PopNumbered(ring), n);
    }

    ASSERT_TRUE(ring.Push(bigPacket));
    TunnelPacket scratch;
    {
        AllocationWatch failing(100);
        EXPECT_FALSE(ring.PopPacket(scratch)) << "the scratch packet cannot take the datagram";
    }
    EXPECT_EQ(ring.Snapshot().count, 1u);
    EXPECT_TRUE(event.IsSignaled());
    ASSERT_TRUE(ring.PopPacket(scratch));
    EXPECT_EQ(scratch.length, 1000u);
    EXPECT_EQ(scratch.endpoint.port, 77u);
}

}  // namespace
