// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "BluezHarness.hpp"
#include "orvex/ReaderInterface.hpp"
#include "reader/ReaderInterfaceFactory.hpp"

// The link on the BlueZ backend, talking to the simulated reader behind the fake org.bluez:
// the whole conversation crosses real D-Bus.

namespace orvex::bluez_test {
namespace {

std::string idOf(const std::optional<ScanResult>& r) {
    return r && r->scan && r->scan->xpdr ? r->scan->xpdr->id : std::string("-");
}

class HostLog : public ReaderInterfaceDelegate {
public:
    Log log;
    void btReader() override { log.add("btReader"); }
    void btError(OrvexBluetoothError e) override { log.add("btError " + num(e)); }
    void bleDetected(const std::string& prefix, const std::string& name) override {
        log.add("detected " + prefix + "|" + name);
    }
    void connecting() override { log.add("connecting"); }
    void connectionFailed(OrvexConnectionError e) override {
        log.add("connectionFailed " + num(e));
    }
    void readerConnected() override { log.add("readerConnected"); }
    void readerDisconnected(OrvexDisconnectionCause c) override {
        log.add("readerDisconnected " + num(c));
    }
    void scanReceived(std::optional<ScanResult> r, bool pending) override {
        log.add("scan " + idOf(r) + (pending ? " pending" : "") +
                (r && r->contact ? " contact" : ""));
    }
    void readerScanning(bool active) override { log.add(active ? "scanning on" : "scanning off"); }
    void exportReceived(std::optional<ScanResult> r, long number) override {
        log.add("export " + std::to_string(number) + " " + idOf(r));
    }
    void scanFailed() override { log.add("scanFailed"); }
    void version(const std::string&) override { log.add("version"); }
    void battery(long) override { log.add("battery"); }
    void startUpdate(long) override { log.add("startUpdate"); }
    void endUpdate(std::optional<OrvexDeviceUpdateStatus> s) override {
        log.add("endUpdate " + (s ? num(*s) : std::string("none")));
    }

private:
    template <class E>
    static std::string num(E e) {
        return std::to_string(static_cast<int>(e));
    }
};

// A link on the BlueZ backend, with a host delegate, against a fake world.
struct Session {
    explicit Session(BluezOptions options)
        : platform(makeBluezPlatform(std::move(options))),
          host(std::make_shared<HostLog>()),
          link(ReaderInterfaceFactory::make(platform)) {
        link->setDelegate(host);
    }
    ~Session() { link.reset(); }

    void connect() {
        link->initializeBluetooth();
        ASSERT_TRUE(host->log.waitFor("btReader")) << host->log.dump();
        link->connectToReader();
        ASSERT_TRUE(host->log.waitFor("readerConnected")) << host->log.dump();
    }

    std::shared_ptr<platform::Platform> platform;
    std::shared_ptr<HostLog> host;
    std::unique_ptr<ReaderInterface> link;
};

const std::string kTag = "999 000000012345";

// A GATT layout of the reader, and whether BlueZ hands out sockets (AcquireWrite /
// AcquireNotify) or leaves WriteValue / StartNotify.
struct SessionCase {
    const char* name;
    sim::SimService service;
    bool sockets;
    const char* writeType;  // how every write reaches the fake
    const char* notifyCall;
    const char* writeCall;
};

const SessionCase kSessionCases[] = {
    {"UartOverWriteValue", sim::SimService::uart, false, "request", "StartNotify", "WriteValue"},
    {"Serial16OverWriteValue", sim::SimService::serial16, false, "command", "StartNotify",
     "WriteValue"},
    {"UartOverSockets", sim::SimService::uart, true, "socket", "AcquireNotify", "socket write"},
    {"Serial16OverSockets", sim::SimService::serial16, true, "socket", "AcquireNotify",
     "socket write"},
};

void PrintTo(const SessionCase& c, std::ostream* os) { *os << c.name; }

FakeConfig sessionConfig(const SessionCase& c) {
    FakeConfig config = fastConfig(c.service);
    config.reader->sockets = c.sockets;
    return config;
}

class WholeSession : public ::testing::TestWithParam<SessionCase> {};

TEST_P(WholeSession, FromDiscoveryToDisconnection) {
    FakeConfig config = sessionConfig(GetParam());
    // The link reports the end of a trigger reading only once the contact read it started
    // has been answered; the reader ends it well after that even on a busy machine.
    config.reader->reader.triggerEndDelay = 0.3;
    FakeWorld world(config);
    Session s(world.options());
    auto& log = s.host->log;
    s.connect();
    ASSERT_TRUE(log.waitFor("version")) << log.dump();
    ASSERT_TRUE(log.waitFor("battery")) << log.dump();
    // The reader was found among other devices, named and nameless.
    EXPECT_GE(log.count("detected --DETECTED DEVICES--|Galaxy Buds2 (4C1F)"), 1u) << log.dump();
    EXPECT_GE(log.count("detected --DETECTED DEVICES--|unnamed"), 1u);
    EXPECT_EQ(log.count("connecting"), 1u);

    // A reading asked for by the host, with the owner contact read after it.
    s.link->scan();
    ASSERT_TRUE(log.waitFor("scan " + kTag + " pending")) << log.dump();
    ASSERT_TRUE(log.waitFor("scan " + kTag + " contact")) << log.dump();

    // A contact write; its completion comes on the main executor.
    auto outcome = std::make_shared<std::promise<std::pair<bool, OrvexContactStatus>>>();
    auto written = outcome->get_future();
    s.link->writeContact("owner@example.org", "+441234567890", kTag,
                         [outcome](bool ok, OrvexContactStatus status) {
                             outcome->set_value({ok, status});
                         });
    ASSERT_EQ(written.wait_for(kBound), std::future_status::ready) << log.dump();
    EXPECT_EQ(written.get(), std::make_pair(true, OrvexContactStatus::success));

    // A reading on the reader's own trigger, then the stored readings.
    world.fake->reader()->triggerReading();
    ASSERT_TRUE(log.waitFor("scanning on")) << log.dump();
    ASSERT_TRUE(log.waitFor("scanning off")) << log.dump();
    world.fake->reader()->exportReadings();
    ASSERT_TRUE(log.waitUntil([](const auto& lines) {
        return std::count_if(lines.begin(), lines.end(),
                             [](const auto& l) { return l.rfind("export ", 0) == 0; }) >= 3;
    })) << log.dump();
    EXPECT_EQ(log.count("export 1 " + kTag), 1u) << log.dump();

    s.link->disconnectFromReader();
    ASSERT_TRUE(log.waitFor("readerDisconnected 1")) << log.dump();
    EXPECT_TRUE(eventually([&] { return !world.fake->isConnected(); }));
    EXPECT_EQ(log.count("connectionFailed 2"), 0u) << log.dump();

    // Every write fitted one ATT payload and went the way the layout and BlueZ call for.
    auto writes = world.fake->writes();
    ASSERT_FALSE(writes.empty());
    for (const auto& w : writes) {
        EXPECT_LE(w.bytes.size(), 20u);
        EXPECT_EQ(w.type, GetParam().writeType);
    }
}

// A reader only hears us once its notifications are on, and switching them on takes a
// while: nothing may be written before StartNotify has answered, or the handshake waits a
// watchdog period for a second ping.
TEST_P(WholeSession, NothingIsWrittenBeforeNotificationsAreOn) {
    FakeConfig config = sessionConfig(GetParam());
    config.reader->notifyDelay = std::chrono::milliseconds(60);
    config.reader->ignoreWritesBeforeNotify = true;
    FakeWorld world(config);
    Session s(world.options());
    s.connect();
    // The whole handshake (version, micro-app check, battery) is over before the link goes.
    ASSERT_TRUE(s.host->log.waitFor("battery")) << s.host->log.dump();
    EXPECT_EQ(world.fake->ignoredWrites(), 0u);
    const auto calls = world.fake->calls();
    const auto notify = std::find(calls.begin(), calls.end(), GetParam().notifyCall);
    const auto write = std::find(calls.begin(), calls.end(), GetParam().writeCall);
    ASSERT_NE(write, calls.end());
    EXPECT_LT(notify - calls.begin(), write - calls.begin());
}

INSTANTIATE_TEST_SUITE_P(LayoutsAndPaths, WholeSession, ::testing::ValuesIn(kSessionCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct ImageFile {
    explicit ImageFile(std::size_t size) {
        path = (std::filesystem::temp_directory_path() /
                ("orvex-image-" + std::to_string(::getpid()) + "-" + std::to_string(size)))
                   .string();
        for (std::size_t i = 0; i < size; ++i)
            bytes.push_back(static_cast<std::uint8_t>(i * 7 + 1));
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    ~ImageFile() { std::remove(path.c_str()); }
    std::string path;
    Bytes bytes;
};

TEST(MicroApp, UploadCrossesTheBusInPiecesAndArrivesWhole) {
    FakeConfig config = fastConfig();
    config.reader->reader.microAppCurrent = false;
    FakeWorld world(config);
    ImageFile image(16 + 10 * 80);  // head and ten slices, some holding FE bytes
    auto options = world.options();
    options.microAppImagePath = image.path;
    Session s(options);
    s.connect();
    auto& log = s.host->log;
    ASSERT_TRUE(log.waitFor("startUpdate")) << log.dump();
    ASSERT_TRUE(log.waitFor("endUpdate 0")) << log.dump();
    EXPECT_EQ(world.fake->reader()->uploadedImage(), image.bytes);
    EXPECT_TRUE(world.fake->reader()->microAppCurrent());
}

// --- failures ------------------------------------------------------------------------------

TEST(Failures, ConnectionRefused) {
    FakeConfig config = fastConfig();
    config.reader->connect = FakeConnect::refuse;
    FakeWorld world(config);
    Session s(world.options());
    s.link->initializeBluetooth();
    ASSERT_TRUE(s.host->log.waitFor("btReader"));
    s.link->connectToReader();
    ASSERT_TRUE(s.host->log.waitFor("connectionFailed 3")) << s.host->log.dump();
}

TEST(Failures, ServicesNeverResolved) {
    FakeConfig config = fastConfig();
    config.reader->resolve = false;
    FakeWorld world(config);
    Session s(world.options());
    s.link->initializeBluetooth();
    ASSERT_TRUE(s.host->log.waitFor("btReader"));
    s.link->connectToReader();
    // Discovery failed, the attempt's one outcome; the cancelled connection goes down
    // without a second report.
    ASSERT_TRUE(s.host->log.waitFor("connectionFailed 5")) << s.host->log.dump();
    EXPECT_TRUE(eventually([&] { return !world.fake->isConnected(); }));
    EXPECT_EQ(s.host->log.count("connectionFailed 2"), 0u) << s.host->log.dump();
}

TEST(Failures, DeviceLostMidUpload) {
    FakeConfig config = fastConfig();
    config.reader->reader.microAppCurrent = false;
    config.reader->reader.faults.disconnectAtSlice = 3;
    FakeWorld world(config);
    ImageFile image(16 + 10 * 80);
    auto options = world.options();
    options.microAppImagePath = image.path;
    Session s(options);
    s.connect();
    auto& log = s.host->log;
    ASSERT_TRUE(log.waitFor("startUpdate")) << log.dump();
    ASSERT_TRUE(log.waitFor("readerDisconnected 1")) << log.dump();
    ASSERT_TRUE(log.waitUntil([](const auto& lines) {
        return std::any_of(lines.begin(), lines.end(),
                           [](const auto& l) { return l.rfind("endUpdate", 0) == 0; });
    })) << log.dump();
    EXPECT_EQ(log.count("endUpdate 0"), 0u) << log.dump();
    EXPECT_EQ(log.count("readerDisconnected 1"), 1u) << log.dump();
}

TEST(Failures, AdapterPoweredOffWhileConnected) {
    FakeWorld world(fastConfig());
    Session s(world.options());
    s.connect();
    world.fake->setPowered(false);
    auto& log = s.host->log;
    ASSERT_TRUE(log.waitFor("readerDisconnected 1")) << log.dump();
    ASSERT_TRUE(log.waitFor("btError 1")) << log.dump();  // poweredOff
    // Powered on again, the host can connect anew.
    world.fake->setPowered(true);
    ASSERT_TRUE(log.waitFor("btReader", 2)) << log.dump();
    s.link->connectToReader();
    ASSERT_TRUE(log.waitFor("readerConnected", 2)) << log.dump();
}

TEST(Failures, DaemonGoneWhileConnected) {
    FakeWorld world(fastConfig());
    Session s(world.options());
    s.connect();
    world.fake->stopService();
    auto& log = s.host->log;
    ASSERT_TRUE(log.waitFor("readerDisconnected 1")) << log.dump();
    ASSERT_TRUE(log.waitFor("btError 5")) << log.dump();  // unavailable, once it stays away
    EXPECT_EQ(log.count("readerDisconnected 1"), 1u);
    world.fake->startService();
    ASSERT_TRUE(log.waitFor("btReader", 2)) << log.dump();
}

}  // namespace
}  // namespace orvex::bluez_test
