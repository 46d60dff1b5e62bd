#include "engine_test_util.h"

#include <filesystem>
#include <iterator>

namespace zan {

namespace {

using namespace enginetest;

int ThreadCount()
{
    const auto tasks = std::filesystem::directory_iterator("/proc/self/task");
    return static_cast<int>(std::distance(begin(tasks), end(tasks)));
}

// Engines are set up, started and stopped again and again and destroyed
// while datagrams flow both ways; a stopped engine's receive ports still
// forward (their threads live on), and nothing leaves a thread behind.
TEST(EngineLifecycle, DestructionUnderTrafficAndRepeatedCycles)
{
    const uint16_t port = FreeUdpPort();
    {
        // Sanitizer runtimes start helper threads with the first thread of
        // the process; count from a state where they exist already.
        CTunnel warmUp;
        warmUp.AddReceivePort(FreeUdpPort(), "127.0.0.2");
    }
    const int threadsBefore = ThreadCount();
    UdpEnd sender;
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        const auto payload = Pattern(500, 9);
        while (!stop) {
            sender.SendTo("127.0.0.2", port, payload);
            sender.SendTo("127.0.0.3", port, payload);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    for (int engineRound = 0; engineRound < 5; ++engineRound) {
        const uint16_t tunnelPort = FreeUdpPort();
        auto b = std::make_unique<CTunnel>();
        auto a = std::make_unique<CTunnel>();
        b->SetDeliveryAddress("127.0.0.5");
        b->SetReceiverNic("127.0.0.1");
        a->SetDeliveryAddress("127.0.0.4");
        for (int cycle = 0; cycle < 10; ++cycle) {
            for (auto [engine, destination, receive] : {std::tuple{b.get(), (const char*)nullptr, "127.0.0.3"},
                                                        std::tuple{a.get(), "127.0.0.1", "127.0.0.2"}}) {
                engine->SetUdpTunnel(destination, nullptr, tunnelPort, 8, "", 0);
                engine->AddKey(1, reinterpret_cast<const uint8_t*>("0123456789abcdef0123456789abcdef"), 32,
                               reinterpret_cast<const uint8_t*>("saltsaltsaltsa"), 14, 100);
                engine->AddReceivePort(port, receive);
                engine->StartReceiver();
            }
            a->StackFactory()->CreateSenderStack()->SendTo("s", 1, StackAddress{"", port});
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            a->Stop();
            b->Stop();
        }
        const uint64_t before = b->Statistics().datagramsReceived;
        b->StartReceiver();
        ASSERT_TRUE(WaitUntil([&] { return b->Statistics().datagramsReceived > before; }));
        // Destroyed while receiving, b also while running.
        a.reset();
        b.reset();
    }
    stop = true;
    flood.join();
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore; }))
        << ThreadCount() << " threads, " << threadsBefore << " before";
}

} // namespace

} // namespace zan
