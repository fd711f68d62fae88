// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <vector>

#include "orvex/Contact.hpp"
#include "sim/SimReaderHarness.hpp"

using namespace orvex::sim;
using namespace orvex::sim::harness;

namespace {

// Sends `n` pings and returns every notification they caused.
std::vector<Bytes> pings(Harness& h, int n) {
    h.notifications.clear();
    for (int i = 0; i < n; ++i) h.reader.received(frame({}));
    h.advance(1.0);
    return h.notifications;
}

SimReaderConfig withFaults(double drop, double duplicate, double garbage, std::uint64_t start) {
    SimReaderConfig c = quickConfig();
    c.faults.dropRate = drop;
    c.faults.duplicateRate = duplicate;
    c.faults.garbageRate = garbage;
    c.faults.randomStart = start;
    return c;
}

TEST(SimReaderFaults, DropDuplicateAndGarbageAtTheExtremes) {
    {
        Harness h(withFaults(1.0, 0.0, 0.0, 1));
        EXPECT_TRUE(pings(h, 10).empty());
    }
    {
        Harness h(withFaults(0.0, 1.0, 0.0, 1));
        EXPECT_EQ(pings(h, 2), (std::vector<Bytes>(4, Bytes{0x80})));
    }
    {
        Harness h(withFaults(0.0, 0.0, 1.0, 1));
        h.reader.config().faults.garbageBytes = {0x00, 0x3C};
        EXPECT_EQ(pings(h, 2), (std::vector<Bytes>{{0x00, 0x3C}, {0x80}, {0x00, 0x3C}, {0x80}}));
    }
}

TEST(SimReaderFaults, RatesHoldAndRunsRepeatExactly) {
    Harness a(withFaults(0.05, 0.05, 0.0, 77));
    Harness b(withFaults(0.05, 0.05, 0.0, 77));
    Harness c(withFaults(0.05, 0.05, 0.0, 78));
    const auto ra = pings(a, 2000);
    EXPECT_EQ(ra, pings(b, 2000));
    EXPECT_NE(ra, pings(c, 2000));
    // 2000 answers, about 100 dropped and about 95 duplicated.
    EXPECT_GT(ra.size(), 1900u);
    EXPECT_LT(ra.size(), 2100u);
    EXPECT_NE(ra.size(), 2000u);
}

TEST(SimReaderFaults, TheSendTapSeesEveryMessageWholeAndWhatAFaultAddedToIt) {
    using Sent = std::vector<std::pair<Bytes, SimSendKind>>;
    const Bytes battery = batteryMessage(120);
    {
        // A version answer split over several notifications is one message.
        SimReaderConfig config = quickConfig();
        config.notificationSize = 6;
        Harness h(config);
        h.ask({0x07});
        EXPECT_GT(h.notifications.size(), 1u);
        EXPECT_EQ(h.sent, (Sent{{versionMessage(config.version), SimSendKind::message}}));
    }
    {
        Harness h(withFaults(0.0, 1.0, 1.0, 1));
        h.reader.config().faults.garbageBytes = {0x00, 0x3C};
        h.reader.reportBattery();
        h.advance(1.0);
        EXPECT_EQ(h.sent, (Sent{{{0x00, 0x3C}, SimSendKind::garbage},
                                {battery, SimSendKind::message},
                                {battery, SimSendKind::repeat}}));
    }
    {
        // A dropped message, and one whose connection ended before it was due, never went out.
        Harness dropped(withFaults(1.0, 0.0, 0.0, 1));
        dropped.reader.reportBattery();
        dropped.advance(1.0);
        EXPECT_TRUE(dropped.sent.empty());
        Harness cut(quickConfig());
        cut.reader.reportBattery();
        cut.reader.disconnected();
        cut.advance(1.0);
        EXPECT_TRUE(cut.sent.empty());
    }
}

TEST(SimReaderFaults, DisconnectsWithoutAnsweringAtTheChosenFrameOnce) {
    SimReaderConfig config = quickConfig();
    config.faults.disconnectAtFrame = 3;
    Harness h(config);
    EXPECT_EQ(pings(h, 2).size(), 2u);
    EXPECT_EQ(h.disconnects, 0);
    // The third frame and a fourth one written right behind it go unanswered.
    h.notifications.clear();
    h.reader.received(concat({frame({0x07}), frame({0x0E})}));
    h.advance(1.0);
    EXPECT_EQ(h.disconnects, 1);
    EXPECT_TRUE(h.notifications.empty());
    h.reader.disconnected();
    h.reader.connected();
    EXPECT_EQ(pings(h, 4).size(), 4u);
    EXPECT_EQ(h.disconnects, 1);
}

TEST(SimReaderFaults, DisconnectsAtTheChosenSlice) {
    SimReaderConfig config = quickConfig();
    config.faults.disconnectAtSlice = 2;
    config.microAppCurrent = false;
    Harness h(config);
    EXPECT_EQ(h.askOne(concat({{0x00}, Bytes(16, 0x11)})), Bytes{0x81});
    EXPECT_EQ(h.askOne(concat({{0x01}, Bytes(80, 0x22)})), Bytes{0x82});
    EXPECT_TRUE(h.ask(concat({{0x01}, Bytes(80, 0x33)})).empty());
    EXPECT_EQ(h.disconnects, 1);
    h.reader.disconnected();
    h.reader.connected();
    // The interrupted upload is gone; a new one runs to its end.
    EXPECT_EQ(h.askOne({0x04}), (Bytes{0x84, 0x00, 0x02}));
    EXPECT_EQ(h.askOne(concat({{0x00}, Bytes(16, 0x11)})), Bytes{0x81});
    EXPECT_EQ(h.askOne(concat({{0x01}, Bytes(80, 0x22)})), Bytes{0x82});
    EXPECT_EQ(h.askOne(concat({{0x01}, Bytes(80, 0x33)})), Bytes{0x82});
    EXPECT_EQ(h.askOne({0x02}), Bytes{0x83});
    EXPECT_EQ(h.reader.uploadedImage(),
              concat({Bytes(16, 0x11), Bytes(80, 0x22), Bytes(80, 0x33)}));
    EXPECT_EQ(h.disconnects, 1);
}

TEST(SimReaderFaults, DisconnectsOnAContactWriteWithoutStoringIt) {
    SimReaderConfig config = quickConfig();
    config.faults.disconnectOnContactWrite = true;
    Harness h(config);
    const auto before = h.reader.config().tags[0].contact;
    const Bytes record = orvex::Contact::encode("+1 555 010 999", "X@Y.Z");
    EXPECT_EQ(h.askOne({0x08, 0x0F}).at(0), 0x88);
    EXPECT_TRUE(h.ask(concat({{0x03, 0x11, 0x10, 0x7C}, record})).empty());
    EXPECT_EQ(h.disconnects, 1);
    EXPECT_EQ(h.reader.config().tags[0].contact, before);
    h.reader.disconnected();
    h.reader.connected();
    EXPECT_EQ(h.askOne(concat({{0x03, 0x11, 0x10, 0x7C}, record})), Bytes{0x11});
    EXPECT_EQ(h.reader.config().tags[0].contact, record);
}

}  // namespace

namespace {

TEST(SimReaderFaults, IgnoredPingsLeaveOtherAnswersAlone) {
    SimReaderConfig config = quickConfig();
    config.faults.ignorePings = true;
    Harness h(config);
    EXPECT_TRUE(pings(h, 3).empty());
    EXPECT_EQ(h.askOne({0x0E}), (Bytes{0x8E, 120, 0x00}));
}

}  // namespace
