// SPDX-License-Identifier: Apache-2.0
// The link's contract with its host beyond the wire protocol: calls back into the link from
// inside a delegate call, and destruction while timers and queued work are still pending.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>
#include <thread>

#include "link_fixture.hpp"
#include "orvex/Log.hpp"
#include "orvex/ReaderInterface.hpp"
#include "reader/ReaderInterfaceFactory.hpp"

namespace orvex::linktest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A host that drives the link from inside its delegate calls, as hosts do.
class ReentrantHost : public RecordingDelegate {
public:
    std::shared_ptr<detail::Link> link;
    bool readDuringCall = false;

    void btReader() override {
        RecordingDelegate::btReader();
        link->connectToReader();
    }
    void connecting() override {
        RecordingDelegate::connecting();
        // Reading the delegate and the flags, and setting the delegate again, from inside
        // a delegate call must not deadlock.
        readDuringCall = link->delegate().get() == this && !link->isConnected() && link->isReady();
        link->setDelegate(link->delegate());
    }
    void readerConnected() override {
        RecordingDelegate::readerConnected();
        link->disconnectFromReader();
        link->scan();
    }
    void readerDisconnected(OrvexDisconnectionCause cause) override {
        RecordingDelegate::readerDisconnected(cause);
        // Dropping the delegate from inside its own call.
        link->setDelegate(nullptr);
    }
};

TEST(LinkLifetime, HostMayCallBackIntoTheLinkFromInsideADelegateCall) {
    auto platform = std::make_shared<sim::SimPlatform>();
    auto log = std::make_shared<WriteLog>();
    platform->setObserver(log);
    auto link = std::make_shared<detail::Link>(platform);
    auto host = std::make_shared<ReentrantHost>();
    host->link = link;
    link->setDelegate(host);

    link->initializeBluetooth();
    platform->runUntilIdle();
    EXPECT_TRUE(platform->isScanning());
    EXPECT_TRUE(host->readDuringCall);

    platform->discover(platform->addPeripheral("KX-BT4 0001"));
    platform->runUntilIdle();
    platform->completeConnect(true);
    platform->runUntilIdle();
    platform->reportServices(std::vector<sim::Uuid>{sim::Uuid("FFE0")});
    platform->runUntilIdle();
    platform->reportCharacteristics(sim::Uuid("FFE0"), std::vector<sim::Uuid>{sim::Uuid("FFE1")});
    platform->runUntilIdle();
    platform->notify({0x80});
    platform->runUntilIdle();
    // The operations called inside readerConnected() ran after it, in call order: the
    // connection is cancelled, and the scan is refused as the version is outstanding.
    EXPECT_EQ(log->cancels(), 1);
    platform->reportDisconnected();
    platform->runUntilIdle();
    platform->advance(30.0);

    EXPECT_THAT(
        host->lines(),
        ElementsAre("btReader", "connecting", "bleDetected KX-BT4 0001", "bleDetected FFE0",
                    "bleDetected FFE1", "readerConnected", "scanFailed", "readerDisconnected 1"));
    EXPECT_EQ(link->delegate(), nullptr);
    EXPECT_FALSE(link->isConnected());
}

// Connected, with the watchdog, a scan timer and a still armed connection timer; then the
// host lets the link go with work still queued for it.
TEST(LinkLifetime, DestroyedLinkLeavesTimersAndQueuedBlocksHarmless) {
    auto platform = std::make_shared<sim::SimPlatform>();
    auto log = std::make_shared<WriteLog>();
    platform->setObserver(log);
    auto host = std::make_shared<RecordingDelegate>();
    {
        auto link = std::make_shared<detail::Link>(platform);
        link->setDelegate(host);
        connectScripted(*platform, *link);
        platform->notify({0x7F});
        platform->notify({0x84, 0x00, 0x01});
        platform->notify({0x8E, 0x43, 0x00});
        link->connectToReader();  // a second connection timer, which no handshake stops
        link->scan();
        platform->runUntilIdle();
        ASSERT_TRUE(link->isConnected());
        link->scan();
        link->disconnectFromReader();
        link->writeContact("A@B.C", "+123456789012", "999 000000012345", [](bool, auto) {});
    }
    const auto linesAtDestruction = host->lines();
    const auto writesAtDestruction = log->writes().size();
    // Teardown let the connected reader go.
    EXPECT_EQ(log->cancels(), 1);

    platform->advance(60.0);
    platform->reportDisconnected();
    platform->notify({0x80});
    platform->runUntilIdle();
    EXPECT_EQ(host->lines(), linesAtDestruction);
    EXPECT_EQ(log->writes().size(), writesAtDestruction);
}

// Holds the link's thread inside a delegate call until the test lets it go, and notes
// whether a teardown returned while that call still ran.
struct CallHolder {
    std::atomic<bool> inCall{false};
    std::atomic<bool> letGo{false};
    std::atomic<bool> teardownReturned{false};
    std::atomic<bool> teardownReturnedDuringTheCall{false};

    void hold() {
        inCall = true;
        while (!letGo) std::this_thread::yield();
        // Time for a teardown that does not wait to return while this call still runs.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (teardownReturned) teardownReturnedDuringTheCall = true;
    }
};

// A host whose first delegate call holds the link's thread until it is let go.
class BlockingHost : public RecordingDelegate, public CallHolder {
public:
    void btReader() override { hold(); }
};

TEST(LinkLifetime, TeardownOnAnotherThreadWaitsForTheDelegateCallUnderWay) {
    auto platform = std::make_shared<sim::SimPlatform>(sim::Clock::realTime);
    auto host = std::make_shared<BlockingHost>();
    auto link = ReaderInterface::create(platform);
    link->setDelegate(host);
    link->initializeBluetooth();
    while (!host->inCall) std::this_thread::yield();

    std::thread teardown([&] {
        link.reset();
        host->teardownReturned = true;
    });
    host->letGo = true;
    teardown.join();
    platform->shutdown();
    EXPECT_FALSE(host->teardownReturnedDuringTheCall);
}

// The host replaces its delegate on another thread and drops its own reference while one of
// the delegate's calls still runs: the call keeps it alive, and it is released once the call
// has ended, before the link lets the host go.
TEST(LinkLifetime, DelegateReplacedDuringItsCallLivesUntilTheCallEnds) {
    auto platform = std::make_shared<sim::SimPlatform>(sim::Clock::realTime);
    auto host = std::make_shared<BlockingHost>();
    const std::weak_ptr<BlockingHost> replaced = host;
    CallHolder& call = *host;
    auto link = ReaderInterface::create(platform);
    link->setDelegate(host);
    link->initializeBluetooth();
    while (!call.inCall) std::this_thread::yield();

    link->setDelegate(std::make_shared<RecordingDelegate>());
    host.reset();
    EXPECT_FALSE(replaced.expired());
    call.letGo = true;
    link.reset();
    EXPECT_TRUE(replaced.expired());
    platform->shutdown();
}

// A host that lets its link go from inside a delegate call, on the link's own thread.
class HostDroppingItsLink : public RecordingDelegate {
public:
    std::shared_ptr<ReaderInterface> link;
    std::atomic<bool> dropped{false};

    void btReader() override {
        RecordingDelegate::btReader();
        link.reset();
        dropped = true;
    }
};

TEST(LinkLifetime, TeardownInsideADelegateCallDoesNotWaitForItself) {
    auto platform = std::make_shared<sim::SimPlatform>(sim::Clock::realTime);
    auto host = std::make_shared<HostDroppingItsLink>();
    host->link = ReaderInterface::create(platform);
    host->link->setDelegate(host);
    host->link->initializeBluetooth();
    // A teardown that waited for its own call would never get here.
    while (!host->dropped) std::this_thread::yield();
    platform->shutdown();
    EXPECT_EQ(host->lines(), std::vector<std::string>{"btReader"});
}

// A platform that notes the thread it ends on, and lets a test hold the link from the link
// queue outside any delegate call, as a platform's own callbacks and timers do.
class PlatformHoldingTheLink : public sim::SimPlatform {
public:
    explicit PlatformHoldingTheLink(std::shared_ptr<std::atomic<std::thread::id>> endedOn)
        : sim::SimPlatform(sim::Clock::realTime), endedOn_(std::move(endedOn)) {}
    ~PlatformHoldingTheLink() override { *endedOn_ = std::this_thread::get_id(); }

    std::shared_ptr<platform::CentralManager> createCentralManager(
        std::weak_ptr<platform::CentralManagerDelegate> delegate) override {
        link_ = delegate;
        return sim::SimPlatform::createCentralManager(std::move(delegate));
    }

    // Holds the link on the link queue until `letGo`, then a little longer.
    void holdTheLink(CallHolder& holder) {
        linkQueue().post([link = link_, &holder] {
            if (auto held = link.lock()) holder.hold();
        });
    }

private:
    std::shared_ptr<std::atomic<std::thread::id>> endedOn_;
    std::weak_ptr<platform::CentralManagerDelegate> link_;
};

// The host's handle is the link's last owner but for a moment on the link queue: the
// platform, held only by the link, must still end on the host's thread, after that moment.
TEST(LinkLifetime, TeardownWaitsForTheLinkQueueToLetGoSoThePlatformEndsOnTheHostsThread) {
    auto endedOn = std::make_shared<std::atomic<std::thread::id>>();
    auto platform = std::make_shared<PlatformHoldingTheLink>(endedOn);
    auto* queue = platform.get();
    auto reader = ReaderInterface::create(std::move(platform));
    reader->initializeBluetooth();
    queue->sync([] {});  // the manager exists once initializeBluetooth() has run

    CallHolder holder;
    queue->holdTheLink(holder);
    while (!holder.inCall) std::this_thread::yield();
    holder.letGo = true;
    reader.reset();
    holder.teardownReturned = true;

    EXPECT_FALSE(holder.teardownReturnedDuringTheCall);
    EXPECT_EQ(endedOn->load(), std::this_thread::get_id());
}

TEST(LinkLifetime, TeardownStopsASearchStillUnderWay) {
    auto platform = std::make_shared<sim::SimPlatform>();
    auto log = std::make_shared<WriteLog>();
    platform->setObserver(log);
    {
        auto reader = detail::ReaderInterfaceFactory::make(platform);
        reader->initializeBluetooth();
        platform->runUntilIdle();
        reader->connectToReader();
        platform->runUntilIdle();
        ASSERT_TRUE(reader->isScanning());
    }
    EXPECT_EQ(log->stopScans(), 1);
    EXPECT_FALSE(platform->isScanning());
    platform->advance(20.0);
}

// The records of one notification are reported in one run of calls; a host that sets
// another delegate, or none, inside one of them is heard from the next record on.
class HostHandingOverInsideAnExport : public RecordingDelegate {
public:
    std::shared_ptr<detail::Link> link;
    std::shared_ptr<ReaderInterfaceDelegate> successor;

    void exportReceived(std::optional<ScanResult> result, long number) override {
        RecordingDelegate::exportReceived(std::move(result), number);
        if (number == 101) link->setDelegate(successor);
    }
};

// Export records 101, 102 and 103 of an FDX-B tag, back to back in one notification.
sim::Bytes threeExportRecords() {
    sim::Bytes bytes;
    for (const char* number : {"101", "102", "103"}) {
        bytes.insert(bytes.end(), {0xAA, static_cast<std::uint8_t>(number[0]),
                                   static_cast<std::uint8_t>(number[1]),
                                   static_cast<std::uint8_t>(number[2]), 0x00, 0x00, 0x55});
        for (char c : std::string_view("FDXB    999 000000012345")) bytes.push_back(c);
        bytes.insert(bytes.end(), {0x0D, 0x0A, 0x00, 0x00, 0x00, 0x00});
    }
    return bytes;
}

// Connects, takes the link through its first exchanges to idle, then sends it export
// records 101-103 in one notification.
void connectIdleThenExportThreeRecords(sim::SimPlatform& platform, detail::Link& link) {
    connectScripted(platform, link);
    platform.notify({0x7F});              // version refused
    platform.notify({0x84, 0x00, 0x01});  // micro-app current
    platform.notify({0x8E, 0x43, 0x00});  // battery: idle
    platform.runUntilIdle();

    platform.notify(threeExportRecords());
    platform.runUntilIdle();
}

struct HandOverCase {
    const char* name;
    bool toAnotherHost;
};

class DelegateChangeInsideAnExport : public ::testing::TestWithParam<HandOverCase> {};

TEST_P(DelegateChangeInsideAnExport, TakesEffectFromTheNextRecordOfTheSameNotification) {
    auto platform = std::make_shared<sim::SimPlatform>();
    auto link = std::make_shared<detail::Link>(platform);
    auto first = std::make_shared<HostHandingOverInsideAnExport>();
    auto second = std::make_shared<RecordingDelegate>();
    first->link = link;
    if (GetParam().toAnotherHost) first->successor = second;
    link->setDelegate(first);
    connectIdleThenExportThreeRecords(*platform, *link);

    EXPECT_THAT(first->lines(), ::testing::Contains("exportReceived 101"));
    EXPECT_THAT(first->lines(), ::testing::Not(::testing::Contains("exportReceived 102")));
    if (GetParam().toAnotherHost) {
        EXPECT_THAT(second->lines(), ElementsAre("exportReceived 102", "exportReceived 103"));
    } else {
        EXPECT_THAT(second->lines(), IsEmpty());
    }
    link->setDelegate(nullptr);
}

INSTANTIATE_TEST_SUITE_P(LinkLifetime, DelegateChangeInsideAnExport,
                         ::testing::Values(HandOverCase{"ToAnotherHost", true},
                                           HandOverCase{"ToNoHost", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A host whose report of export record 102 throws.
class HostThrowingInAnExport : public RecordingDelegate {
public:
    void exportReceived(std::optional<ScanResult> result, long number) override {
        RecordingDelegate::exportReceived(std::move(result), number);
        if (number == 102) throw std::runtime_error("host bug in exportReceived");
    }
};

TEST(LinkLifetime, ARecordWhoseReportThrowsIsLoggedAndTheRecordsAfterItAreStillReported) {
    std::vector<std::string> errors;
    setLogHandler(LogLevel::error, [&](LogLevel, std::string_view message) {
        errors.emplace_back(message);
    });
    auto platform = std::make_shared<sim::SimPlatform>();
    auto link = std::make_shared<detail::Link>(platform);
    auto host = std::make_shared<HostThrowingInAnExport>();
    link->setDelegate(host);
    connectIdleThenExportThreeRecords(*platform, *link);
    setLogHandler(LogLevel::error, nullptr);

    EXPECT_THAT(host->lines(), ::testing::IsSupersetOf({"exportReceived 101", "exportReceived 102",
                                                        "exportReceived 103"}));
    EXPECT_THAT(errors, ElementsAre("delegate callback exportReceived threw: host bug in "
                                    "exportReceived; the link goes on"));
    EXPECT_TRUE(link->isConnected());
    link->setDelegate(nullptr);
}

// A host whose report of export record 101 holds the link's thread until it is let go.
class HostBlockingInAnExport : public RecordingDelegate, public CallHolder {
public:
    void exportReceived(std::optional<ScanResult> result, long number) override {
        RecordingDelegate::exportReceived(std::move(result), number);
        if (number == 101) hold();
    }
};

TEST(LinkLifetime, CloseDuringTheRecordsOfOneNotificationWaitsAndEndsThem) {
    auto platform = std::make_shared<sim::SimPlatform>(sim::Clock::realTime);
    auto link = std::make_shared<detail::Link>(platform);
    auto host = std::make_shared<HostBlockingInAnExport>();
    link->setDelegate(host);
    const auto step = [&] { platform->sync([] {}); };
    link->initializeBluetooth();
    step();
    step();
    link->connectToReader();
    step();
    platform->discover(platform->addPeripheral("KX-BT4 0001"));
    step();
    platform->completeConnect(true);
    step();
    platform->reportServices(std::vector<sim::Uuid>{sim::Uuid("FFE0")});
    step();
    platform->reportCharacteristics(sim::Uuid("FFE0"), std::vector<sim::Uuid>{sim::Uuid("FFE1")});
    step();
    for (const sim::Bytes& answer : std::vector<sim::Bytes>{
             {0x80}, {0x7F}, {0x84, 0x00, 0x01}, {0x8E, 0x43, 0x00}}) {
        platform->notify(answer);  // handshake, version refused, micro-app current, battery
        step();
    }
    ASSERT_TRUE(link->isConnected());

    platform->notify(threeExportRecords());
    while (!host->inCall) std::this_thread::yield();
    std::thread closing([&] {
        link->close();
        host->teardownReturned = true;
    });
    host->letGo = true;
    closing.join();
    step();
    platform->shutdown();

    EXPECT_FALSE(host->teardownReturnedDuringTheCall);
    EXPECT_THAT(host->lines(), ::testing::Contains("exportReceived 101"));
    EXPECT_THAT(host->lines(), ::testing::Not(::testing::Contains("exportReceived 102")));
}

TEST(LinkLifetime, NoDelegateStillRunsTheExchange) {
    auto platform = std::make_shared<sim::SimPlatform>();
    auto log = std::make_shared<WriteLog>();
    platform->setObserver(log);
    auto link = std::make_shared<detail::Link>(platform);
    connectScripted(*platform, *link);
    platform->notify({0x87, 0x41, 0x00});
    platform->notify({0x84, 0x00, 0x01});
    platform->notify({0x8E, 0x43, 0x00});
    platform->advance(2.5);
    EXPECT_TRUE(link->isConnected());
    EXPECT_THAT(log->writes(),
                ElementsAre(detail::PING_DATA, detail::VERSION_DATA, detail::CHECK_MICRO_APP_DATA,
                            detail::BATTERY_DATA, detail::PING_DATA));
}

TEST(LinkLifetime, ProcessWideLinkIsOneObjectAndItsPlatformIsFixedOnFirstUse) {
    auto platform = std::make_shared<sim::SimPlatform>(sim::Clock::realTime);
    ASSERT_TRUE(ReaderInterface::usePlatform(platform));
    auto& first = ReaderInterface::reader();
    EXPECT_EQ(&first, &ReaderInterface::reader());
    EXPECT_FALSE(ReaderInterface::usePlatform(std::make_shared<sim::SimPlatform>()));

    auto host = std::make_shared<RecordingDelegate>();
    first.setDelegate(host);
    first.initializeBluetooth();
    platform->sync([] {});  // creates the manager, which reports its state from a block
    platform->sync([] {});
    EXPECT_TRUE(first.isReady());
    EXPECT_THAT(host->lines(), ElementsAre("btReader"));
    first.setDelegate(nullptr);
}

TEST(LinkLifetime, ReceivedScanIsDecodedWithoutALink) {
    const auto result =
        ReaderInterface::handleReceivedScan({0x88, 0x04, 0x03, 0xE7, 0x39, 0x30, 0, 0, 0});
    ASSERT_TRUE(result.scan && result.scan->xpdr);
    EXPECT_EQ(result.scan->xpdr->id, "999 000000012345");
    EXPECT_EQ(result.scan->xpdr->type, 4);
    EXPECT_GT(result.scan->date, 1.5e9);  // the wall clock
    EXPECT_EQ(ReaderInterface::handleReceivedScan({0x88}).scan, nullptr);
}

}  // namespace
}  // namespace orvex::linktest
