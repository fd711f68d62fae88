// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/E2eSession.hpp"
#include "orvex/ReaderInterface.hpp"
#include "orvex/record/Recorder.hpp"
#include "orvex/sim/SimPlatform.hpp"
#include "orvex/sim/SimReader.hpp"
#include "replay/Format.hpp"
#include "replay/Recorders.hpp"
#include "orvex/sim/Replay.hpp"

// A session recorded on the real-time simulator replays, in virtual time, to the same
// delegate calls.

namespace {

using namespace orvex;
using namespace std::chrono_literals;

// Lines written from several threads, read by the test.
class Lines {
public:
    void add(std::string line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
    }
    std::vector<std::string> all() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool any(const std::string& prefix) const {
        std::lock_guard lock(mutex_);
        for (const auto& l : lines_) {
            if (l.rfind(prefix, 0) == 0) return true;
        }
        return false;
    }
    // The lines that tell what the host saw: delegate calls and contact-write completions.
    std::vector<std::string> hostCalls() const {
        std::vector<std::string> out;
        for (const auto& l : all()) {
            if (l.rfind("delegate ", 0) == 0 || l.rfind("completion(", 0) == 0) out.push_back(l);
        }
        return out;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Waits (in real time) until one of `prefixes` has been seen, at most `limit`.
bool waitFor(const Lines& lines, std::initializer_list<const char*> prefixes,
             std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        for (const char* p : prefixes) {
            if (lines.any(p)) return true;
        }
        std::this_thread::sleep_for(2ms);
    }
    return false;
}

TEST(RecordReplay, AFaultySessionReplaysToTheSameDelegateCalls) {
    sim::SimReaderConfig config;
    config.answerDelay = 0.01;
    config.microAppCurrent = false;
    config.faults.dropRate = 0.03;
    config.faults.duplicateRate = 0.15;
    config.faults.garbageRate = 0.15;
    config.faults.randomStart = 7;
    config.faults.disconnectAtSlice = 3;  // the first upload is cut off

    Lines script;
    Lines live;
    {
        auto simPlatform = std::make_shared<sim::SimPlatform>(sim::Clock::realTime);
        simPlatform->setMicroAppImage(e2e::testImage(16 + 80 * 6));
        sim::addNearbyPeripherals(*simPlatform);
        auto reader = sim::SimReader::attach(*simPlatform, config);

        auto recorded =
            record::recordTo(simPlatform, [&](std::string_view line) { script.add(std::string(line)); });
        auto out = std::make_shared<sim::ReplayOutput>();
        out->sink = [&](const std::string& line) { live.add(line); };
        auto link = ReaderInterface::create(recorded);
        link->setDelegate(std::make_shared<sim::RecordingDelegate>(out));

        link->initializeBluetooth();
        ASSERT_TRUE(waitFor(live, {"delegate btReader"}, 5s));
        link->connectToReader();
        // The upload breaks off with the connection; connect again for a whole one.
        ASSERT_TRUE(waitFor(live, {"delegate readerDisconnected", "delegate battery"}, 15s));
        if (!live.any("delegate battery")) {
            link->connectToReader();
            waitFor(live, {"delegate battery"}, 15s);
        }
        link->scan();
        waitFor(live, {"delegate scanReceived(result: {scan: {xpdr: {id: \"999", "delegate scanFailed"},
                3s);
        link->writeContact("VET@EXAMPLE.ORG", "+33 612345678", "999 000000012345",
                           [out](bool success, OrvexContactStatus status) {
                               out->line("completion(success: " + sim::format::boolean(success) +
                                         ", status: " + sim::format::name(status) + ")");
                           });
        waitFor(live, {"completion("}, 3s);
        reader->triggerReading(sim::SimReadingFormat::text);
        std::this_thread::sleep_for(700ms);
        link->disconnectFromReader();
        waitFor(live, {"delegate readerDisconnected(cause: connectionInterrupted)"}, 3s);
        // The recording ends with the link; the platform stops after it.
        link->setDelegate(nullptr);
        link.reset();
        recorded.reset();
        simPlatform->shutdown();
    }

    const auto lines = script.all();
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    // A conversation took place (how far it got depends on the faults the dice chose).
    EXPECT_TRUE(live.any("delegate readerConnected")) << text;
    EXPECT_TRUE(live.any("delegate readerDisconnected")) << text;

    Lines replayed;
    std::istringstream in(text);
    const auto error =
        sim::runScript(in, [&](const std::string& line) { replayed.add(line); });
    ASSERT_FALSE(error) << *error;
    const auto expected = live.hostCalls();
    const auto actual = replayed.hostCalls();
    for (std::size_t i = 0; i < std::min(expected.size(), actual.size()); ++i) {
        ASSERT_EQ(actual[i], expected[i]) << "delegate call " << i << " differs\n" << text;
    }
    EXPECT_EQ(actual.size(), expected.size()) << text;
}

TEST(RecordReplay, RestrictionsAndAddressesAreRecorded) {
    Lines script;
    {
        auto simPlatform = std::make_shared<sim::SimPlatform>(sim::Clock::virtualTime);
        sim::SimReaderConfig left;
        left.address = "C4:00:00:00:00:0A";
        sim::SimReaderConfig right;
        right.address = "C4:00:00:00:00:0B";
        sim::SimReader::attach(*simPlatform, left);
        sim::SimReader::attach(*simPlatform, right);
        auto recorded =
            record::recordTo(simPlatform, [&](std::string_view line) { script.add(std::string(line)); });
        auto link = ReaderInterface::create(recorded);
        link->setReaderAddress("C4:00:00:00:00:0B");
        link->initializeBluetooth();
        simPlatform->runUntilIdle();  // the adapter reports its state: the link is ready
        link->connectToReader();
        simPlatform->advance(5.0);
        EXPECT_TRUE(link->isConnected());
        link.reset();
        recorded.reset();
        simPlatform->shutdown();
    }
    const auto lines = script.all();
    const auto has = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has("host readerAddress \"C4:00:00:00:00:0B\""));
    EXPECT_TRUE(has("found \"KX-BT4 SIM\" at C4:00:00:00:00:0A"));
    EXPECT_TRUE(has("found \"KX-BT4 SIM\" at C4:00:00:00:00:0B"));
    EXPECT_EQ(lines.at(1), "host initializeBluetooth");  // after the address restriction
}

}  // namespace
