// SPDX-License-Identifier: Apache-2.0
// Public operations from several host threads while the platform's own thread delivers
// events: every effect runs on the link queue and every delegate call is made there.
// Meant to be run under -DORVEX_SANITIZE=thread as well.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "link_fixture.hpp"
#include "reader/ReaderInterfaceFactory.hpp"

namespace orvex::linktest {
namespace {

// A host that also calls back in from its delegate calls, on the link queue.
class BusyHost : public RecordingDelegate {
public:
    ReaderInterface* reader = nullptr;
    void readerConnected() override {
        RecordingDelegate::readerConnected();
        reader->scan();
    }
    void scanFailed() override {
        RecordingDelegate::scanFailed();
        (void)reader->isConnected();
    }
};

TEST(LinkThreads, OperationsFromManyThreadsRunOnTheLinkQueue) {
    auto platform = std::make_shared<sim::SimPlatform>(sim::Clock::realTime);
    auto reader = detail::ReaderInterfaceFactory::make(platform);
    auto host = std::make_shared<BusyHost>();
    host->reader = reader.get();
    reader->setDelegate(host);
    reader->initializeBluetooth();

    // The manager reports its state from a block that its creation posts.
    std::thread::id loopThread;
    platform->sync([] {});
    platform->sync([&] { loopThread = std::this_thread::get_id(); });
    ASSERT_TRUE(reader->isReady());

    std::atomic<bool> stop{false};
    std::vector<std::thread> hosts;
    for (int t = 0; t < 3; ++t) {
        hosts.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                switch ((i + t) % 6) {
                    case 0:
                        reader->connectToReader();
                        break;
                    case 1:
                        reader->scan();
                        break;
                    case 2:
                        reader->disconnectFromReader();
                        break;
                    case 3:
                        reader->setDelegate(host);
                        break;
                    case 4:
                        reader->writeContact("A@B.C", "+123456789012", "999 000000012345",
                                             [](bool, OrvexContactStatus) {});
                        break;
                    default:
                        (void)reader->isConnected();
                        (void)reader->isScanning();
                        (void)reader->delegate();
                        break;
                }
            }
        });
    }
    // Meanwhile the reader side: found, connected, discovered, answering.
    std::thread device([&] {
        auto peripheral = platform->addPeripheral("KX-BT4 0001");
        while (!stop.load()) {
            platform->discover(peripheral);
            platform->completeConnect(true);
            platform->reportServices(std::vector<sim::Uuid>{sim::Uuid("FFE0")});
            platform->reportCharacteristics(sim::Uuid("FFE0"),
                                            std::vector<sim::Uuid>{sim::Uuid("FFE1")});
            platform->notify({0x80});
            platform->notify({0x7F});
            platform->notify({0x84, 0x00, 0x01});
            platform->notify({0x8E, 0x43, 0x00});
            platform->reportDisconnected();
            std::this_thread::yield();
        }
    });
    for (auto& h : hosts) h.join();
    stop.store(true);
    device.join();
    platform->sync([] {});

    const auto threads = host->threads();
    ASSERT_FALSE(threads.empty());
    for (const auto& id : threads) EXPECT_EQ(id, loopThread);
    EXPECT_THAT(host->lines(), ::testing::Contains("connecting"));

    // The loop stops first: a block still running there may call into `reader` through
    // the host's raw pointer.
    platform->shutdown();
    reader.reset();
}

}  // namespace
}  // namespace orvex::linktest
