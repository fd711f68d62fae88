// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <future>
#include <string_view>

#include "PlatformRecorder.hpp"
#include "reader/Commands.hpp"

// The backend on its own, against the fake org.bluez over a private bus: what it reports
// to the link, and what it sends to BlueZ.

namespace orvex::bluez_test {
namespace {

const std::vector<platform::Uuid> kServices = detail::KnownServices;
const std::vector<platform::Uuid> kCharacteristics = detail::KnownCharacteristics;

std::size_t countOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

// "adapter off (or rfkill-blocked)" -> "AdapterOffOrRfkillBlocked": a case's words as its name.
std::string caseName(std::string_view what) {
    std::string name;
    bool upper = true;
    for (char c : what) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            name += upper ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
            upper = false;
        } else {
            upper = true;
        }
    }
    return name;
}

std::string callList(const std::vector<std::string>& calls) {
    std::string out = "calls:";
    for (const auto& c : calls) out += " " + c;
    return out + "\n";
}

// --- adapter state -----------------------------------------------------------------------

struct StateCase {
    const char* what;
    bool fake;       // a fake org.bluez on the bus
    bool powered;    // its adapter powered
    bool denyBluez;  // the bus policy refuses calls to org.bluez
    const char* adapter;
    bool badAddress;  // the bus cannot be reached at all
    ManagerState expected;
};

class AdapterState : public ::testing::TestWithParam<StateCase> {};

TEST_P(AdapterState, FirstReportFollowsBluezAndTheAdapter) {
    const auto& c = GetParam();
    FakeConfig config;
    config.powered = c.powered;
    PrivateBus bus(c.denyBluez);
    std::unique_ptr<FakeBluez> fake;
    if (c.fake) fake = std::make_unique<FakeBluez>(bus.address(), config);
    BluezOptions options;
    options.busAddress = c.badAddress ? "unix:path=/nonexistent/orvex-bus" : bus.address();
    options.adapter = c.adapter;
    Backend backend(options);
    const auto expected = "state " + std::to_string(static_cast<int>(c.expected));
    ASSERT_TRUE(backend.recorder->log.waitUntil([](const auto& l) { return !l.empty(); }));
    EXPECT_EQ(backend.recorder->log.lines().front(), expected) << c.what;
    EXPECT_EQ(backend.central->state(), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Cases, AdapterState,
                         ::testing::Values(StateCase{"powered adapter", true, true, false, "hci0",
                                                     false, ManagerState::poweredOn},
                                           StateCase{"first adapter when none is named", true, true,
                                                     false, "", false, ManagerState::poweredOn},
                                           StateCase{"adapter off (or rfkill-blocked)", true, false,
                                                     false, "hci0", false,
                                                     ManagerState::poweredOff},
                                           StateCase{"named adapter missing", true, true, false,
                                                     "hci1", false, ManagerState::unsupported},
                                           StateCase{"no BlueZ on the bus", false, true, false,
                                                     "hci0", false, ManagerState::unsupported},
                                           StateCase{"bus policy refuses us", true, true, true,
                                                     "hci0", false, ManagerState::unauthorized},
                                           StateCase{"no bus at all", false, true, false, "hci0",
                                                     true, ManagerState::unsupported}),
                         [](const auto& info) { return caseName(info.param.what); });

TEST(AdapterStateChanges, PowerAdapterRemovalAndDaemonRestartAreReported) {
    FakeWorld world(fastConfig());
    Backend backend(world.options());
    auto& log = backend.recorder->log;
    ASSERT_TRUE(log.waitFor("state 5"));
    world.fake->setPowered(false);
    ASSERT_TRUE(log.waitFor("state 4")) << log.dump();
    world.fake->setPowered(true);
    ASSERT_TRUE(log.waitFor("state 5", 2)) << log.dump();
    // The daemon restarts: resetting, then what the new tree says.
    world.fake->stopService();
    ASSERT_TRUE(log.waitFor("state 1")) << log.dump();
    world.fake->startService();
    ASSERT_TRUE(log.waitFor("state 5", 3)) << log.dump();
    // The daemon leaves for good: resetting, then unsupported once it stays away.
    world.fake->stopService();
    ASSERT_TRUE(log.waitFor("state 1", 2)) << log.dump();
    ASSERT_TRUE(log.waitFor("state 2")) << log.dump();
    world.fake->startService();
    ASSERT_TRUE(log.waitFor("state 5", 4)) << log.dump();
    world.fake->removeAdapter();
    ASSERT_TRUE(log.waitFor("state 2", 2)) << log.dump();
    // The bus itself goes away.
    world.bus.kill();
    EXPECT_EQ(backend.central->state(), ManagerState::unsupported);
}

// --- discovery ---------------------------------------------------------------------------

TEST(Discovery, EachDeviceHeardIsReportedOnceAndAgainWhenItsNameArrives) {
    FakeWorld world(fastConfig());
    Backend backend(world.options());
    auto& log = backend.recorder->log;
    ASSERT_TRUE(log.waitFor("state 5"));
    backend.central->scanForPeripherals();
    EXPECT_TRUE(backend.central->isScanning());
    // Let the fake re-advertise a few times: repeated sightings are not reported again.
    ASSERT_TRUE(log.waitFor("discover KX-BT4 SIM")) << log.dump();
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    auto lines = log.lines();
    EXPECT_EQ(countOf(lines, "discover Galaxy Buds2 (4C1F)"), 1u);
    EXPECT_EQ(countOf(lines, "discover kx-bt4 charging dock"), 1u);
    EXPECT_EQ(countOf(lines, "discover KX-BT4 SIM"), 1u);
    // A cached device counts once it is heard (its RSSI changes).
    EXPECT_EQ(countOf(lines, "discover [TV] Living Room"), 1u);
    // Nameless twice: the nameless device, and the band before its name came.
    EXPECT_EQ(countOf(lines, "discover -"), 2u);
    EXPECT_EQ(countOf(lines, "discover Mi Smart Band 6"), 1u);
    auto calls = world.fake->calls();
    EXPECT_EQ(countOf(calls, "SetDiscoveryFilter:le"), 1u);
    EXPECT_EQ(countOf(calls, "StartDiscovery"), 1u);

    backend.central->stopScan();
    EXPECT_FALSE(backend.central->isScanning());
    const auto before = log.lines().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(log.lines().size(), before) << log.dump();
    onLinkQueue(*backend.platform, [] {});
    EXPECT_EQ(countOf(world.fake->calls(), "StopDiscovery"), 1u);

    // A new scan reports what it hears anew.
    backend.central->scanForPeripherals();
    ASSERT_TRUE(log.waitFor("discover KX-BT4 SIM", 2)) << log.dump();
    backend.central->stopScan();
}

// Devices BlueZ already knows to be near when our discovery starts: no new sighting may
// ever come for them, yet each counts as heard, once per scan.
struct HeardBeforeCase {
    const char* name;
    bool connectedAtStart;  // a process that ended left the reader connected (it is quiet)
    bool heardElsewhere;    // another client's discovery set its RSSI, which never changes
};

class HeardBeforeTheScan : public ::testing::TestWithParam<HeardBeforeCase> {};

TEST_P(HeardBeforeTheScan, ReaderIsReportedOnceAndConnects) {
    FakeConfig config = fastConfig();
    config.reader->connectedAtStart = GetParam().connectedAtStart;
    config.reader->device.heardElsewhere = GetParam().heardElsewhere;
    config.nearby.push_back({"F0:00:00:00:00:06", "LE-Bose Micro", false, false, -80, true});
    FakeWorld world(config);
    Backend backend(world.options());
    auto& log = backend.recorder->log;
    ASSERT_TRUE(log.waitFor("state 5"));
    backend.central->scanForPeripherals();
    ASSERT_TRUE(log.waitFor("discover KX-BT4 SIM")) << log.dump();
    ASSERT_TRUE(log.waitFor("discover LE-Bose Micro")) << log.dump();
    // Past two rounds of re-advertising by everything else.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    backend.central->stopScan();
    auto lines = log.lines();
    EXPECT_EQ(countOf(lines, "discover KX-BT4 SIM"), 1u) << log.dump();
    EXPECT_EQ(countOf(lines, "discover LE-Bose Micro"), 1u) << log.dump();

    // A new scan hears it anew; then it connects as usual.
    backend.central->scanForPeripherals();
    ASSERT_TRUE(log.waitFor("discover KX-BT4 SIM", 2)) << log.dump();
    auto reader = backend.connectReader(kServices, kCharacteristics);
    ASSERT_TRUE(reader);
    EXPECT_EQ(backend.recorder->characteristics().size(), 2u) << log.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HeardBeforeTheScan,
    ::testing::Values(HeardBeforeCase{"LeftConnected", true, false},
                      HeardBeforeCase{"HeardByAnotherClientsDiscovery", false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Discovery, NotScanningWhileTheAdapterIsOff) {
    FakeConfig config = fastConfig();
    config.powered = false;
    FakeWorld world(config);
    Backend backend(world.options());
    ASSERT_TRUE(backend.recorder->log.waitFor("state 4"));
    backend.central->scanForPeripherals();
    onLinkQueue(*backend.platform, [] {});
    EXPECT_FALSE(backend.central->isScanning());
    EXPECT_EQ(countOf(world.fake->calls(), "StartDiscovery"), 0u);
}

// --- centrals of one platform ---------------------------------------------------------------

// Two central managers on one platform, as two links make them, each with its recorder.
struct TwoCentrals {
    explicit TwoCentrals(BluezOptions options) : platform(makeBluezPlatform(std::move(options))) {
        for (auto& r : recorders) {
            r = std::make_shared<Recorder>();
            onLinkQueue(*platform, [r] { r->setQueueThread(std::this_thread::get_id()); });
        }
        for (int i = 0; i < 2; ++i) centrals[i] = platform->createCentralManager(recorders[i]);
    }
    ~TwoCentrals() {
        for (auto& c : centrals) drop(c);
    }
    // Drops a central on the link queue, as the link does.
    void drop(std::shared_ptr<platform::CentralManager>& central) {
        if (!central) return;
        onLinkQueue(*platform, [c = std::move(central)]() mutable { c.reset(); });
    }

    std::shared_ptr<platform::Platform> platform;
    std::shared_ptr<Recorder> recorders[2];
    std::shared_ptr<platform::CentralManager> centrals[2];
};

TEST(CentralsOfOnePlatform, ShareOneBusConnectionAndOneDiscoverySession) {
    FakeWorld world(fastConfig());
    const auto others = world.bus.clients();  // the fake
    TwoCentrals two(world.options());
    auto& [a, b] = two.centrals;
    for (auto& r : two.recorders) ASSERT_TRUE(r->log.waitFor("state 5")) << r->log.dump();
    EXPECT_EQ(world.bus.clients(), others + 1);

    a->scanForPeripherals();
    b->scanForPeripherals();
    // Every sighting reaches both.
    for (auto& r : two.recorders) {
        ASSERT_TRUE(r->log.waitFor("discover KX-BT4 SIM")) << r->log.dump();
        ASSERT_TRUE(r->log.waitFor("discover Galaxy Buds2 (4C1F)")) << r->log.dump();
    }
    EXPECT_EQ(world.fake->discoveryClients(), 1u);

    // One stops: the other's discovery goes on.
    a->stopScan();
    onLinkQueue(*two.platform, [] {});
    EXPECT_EQ(countOf(world.fake->calls(), "StopDiscovery"), 0u) << callList(world.fake->calls());
    EXPECT_EQ(world.fake->discoveryClients(), 1u);
    EXPECT_TRUE(b->isScanning());

    // Scanning again joins the session that runs: what BlueZ already hears is reported anew.
    a->scanForPeripherals();
    ASSERT_TRUE(two.recorders[0]->log.waitFor("discover KX-BT4 SIM", 2))
        << two.recorders[0]->log.dump();
    b->stopScan();
    onLinkQueue(*two.platform, [] {});
    EXPECT_EQ(world.fake->discoveryClients(), 1u);

    // The last one stops it.
    a->stopScan();
    onLinkQueue(*two.platform, [] {});
    EXPECT_TRUE(eventually([&] { return world.fake->discoveryClients() == 0; }));
    const auto calls = world.fake->calls();
    EXPECT_EQ(countOf(calls, "SetDiscoveryFilter:le"), 1u) << callList(calls);
    EXPECT_EQ(countOf(calls, "StartDiscovery"), 1u) << callList(calls);
    EXPECT_EQ(countOf(calls, "StopDiscovery"), 1u) << callList(calls);
}

TEST(CentralsOfOnePlatform, DiscoveryEndsWithTheAdapterAndWithTheLastCentralThatWantedIt) {
    FakeWorld world(fastConfig());
    TwoCentrals two(world.options());
    auto& [a, b] = two.centrals;
    for (auto& r : two.recorders) ASSERT_TRUE(r->log.waitFor("state 5")) << r->log.dump();
    a->scanForPeripherals();
    b->scanForPeripherals();
    for (auto& r : two.recorders) ASSERT_TRUE(r->log.waitFor("discover KX-BT4 SIM"));

    // BlueZ ends the session with the adapter's power: the next scan starts a new one.
    world.fake->setPowered(false);
    for (auto& r : two.recorders) ASSERT_TRUE(r->log.waitFor("state 4")) << r->log.dump();
    EXPECT_FALSE(a->isScanning());
    EXPECT_FALSE(b->isScanning());
    world.fake->setPowered(true);
    for (auto& r : two.recorders) ASSERT_TRUE(r->log.waitFor("state 5", 2)) << r->log.dump();
    a->scanForPeripherals();
    ASSERT_TRUE(two.recorders[0]->log.waitFor("discover KX-BT4 SIM", 2))
        << two.recorders[0]->log.dump();
    EXPECT_EQ(world.fake->discoveryClients(), 1u);
    EXPECT_EQ(countOf(world.fake->calls(), "StartDiscovery"), 2u)
        << callList(world.fake->calls());

    // The only central scanning goes away while it scans: discovery stops with it, and the
    // other one still scans on its own.
    two.drop(a);
    EXPECT_TRUE(eventually([&] { return world.fake->discoveryClients() == 0; }));
    EXPECT_EQ(countOf(world.fake->calls(), "StopDiscovery"), 1u)
        << callList(world.fake->calls());
    b->scanForPeripherals();
    ASSERT_TRUE(two.recorders[1]->log.waitFor("discover KX-BT4 SIM", 2))
        << two.recorders[1]->log.dump();
    EXPECT_EQ(world.fake->discoveryClients(), 1u);
}

// --- connection and GATT -------------------------------------------------------------------

class Gatt : public ::testing::TestWithParam<sim::SimService> {};

TEST_P(Gatt, ServicesAndCharacteristicsComeFilteredInTheLinksOrder) {
    FakeWorld world(fastConfig(GetParam()));
    Backend backend(world.options());
    ASSERT_TRUE(backend.recorder->log.waitFor("state 5"));
    auto reader = backend.connectReader(kServices, kCharacteristics);
    ASSERT_TRUE(reader);
    auto lines = backend.recorder->log.lines();
    if (GetParam() == sim::SimService::uart) {
        EXPECT_EQ(countOf(lines, "services 49535343-FE7D-4AE5-8FA9-9FAFD205E455"), 1u);
        // The link asks for the read characteristic before the write one.
        EXPECT_EQ(countOf(lines,
                          "characteristics 49535343-1E4D-4BD9-BA61-23C647249616 "
                          "49535343-8841-43F4-A8D4-ECBE34729BB3"),
                  1u)
            << backend.recorder->log.dump();
    } else {
        EXPECT_EQ(countOf(lines, "services FFE0"), 1u) << backend.recorder->log.dump();
        EXPECT_EQ(countOf(lines, "characteristics FFE1"), 1u) << backend.recorder->log.dump();
    }
    // Asking for something the reader does not offer gives an empty list, not an error.
    reader->discoverServices({platform::Uuid("180F")});
    EXPECT_TRUE(backend.recorder->log.waitFor("services")) << backend.recorder->log.dump();
    // Every callback came on the link queue.
    for (const auto& line : backend.recorder->log.lines()) {
        EXPECT_EQ(line.find("off the link queue"), std::string::npos) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, Gatt,
                         ::testing::Values(sim::SimService::uart, sim::SimService::serial16),
                         [](const auto& info) {
                             return info.param == sim::SimService::uart ? "Uart" : "Serial16";
                         });

// Without sockets (BlueZ refuses AcquireWrite), every piece is one WriteValue.
FakeConfig withoutSockets(sim::SimService service = sim::SimService::uart) {
    FakeConfig config = fastConfig(service);
    config.reader->sockets = false;
    return config;
}

TEST(Writes, AreCutToTheAttPayloadSentInOrderWithTheirType) {
    FakeWorld world(withoutSockets());
    Backend backend(world.options());
    ASSERT_TRUE(backend.recorder->log.waitFor("state 5"));
    auto reader = backend.connectReader(kServices, kCharacteristics);
    auto chars = backend.recorder->characteristics();
    ASSERT_EQ(chars.size(), 2u);
    auto write = chars[1];
    // An escaped 80-byte slice is at most 160 bytes: eight writes at MTU 23.
    Bytes slice(160);
    for (std::size_t i = 0; i < slice.size(); ++i) slice[i] = static_cast<std::uint8_t>(i);
    Bytes small{0x01, 0x02, 0x03};
    reader->writeValue(slice, write, platform::WriteType::withResponse);
    reader->writeValue(small, write, platform::WriteType::withoutResponse);
    ASSERT_TRUE(eventually([&] { return world.fake->writes().size() >= 9; }));
    auto writes = world.fake->writes();
    ASSERT_EQ(writes.size(), 9u);
    Bytes joined;
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(writes[i].bytes.size(), 20u);
        EXPECT_EQ(writes[i].type, "request");
        joined.insert(joined.end(), writes[i].bytes.begin(), writes[i].bytes.end());
    }
    EXPECT_EQ(joined, slice);
    EXPECT_EQ(writes[8].bytes, small);
    EXPECT_EQ(writes[8].type, "command");
}

// Every byte the fake was sent, in order, however the writes were cut.
Bytes allWrittenBytes(const FakeBluez& fake) {
    Bytes all;
    for (const auto& w : fake.writes()) all.insert(all.end(), w.bytes.begin(), w.bytes.end());
    return all;
}

TEST(Writes, SlowAnswersNeitherReorderNorBlockTheLinkQueueAndWhatWaitsIsMerged) {
    FakeWorld world(withoutSockets(sim::SimService::serial16));
    Backend backend(world.options());
    ASSERT_TRUE(backend.recorder->log.waitFor("state 5"));
    auto reader = backend.connectReader(kServices, kCharacteristics);
    auto chars = backend.recorder->characteristics();
    ASSERT_EQ(chars.size(), 1u);
    world.fake->setWriteReplyDelay(std::chrono::milliseconds(30));
    // Many frames posted at once from the link queue: the queue stays free meanwhile.
    onLinkQueue(*backend.platform, [&] {
        for (std::uint8_t i = 0; i < 10; ++i) {
            reader->writeValue(Bytes(30, i), chars[0], platform::WriteType::withResponse);
        }
    });
    onLinkQueue(*backend.platform, [] {});  // runs long before the writes are answered
    EXPECT_LT(world.fake->writes().size(), 3u);
    // 300 bytes in frames of 30: one call per frame piece would be 20 calls.
    Bytes expected;
    for (std::uint8_t i = 0; i < 10; ++i) expected.insert(expected.end(), 30, i);
    const auto joined = [&] { return allWrittenBytes(*world.fake); };
    ASSERT_TRUE(eventually([&] { return joined().size() >= expected.size(); }))
        << "writes turned down as in progress: " << world.fake->refusedWrites();
    EXPECT_EQ(joined(), expected);
    // What waited behind a request in flight went as one stream of full pieces, and no
    // request went while another was in flight (BlueZ would have refused it).
    auto writes = world.fake->writes();
    EXPECT_LT(writes.size(), 20u);
    for (const auto& w : writes) EXPECT_LE(w.bytes.size(), 20u);
    EXPECT_EQ(world.fake->refusedWrites(), 0u);
}

struct FailureCase {
    const char* name;
    sim::SimService layout;
    platform::WriteType type;
    // Pieces of the stream that may go out after the failed one: commands sent before its
    // answer came back cannot be called back (at most one window of them).
    std::size_t sentAfterFailure;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class StreamFailure : public ::testing::TestWithParam<FailureCase> {};

// A failed piece ends its stream: the rest would only garble what the reader gets, so no
// more of it is sent once the failure is known. The next write starts a stream of its own.
TEST_P(StreamFailure, EndsTheStreamAndTheNextWriteStillGoesOut) {
    FakeWorld world(withoutSockets(GetParam().layout));
    Backend backend(world.options());
    ASSERT_TRUE(backend.recorder->log.waitFor("state 5"));
    auto reader = backend.connectReader(kServices, kCharacteristics);
    auto chars = backend.recorder->characteristics();
    ASSERT_FALSE(chars.empty());
    const auto write = chars.back();
    world.fake->failWriteValue(2);
    // Twenty pieces at MTU 23, each filled with its own number.
    Bytes stream;
    for (std::uint8_t piece = 1; piece <= 20; ++piece) stream.insert(stream.end(), 20, piece);
    reader->writeValue(stream, write, GetParam().type);
    // Once the stream is under way, a write of its own (not merged into it).
    ASSERT_TRUE(eventually([&] { return !world.fake->writes().empty(); }));
    const Bytes next{0xAA, 0xBB, 0xCC};
    reader->writeValue(next, write, GetParam().type);
    ASSERT_TRUE(eventually([&] {
        const auto writes = world.fake->writes();
        return !writes.empty() && writes.back().bytes == next;
    }));
    const auto writes = world.fake->writes();
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes.front().bytes, Bytes(20, 1));
    // Whatever came between went in order, right after the failed second piece.
    const std::size_t between = writes.size() - 2;
    EXPECT_LE(between, GetParam().sentAfterFailure);
    for (std::size_t i = 0; i < between; ++i) {
        EXPECT_EQ(writes[1 + i].bytes, Bytes(20, static_cast<std::uint8_t>(3 + i))) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    WriteTypes, StreamFailure,
    ::testing::Values(FailureCase{"Requests", sim::SimService::uart,
                                  platform::WriteType::withResponse, 0},
                      FailureCase{"Commands", sim::SimService::serial16,
                                  platform::WriteType::withoutResponse, 8}),
    [](const auto& info) { return std::string(info.param.name); });

struct PathCase {
    const char* name;
    bool sockets;
};

void PrintTo(const PathCase& c, std::ostream* os) { *os << c.name; }

class WritePaths : public ::testing::TestWithParam<PathCase> {};

// Over acquired sockets where BlueZ hands them out, else over WriteValue/StartNotify: the
// link sees no difference.
TEST_P(WritePaths, BytesArriveWholeAndInOrderAndNotificationsComeBack) {
    FakeConfig config = fastConfig();
    config.reader->sockets = GetParam().sockets;
    FakeWorld world(config);
    Backend backend(world.options());
    ASSERT_TRUE(backend.recorder->log.waitFor("state 5"));
    auto reader = backend.connectReader(kServices, kCharacteristics);
    auto chars = backend.recorder->characteristics();
    ASSERT_EQ(chars.size(), 2u);
    // Requests take a while to be answered: commands and requests behind one must wait.
    world.fake->setWriteReplyDelay(std::chrono::milliseconds(10));
    Bytes expected;
    onLinkQueue(*backend.platform, [&] {
        reader->setNotifyValue(true, chars[0]);
        const std::pair<std::size_t, platform::WriteType> frames[] = {
            {160, platform::WriteType::withResponse},
            {3, platform::WriteType::withoutResponse},
            {50, platform::WriteType::withResponse}};
        std::uint8_t next = 0;
        for (const auto& [size, type] : frames) {
            Bytes frame;
            for (std::size_t i = 0; i < size; ++i) frame.push_back(next++);
            reader->writeValue(frame, chars[1], type);
            expected.insert(expected.end(), frame.begin(), frame.end());
        }
    });
    const auto joined = [&] { return allWrittenBytes(*world.fake); };
    ASSERT_TRUE(eventually([&] { return joined().size() >= expected.size(); }))
        << "writes turned down as in progress: " << world.fake->refusedWrites();
    EXPECT_EQ(joined(), expected);
    for (const auto& w : world.fake->writes()) {
        EXPECT_LE(w.bytes.size(), 20u);
        EXPECT_EQ(w.type == "socket", GetParam().sockets) << w.type;
    }
    const auto calls = world.fake->calls();
    const auto has = [&](const char* call) { return countOf(calls, call) > 0; };
    EXPECT_EQ(world.fake->refusedWrites(), 0u);
    EXPECT_EQ(has("StartNotify"), !GetParam().sockets) << callList(calls);
    EXPECT_EQ(has("WriteValue"), !GetParam().sockets) << callList(calls);
    EXPECT_TRUE(has("AcquireNotify") && has("AcquireWrite")) << callList(calls);

    world.fake->notify({0x01, 0x02});
    ASSERT_TRUE(backend.recorder->log.waitFor("value")) << backend.recorder->log.dump();
    EXPECT_EQ(backend.recorder->received(), (Bytes{0x01, 0x02}));
}

INSTANTIATE_TEST_SUITE_P(Paths, WritePaths,
                         ::testing::Values(PathCase{"AcquiredSockets", true},
                                           PathCase{"WriteValueAndStartNotify", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The acquired sockets are closed on every way the connection can end.
enum class WayOut { readerDrops, hostCancels, daemonLeaves, centralDropped };

std::string wayOutName(WayOut way) {
    switch (way) {
        case WayOut::readerDrops:
            return "ReaderDrops";
        case WayOut::hostCancels:
            return "HostCancels";
        case WayOut::daemonLeaves:
            return "DaemonLeaves";
        case WayOut::centralDropped:
            break;
    }
    return "CentralDropped";
}

void PrintTo(WayOut way, std::ostream* os) { *os << wayOutName(way); }

class SocketsClosed : public ::testing::TestWithParam<WayOut> {};

TEST_P(SocketsClosed, WhenTheConnectionEnds) {
    FakeWorld world(fastConfig());
    auto backend = std::make_unique<Backend>(world.options());
    ASSERT_TRUE(backend->recorder->log.waitFor("state 5"));
    auto reader = backend->connectReader(kServices, kCharacteristics);
    auto chars = backend->recorder->characteristics();
    ASSERT_EQ(chars.size(), 2u);
    reader->setNotifyValue(true, chars[0]);
    reader->writeValue(Bytes{0x01}, chars[1], platform::WriteType::withResponse);
    // Both ends of both sockets: the fake's, and ours once the replies have come.
    ASSERT_TRUE(eventually(
        [&] { return world.fake->acquiredSockets() == 2 && openGattSockets() == 2; }))
        << world.fake->acquiredSockets() << " " << openGattSockets();
    switch (GetParam()) {
        case WayOut::readerDrops:
            world.fake->dropConnection();
            break;
        case WayOut::hostCancels:
            backend->central->cancelPeripheralConnection(reader);
            break;
        case WayOut::daemonLeaves:
            world.fake->stopService();
            break;
        case WayOut::centralDropped:
            reader.reset();
            backend.reset();
            break;
    }
    if (backend) {
        ASSERT_TRUE(backend->recorder->log.waitFor("disconnect"));
    }
    EXPECT_TRUE(eventually([] { return openGattSockets() == 0; })) << openGattSockets();
    EXPECT_TRUE(eventually([&] { return world.fake->acquiredSockets() == 0; }));
}

INSTANTIATE_TEST_SUITE_P(Ways, SocketsClosed,
                         ::testing::Values(WayOut::readerDrops, WayOut::hostCancels,
                                           WayOut::daemonLeaves, WayOut::centralDropped),
                         [](const auto& info) { return wayOutName(info.param); });

TEST(Notifications, ArriveInOrderAfterStartNotify) {
    FakeWorld world(fastConfig());
    Backend backend(world.options());
    ASSERT_TRUE(backend.recorder->log.waitFor("state 5"));
    auto reader = backend.connectReader(kServices, kCharacteristics);
    auto chars = backend.recorder->characteristics();
    ASSERT_EQ(chars.size(), 2u);
    world.fake->notify({0x55});  // before StartNotify: nothing reaches the link
    reader->setNotifyValue(true, chars[0]);
    ASSERT_TRUE(eventually([&] { return world.fake->isNotifying(); }));
    Bytes expected;
    for (int i = 0; i < 200; ++i) {
        Bytes value{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)};
        world.fake->notify(value);
        expected.insert(expected.end(), value.begin(), value.end());
    }
    ASSERT_TRUE(backend.recorder->log.waitFor("value", 200)) << backend.recorder->log.dump();
    EXPECT_EQ(backend.recorder->received(), expected);
}

// A lone notification on an otherwise quiet bus is delivered without any later traffic to
// push it through: each round waits for its own value before the next one is sent.
TEST(Notifications, ALoneNotificationOnAQuietBusArrivesOnItsOwn) {
    FakeWorld world(fastConfig());
    Backend backend(world.options());
    ASSERT_TRUE(backend.recorder->log.waitFor("state 5"));
    auto reader = backend.connectReader(kServices, kCharacteristics);
    auto chars = backend.recorder->characteristics();
    ASSERT_EQ(chars.size(), 2u);
    reader->setNotifyValue(true, chars[0]);
    ASSERT_TRUE(eventually([&] { return world.fake->isNotifying(); }));
    Bytes expected;
    for (int i = 1; i <= 50; ++i) {
        Bytes value{static_cast<std::uint8_t>(i)};
        world.fake->notify(value);
        expected.push_back(value[0]);
        ASSERT_TRUE(backend.recorder->log.waitFor("value", static_cast<std::size_t>(i),
                                                  std::chrono::seconds(3)))
            << "round " << i << "\n"
            << backend.recorder->log.dump();
    }
    EXPECT_EQ(backend.recorder->received(), expected);
}

// --- failures and disconnection --------------------------------------------------------------

TEST(Connect, RefusedConnectionFails) {
    FakeConfig config = fastConfig();
    config.reader->connect = FakeConnect::refuse;
    FakeWorld world(config);
    Backend backend(world.options());
    ASSERT_TRUE(backend.recorder->log.waitFor("state 5"));
    auto reader = backend.findReader();
    ASSERT_TRUE(reader);
    backend.central->connect(reader);
    ASSERT_TRUE(backend.recorder->log.waitFor("fail")) << backend.recorder->log.dump();
    // A cancel afterwards still reports the end, once.
    backend.central->cancelPeripheralConnection(reader);
    ASSERT_TRUE(backend.recorder->log.waitFor("disconnect"));
    onLinkQueue(*backend.platform, [] {});
    EXPECT_EQ(backend.recorder->log.count("disconnect"), 1u);
}

TEST(Connect, CancelledWhileConnectingIsReportedDownOnce) {
    FakeConfig config = fastConfig();
    config.reader->connect = FakeConnect::hang;
    FakeWorld world(config);
    Backend backend(world.options());
    ASSERT_TRUE(backend.recorder->log.waitFor("state 5"));
    auto reader = backend.findReader();
    backend.central->connect(reader);
    ASSERT_TRUE(eventually([&] { return countOf(world.fake->calls(), "Connect") == 1; }));
    // Both on the link queue, as the link calls: the second lands while the first is under
    // way (a cancel issued after the first one ended is reported again, as any cancel is).
    onLinkQueue(*backend.platform, [&] {
        backend.central->cancelPeripheralConnection(reader);
        backend.central->cancelPeripheralConnection(reader);
    });
    ASSERT_TRUE(backend.recorder->log.waitFor("disconnect")) << backend.recorder->log.dump();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(backend.recorder->log.count("disconnect"), 1u);
    EXPECT_EQ(backend.recorder->log.count("connect"), 0u);
    EXPECT_EQ(backend.recorder->log.count("fail"), 0u);
}

TEST(Connect, AConnectThatNeverAnswersTimesOutAndIsAborted) {
    FakeConfig config = fastConfig();
    config.reader->connect = FakeConnect::hang;
    FakeWorld world(config);
    auto options = world.options();
    options.connectTimeout = std::chrono::milliseconds(300);
    Backend backend(options);
    ASSERT_TRUE(backend.recorder->log.waitFor("state 5"));
    auto reader = backend.findReader();
    backend.central->connect(reader);
    ASSERT_TRUE(backend.recorder->log.waitFor("fail")) << backend.recorder->log.dump();
    ASSERT_TRUE(eventually([&] { return countOf(world.fake->calls(), "Disconnect") == 1; }))
        << callList(world.fake->calls()) << backend.recorder->log.dump();
}

TEST(Connect, ServicesThatNeverResolveEndInAnError) {
    FakeConfig config = fastConfig();
    config.reader->resolve = false;
    FakeWorld world(config);
    Backend backend(world.options());
    ASSERT_TRUE(backend.recorder->log.waitFor("state 5"));
    auto reader = backend.connectReader(kServices, kCharacteristics);
    EXPECT_EQ(backend.recorder->log.count("services error"), 1u) << backend.recorder->log.dump();
}

struct DropCase {
    const char* what;
    std::function<void(FakeWorld&)> drop;
    const char* stateAfter;  // a state line that follows, if any
};

class Disconnection : public ::testing::TestWithParam<DropCase> {};

TEST_P(Disconnection, IsReportedOnce) {
    const auto& c = GetParam();
    FakeWorld world(fastConfig());
    Backend backend(world.options());
    auto& log = backend.recorder->log;
    ASSERT_TRUE(log.waitFor("state 5"));
    auto reader = backend.connectReader(kServices, kCharacteristics);
    ASSERT_TRUE(reader);
    c.drop(world);
    ASSERT_TRUE(log.waitFor("disconnect")) << c.what << "\n" << log.dump();
    if (*c.stateAfter) {
        ASSERT_TRUE(log.waitFor(c.stateAfter)) << c.what << "\n" << log.dump();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    onLinkQueue(*backend.platform, [] {});
    EXPECT_EQ(log.count("disconnect"), 1u) << c.what << "\n" << log.dump();
    // A cancel after the end reports nothing twice over a real link: it is a new end.
    EXPECT_EQ(log.count("fail"), 0u) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Ways, Disconnection,
    ::testing::Values(
        DropCase{"reader drops the link", [](FakeWorld& w) { w.fake->dropConnection(); }, ""},
        DropCase{"device object vanishes", [](FakeWorld& w) { w.fake->removeReaderDevice(); }, ""},
        DropCase{"adapter unplugged", [](FakeWorld& w) { w.fake->removeAdapter(); }, "state 2"},
        DropCase{"adapter powered off", [](FakeWorld& w) { w.fake->setPowered(false); }, "state 4"},
        DropCase{"daemon leaves the bus", [](FakeWorld& w) { w.fake->stopService(); }, "state 1"},
        DropCase{"bus goes away", [](FakeWorld& w) { w.bus.kill(); }, "state 2"}),
    [](const auto& info) { return caseName(info.param.what); });

TEST(Disconnection, CancelOfAnOpenLinkDisconnectsAtBluez) {
    FakeWorld world(fastConfig());
    Backend backend(world.options());
    ASSERT_TRUE(backend.recorder->log.waitFor("state 5"));
    auto reader = backend.connectReader(kServices, kCharacteristics);
    ASSERT_TRUE(world.fake->isConnected());
    backend.central->cancelPeripheralConnection(reader);
    ASSERT_TRUE(backend.recorder->log.waitFor("disconnect"));
    EXPECT_FALSE(world.fake->isConnected());
    // Connecting again reuses BlueZ's cached GATT objects.
    backend.central->connect(reader);
    ASSERT_TRUE(backend.recorder->log.waitFor("connect", 2));
    reader->discoverServices(kServices);
    ASSERT_TRUE(backend.recorder->log.waitFor("services 49535343-FE7D-4AE5-8FA9-9FAFD205E455", 2))
        << backend.recorder->log.dump();
}

TEST(Teardown, DroppingTheCentralLeavesNoConnectionBehind) {
    FakeWorld world(fastConfig());
    {
        Backend backend(world.options());
        ASSERT_TRUE(backend.recorder->log.waitFor("state 5"));
        backend.connectReader(kServices, kCharacteristics);
        ASSERT_TRUE(world.fake->isConnected());
    }
    EXPECT_TRUE(eventually([&] { return !world.fake->isConnected(); }));
}

// A host drops the platform while a block on the link queue still holds the last central
// (a bus event under way, say). The platform's loops end before the platform is gone: the
// block has run to its end and let go of the central, and no thread of ours runs on.
TEST(Teardown, DroppingThePlatformWaitsForTheBlockThatHoldsTheLastCentral) {
    FakeWorld world(fastConfig());
    auto platform = makeBluezPlatform(world.options());
    auto recorder = std::make_shared<Recorder>();
    auto central = platform->createCentralManager(recorder);
    ASSERT_TRUE(recorder->log.waitFor("state 5"));

    struct Holder {
        std::shared_ptr<platform::CentralManager> central;
        std::shared_ptr<std::atomic<bool>> released;
        ~Holder() {
            central.reset();
            *released = true;
        }
    };
    auto released = std::make_shared<std::atomic<bool>>(false);
    auto holder = std::make_shared<Holder>();
    holder->central = std::move(central);
    holder->released = released;
    auto started = std::make_shared<std::promise<void>>();
    auto running = started->get_future();
    platform->linkQueue().post([holder = std::move(holder), started] {
        started->set_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    });
    ASSERT_EQ(running.wait_for(kBound), std::future_status::ready);
    platform.reset();
    EXPECT_TRUE(*released);
}

}  // namespace
}  // namespace orvex::bluez_test
