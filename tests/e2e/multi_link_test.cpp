// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/E2eSession.hpp"
#include "orvex/Contact.hpp"

// Several readers on one simulated platform, each with a link of its own.

using namespace orvex;
using namespace orvex::e2e;
using orvex::sim::Clock;
using orvex::sim::SimPlatform;
using orvex::sim::SimReader;
using orvex::sim::SimReaderConfig;
using orvex::sim::SimTag;

namespace {

// One reader and the link bound to it.
struct Station {
    std::shared_ptr<SimReader> reader;
    std::shared_ptr<RecordingDelegate> host = std::make_shared<RecordingDelegate>();
    std::shared_ptr<ReaderInterface> link;
    std::string tagId;
};

// A reader with a tag of its own (country `country`), asking for a micro-app upload.
SimReaderConfig readerConfig(const std::string& address, std::uint16_t country) {
    SimReaderConfig config;
    config.address = address;
    config.microAppCurrent = false;
    SimTag tag;
    tag.country = country;
    tag.nationalNumber = 1000 + country;
    config.tags = {tag};
    config.storedReadings = {tag};
    return config;
}

class World {
public:
    explicit World(Clock clock) : clock_(clock), platform_(std::make_shared<SimPlatform>(clock)) {
        sim::addNearbyPeripherals(*platform_);
        platform_->setMicroAppImage(testImage(16 + 80 * 4));
    }
    ~World() {
        for (auto& s : stations_) s->link.reset();
        platform_->runUntilIdle();
        platform_->shutdown();
    }

    Station& add(SimReaderConfig config, bool bindByAddress = true) {
        auto s = std::make_unique<Station>();
        s->tagId = config.tags[0].id();
        const std::string address = config.address;
        s->reader = SimReader::attach(*platform_, std::move(config));
        s->link = ReaderInterface::create(platform_);
        if (bindByAddress) s->link->setReaderAddress(address);
        s->link->setDelegate(s->host);
        return *stations_.emplace_back(std::move(s));
    }

    bool runUntil(const std::function<bool()>& done, double maxSeconds) {
        if (clock_ == Clock::realTime) {
            const auto deadline =
                std::chrono::steady_clock::now() + std::chrono::duration<double>(maxSeconds);
            while (!done()) {
                if (std::chrono::steady_clock::now() >= deadline) return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            return true;
        }
        platform_->runUntilIdle();
        for (double waited = 0.0; !done(); waited += 0.05) {
            if (waited >= maxSeconds) return false;
            platform_->advance(0.05);
        }
        return true;
    }

    SimPlatform& platform() { return *platform_; }

private:
    Clock clock_;
    std::shared_ptr<SimPlatform> platform_;
    std::vector<std::unique_ptr<Station>> stations_;
};

const std::string kPhone = "+33 612345678";

std::string clockName(const testing::TestParamInfo<Clock>& info) {
    return info.param == Clock::virtualTime ? "VirtualTime" : "RealTime";
}

class TwoReaders : public testing::TestWithParam<Clock> {};

TEST_P(TwoReaders, EachLinkDoesAWholeSessionWithItsOwnReaderOnly) {
    World world(GetParam());
    Station& a = world.add(readerConfig("02:00:00:00:00:0A", 250));
    Station& b = world.add(readerConfig("02:00:00:00:00:0B", 826));
    for (Station* s : {&a, &b}) s->link->initializeBluetooth();
    ASSERT_TRUE(world.runUntil([&] { return a.host->count("btReader") && b.host->count("btReader"); },
                               10));
    // Both search at once; each must take its own reader, whichever is discovered first.
    for (Station* s : {&a, &b}) s->link->connectToReader();
    ASSERT_TRUE(world.runUntil(
        [&] { return a.host->countPrefix("battery") && b.host->countPrefix("battery"); }, 120));

    for (Station* s : {&a, &b}) s->link->scan();
    // An FDX-B reading comes twice: without its contact, then with it.
    ASSERT_TRUE(world.runUntil(
        [&] {
            return a.host->countPrefix("scanReceived") == 2 &&
                   b.host->countPrefix("scanReceived") == 2;
        },
        60));
    for (Station* s : {&a, &b}) {
        s->link->writeContact("OWNER " + s->tagId.substr(0, 3), kPhone, s->tagId,
                              s->host->completion());
    }
    ASSERT_TRUE(world.runUntil(
        [&] {
            return a.host->countPrefix("contactWrite") && b.host->countPrefix("contactWrite");
        },
        120));

    for (Station* s : {&a, &b}) {
        SCOPED_TRACE(s->tagId);
        EXPECT_EQ(s->host->count("endUpdate successful"), 1u);
        EXPECT_EQ(s->reader->uploadedImage(), testImage(16 + 80 * 4));
        EXPECT_EQ(s->host->count("contactWrite 1 success"), 1u);
        ASSERT_FALSE(s->host->scans().empty());
        for (const auto& reading : s->host->scans()) EXPECT_EQ(reading.id(), s->tagId);
        EXPECT_EQ(s->reader->config().tags[0].contact,
                  Contact::encode(kPhone, "OWNER " + s->tagId.substr(0, 3)));
        EXPECT_EQ(s->host->countPrefix("readerDisconnected"), 0u);
        EXPECT_EQ(s->host->countPrefix("connectionFailed"), 0u);
    }
}

TEST_P(TwoReaders, OneReaderDroppingLeavesTheOtherLinkUndisturbed) {
    World world(GetParam());
    Station& a = world.add(readerConfig("02:00:00:00:00:0A", 250));
    Station& b = world.add(readerConfig("02:00:00:00:00:0B", 826));
    for (Station* s : {&a, &b}) s->link->initializeBluetooth();
    ASSERT_TRUE(world.runUntil([&] { return a.host->count("btReader") && b.host->count("btReader"); },
                               10));
    for (Station* s : {&a, &b}) s->link->connectToReader();
    ASSERT_TRUE(world.runUntil(
        [&] { return a.host->countPrefix("battery") && b.host->countPrefix("battery"); }, 120));

    const auto bBefore = b.host->events().size();
    a.reader->disconnect();
    ASSERT_TRUE(world.runUntil([&] { return a.host->countPrefix("readerDisconnected") == 1; }, 10));
    b.link->scan();
    ASSERT_TRUE(world.runUntil([&] { return b.host->countPrefix("scanReceived") == 1; }, 30));

    EXPECT_TRUE(b.link->isConnected());
    EXPECT_FALSE(a.link->isConnected());
    EXPECT_EQ(b.host->scans().at(0).id(), b.tagId);
    for (const auto& line : b.host->eventsFrom(bBefore)) {
        EXPECT_NE(line.rfind("readerDisconnected", 0), 0u) << line;
        EXPECT_NE(line.rfind("connectionFailed", 0), 0u) << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Clocks, TwoReaders, testing::Values(Clock::virtualTime, Clock::realTime),
                         clockName);

TEST(ReaderChoice, RestrictionsDecideWhichReaderTheLinkTakes) {
    struct Case {
        const char* what;
        std::string address;
        std::string name;
        std::string expected;  // the tag read, or the failure
    };
    // Reader "KX-BT4 LEFT" at ...:0A (first to advertise) and "KX-BT4 RIGHT" at ...:0B.
    const Case cases[] = {
        {"no restriction takes the first reader heard", "", "", "250 000000001250"},
        {"an address takes that reader", "02:00:00:00:00:0B", "", "826 000000001826"},
        {"an address in lower case as well", "02:00:00:00:00:0b", "", "826 000000001826"},
        {"an exact name takes that reader", "", "KX-BT4 RIGHT", "826 000000001826"},
        {"a name fragment is not an exact name", "", "KX-BT4", "connectionFailed connectionTimeout"},
        {"an absent address finds nothing", "02:00:00:00:00:0C", "",
         "connectionFailed connectionTimeout"},
        {"address and name must both match", "02:00:00:00:00:0A", "KX-BT4 RIGHT",
         "connectionFailed connectionTimeout"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        World world(Clock::virtualTime);
        auto left = readerConfig("02:00:00:00:00:0A", 250);
        left.name = "KX-BT4 LEFT";
        left.microAppCurrent = true;
        auto right = readerConfig("02:00:00:00:00:0B", 826);
        right.name = "KX-BT4 RIGHT";
        right.microAppCurrent = true;
        world.add(left, false);
        Station& s = world.add(right, false);
        s.link->setReaderAddress(c.address);
        s.link->setReaderName(c.name);
        s.link->initializeBluetooth();
        ASSERT_TRUE(world.runUntil([&] { return s.host->count("btReader") == 1; }, 5));
        s.link->connectToReader();
        ASSERT_TRUE(world.runUntil(
            [&] { return s.host->countPrefix("battery") || s.host->countPrefix("connectionFailed"); },
            60));
        if (s.host->countPrefix("battery")) {
            s.link->scan();
            ASSERT_TRUE(world.runUntil([&] { return s.host->countPrefix("scanReceived"); }, 30));
            EXPECT_EQ(s.host->scans().at(0).id(), c.expected);
        } else {
            EXPECT_EQ(s.host->events().back(), c.expected);
        }
    }
}

TEST(ReaderChoice, SimulatedAddressesAreStableAndDistinct) {
    SimPlatform one, two;
    auto a1 = one.addPeripheral(std::string("KX-BT4 SIM"));
    auto b1 = one.addPeripheral(std::string("KX-BT4 SIM"));
    auto a2 = two.addPeripheral(std::string("KX-BT4 SIM"));
    auto given = one.addPeripheral(std::nullopt, false, "C4:00:00:00:00:07");
    EXPECT_EQ(a1->identifier(), a2->identifier());  // the same name on another run
    EXPECT_NE(a1->identifier(), b1->identifier());  // a second reader of the same name
    EXPECT_EQ(given->identifier(), "C4:00:00:00:00:07");
    EXPECT_EQ(a1->identifier().size(), 17u);
}

}  // namespace
