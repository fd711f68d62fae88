// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "bluez/BluezHarness.hpp"
#include "orvex/Contact.hpp"
#include "orvex/ReaderInterface.hpp"
#include "orvex/bluez/Bluez.hpp"

// Several readers behind one fake org.bluez, reached through the public API only: one
// platform from orvex::bluez::makePlatform, one link per reader.

namespace {

using namespace orvex;
using orvex::bluez_test::FakeWorld;
using orvex::bluez_test::Log;

const char* const kAddresses[] = {"C4:00:00:00:00:01", "C4:00:00:00:00:02", "C4:00:00:00:00:03"};

std::string tagOf(int i) {
    return fmt::format("{:03} {:012}", 100 + i, 5000 + i);
}

detail::bluez::FakeReaderConfig readerAt(int i, bool outdated) {
    detail::bluez::FakeReaderConfig r;
    r.device = {kAddresses[i], "KX-BT4 SIM", false, false, static_cast<std::int16_t>(-50 - i)};
    r.mtu = 64;
    r.reader.answerDelay = 0.005;
    r.reader.triggerEndDelay = 0.02;
    r.reader.microAppCurrent = !outdated;
    sim::SimTag tag;
    tag.country = static_cast<std::uint16_t>(100 + i);
    tag.nationalNumber = static_cast<std::uint64_t>(5000 + i);
    r.reader.tags = {tag};
    return r;
}

// Three readers of the same name on adapter hci1.
detail::bluez::FakeConfig threeReaders(bool outdated) {
    detail::bluez::FakeConfig config;
    config.adapter = "hci1";
    config.reader = readerAt(0, outdated);
    config.moreReaders = {readerAt(1, outdated), readerAt(2, outdated)};
    return config;
}

// Writes down what one link tells its host, one line each.
class Host : public ReaderInterfaceDelegate {
public:
    explicit Host(Log& log) : log_(log) {}
    void btReader() override { log_.add("btReader"); }
    void btError(OrvexBluetoothError) override { log_.add("btError"); }
    void connecting() override {}
    void connectionFailed(OrvexConnectionError e) override {
        log_.add(fmt::format("connectionFailed {}", static_cast<int>(e)));
    }
    void readerConnected() override { log_.add("connected"); }
    void readerDisconnected(OrvexDisconnectionCause) override { log_.add("disconnected"); }
    void scanReceived(std::optional<ScanResult> r, bool pending) override {
        if (pending) return;
        log_.add("scan " + (r && r->scan && r->scan->xpdr ? r->scan->xpdr->id : std::string("-")));
    }
    void readerScanning(bool) override {}
    void exportReceived(std::optional<ScanResult>, long) override {}
    void scanFailed() override { log_.add("scanFailed"); }
    void version(const std::string&) override {}
    void battery(long) override { log_.add("battery"); }
    void endUpdate(std::optional<OrvexDeviceUpdateStatus> s) override {
        log_.add(fmt::format("endUpdate {}", s ? static_cast<int>(*s) : -1));
    }

private:
    Log& log_;
};

struct Link {
    Log log;
    std::shared_ptr<ReaderInterface> link;
};

bluez::Options optionsFor(const FakeWorld& world, const std::string& adapter) {
    bluez::Options o;
    o.busAddress = world.bus.address();
    o.adapter = adapter;
    o.connectTimeout = std::chrono::milliseconds(3000);
    o.resolveTimeout = std::chrono::milliseconds(1500);
    return o;
}

std::string successfulUpload() {
    return fmt::format("endUpdate {}", static_cast<int>(OrvexDeviceUpdateStatus::successful));
}

TEST(BluezReaders, AHostPicksAdapterAndReaderByAddressAndReadsThatTag) {
    FakeWorld world(threeReaders(false));
    std::string why;
    EXPECT_EQ(bluez::makePlatform(optionsFor(world, "hci0"), &why), nullptr);
    EXPECT_EQ(why, "no Bluetooth adapter hci0");
    auto platform = bluez::makePlatform(optionsFor(world, "hci1"), &why);
    ASSERT_NE(platform, nullptr) << why;

    Link l;
    l.link = ReaderInterface::create(platform);
    l.link->setReaderAddress("c4:00:00:00:00:02");  // the middle one, in lower case
    l.link->setDelegate(std::make_shared<Host>(l.log));
    l.link->initializeBluetooth();
    ASSERT_TRUE(l.log.waitFor("btReader")) << l.log.dump();
    l.link->connectToReader();
    ASSERT_TRUE(l.log.waitFor("battery")) << l.log.dump();
    l.link->scan();
    ASSERT_TRUE(l.log.waitUntil([](const auto& lines) {
        return std::any_of(lines.begin(), lines.end(),
                           [](const auto& line) { return line.rfind("scan", 0) == 0; });
    })) << l.log.dump();
    EXPECT_EQ(l.log.count("scan " + tagOf(1)), 1u) << l.log.dump();
    EXPECT_TRUE(world.fake->reader(1)->isConnected());
    EXPECT_FALSE(world.fake->reader(0)->isConnected());
    EXPECT_FALSE(world.fake->reader(2)->isConnected());
    l.link->setDelegate(nullptr);
    l.link.reset();
}

TEST(BluezReaders, TwoLinksDoWholeSessionsAtOnceWithoutCrossTalk) {
    FakeWorld world(threeReaders(true));
    const std::string image = ::testing::TempDir() + "orvex-two-links-image.bin";
    {
        std::ofstream out(image, std::ios::binary);
        for (int i = 0; i < 16 + 80 * 3; ++i) out.put(static_cast<char>(i * 7));
    }
    auto options = optionsFor(world, "hci1");
    options.microAppImagePath = image;
    std::string why;
    auto platform = bluez::makePlatform(options, &why);
    ASSERT_NE(platform, nullptr) << why;

    Link links[2];
    for (int i = 0; i < 2; ++i) {
        links[i].link = ReaderInterface::create(platform);
        links[i].link->setReaderAddress(kAddresses[i + 1]);
        links[i].link->setDelegate(std::make_shared<Host>(links[i].log));
        links[i].link->initializeBluetooth();
    }
    for (auto& l : links) ASSERT_TRUE(l.log.waitFor("btReader")) << l.log.dump();
    // Both links talk to BlueZ over the platform's one connection (besides the fake's).
    EXPECT_TRUE(bluez_test::eventually([&] { return world.bus.clients() == 2; }));
    for (auto& l : links) l.link->connectToReader();
    for (auto& l : links) ASSERT_TRUE(l.log.waitFor("battery")) << l.log.dump();
    for (auto& l : links) l.link->scan();
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(links[i].log.waitFor("scan " + tagOf(i + 1))) << links[i].log.dump();
    }
    for (int i = 0; i < 2; ++i) {
        links[i].link->writeContact("OWNER" + std::to_string(i), "0123", tagOf(i + 1),
                                    [&log = links[i].log](bool ok, OrvexContactStatus s) {
                                        log.add(fmt::format("written {} {}", ok, static_cast<int>(s)));
                                    });
    }
    for (int i = 0; i < 2; ++i) {
        auto& l = links[i];
        SCOPED_TRACE(kAddresses[i + 1]);
        ASSERT_TRUE(l.log.waitFor("written true 0")) << l.log.dump();
        EXPECT_EQ(l.log.count(successfulUpload()), 1u) << l.log.dump();
        EXPECT_EQ(l.log.count("scan " + tagOf(i + 1)), 1u) << l.log.dump();
        for (const auto& line : l.log.lines()) {
            EXPECT_TRUE(line.rfind("scan", 0) != 0 || line == "scan " + tagOf(i + 1)) << line;
        }
        EXPECT_EQ(world.fake->reader(i + 1)->config().tags[0].contact,
                  Contact::encode("0123", "OWNER" + std::to_string(i)));
    }
    EXPECT_FALSE(world.fake->reader(0)->isConnected());  // nobody asked for it

    // The first reader goes away; the second link goes on undisturbed.
    world.fake->dropConnection(1);
    ASSERT_TRUE(links[0].log.waitFor("disconnected")) << links[0].log.dump();
    links[1].link->scan();
    ASSERT_TRUE(links[1].log.waitFor("scan " + tagOf(2), 2)) << links[1].log.dump();
    EXPECT_EQ(links[1].log.count("disconnected"), 0u);
    EXPECT_TRUE(links[1].link->isConnected());

    for (auto& l : links) {
        l.link->setDelegate(nullptr);
        l.link.reset();
    }
    std::remove(image.c_str());
}

}  // namespace
