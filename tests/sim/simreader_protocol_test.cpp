// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "orvex/Contact.hpp"
#include "reader/Messages.hpp"
#include "sim/SimReaderHarness.hpp"

using namespace orvex::sim;
using namespace orvex::sim::harness;
using orvex::Contact;

namespace {

SimTag hdxTag() {
    SimTag t;
    t.type = 1;
    t.country = 124;
    t.nationalNumber = 1234;
    return t;
}

const Bytes kTagRecord{0x04, 0x03, 0xE7, 0x39, 0x30, 0x00, 0x00, 0x00};

TEST(SimReaderProtocol, AnswersEachCommand) {
    struct Case {
        const char* what;
        std::function<void(SimReaderConfig&)> setup;
        Bytes command;
        Bytes answer;
    };
    const Bytes contact = Contact::encode("+44 7946 0001", "OWNER@EXAMPLE.COM");
    const Case cases[] = {
        {"ping", nullptr, {}, {0x80}},
        {"version",
         nullptr,
         {0x07},
         concat({{0x87}, ascii("KESTRALON KX100 MOBILE 2.4.1"), {0x00}})},
        {"battery", [](auto& c) { c.batteryRaw = 134; }, {0x0E}, {0x8E, 134, 0x00}},
        {"micro app current", nullptr, {0x04}, {0x84, 0x00, 0x01}},
        {"micro app wants an update",
         [](auto& c) { c.microAppCurrent = false; },
         {0x04},
         {0x84, 0x00, 0x02}},
        {"scan", nullptr, {0x08, 0x0F}, concat({{0x88}, kTagRecord})},
        {"scan with an empty field", [](auto& c) { c.tagInField.reset(); }, {0x08, 0x0F}, {0x7E}},
        {"scan of an HDX tag",
         [](auto& c) { c.tags = {hdxTag()}; },
         {0x08, 0x0F},
         {0x88, 0x01, 0x00, 0x7C, 0xD2, 0x04, 0x00, 0x00, 0x00}},
        {"contact read", nullptr, {0x03, 0x10, 0x10, 0x7C}, concat({{0x10}, contact})},
        {"contact read with an empty field",
         [](auto& c) { c.tagInField.reset(); },
         {0x03, 0x10, 0x10, 0x7C},
         {0x7E}},
        {"contact read of a tag without contact",
         [](auto& c) { c.tags[0].contact.reset(); },
         {0x03, 0x10, 0x10, 0x7C},
         {0x7E}},
        {"contact read of a tag that is not FDX-B",
         [](auto& c) {
             c.tags = {hdxTag()};
             c.tags[0].contact = Bytes(24, 1);
         },
         {0x03, 0x10, 0x10, 0x7C},
         {0x7E}},
        {"field index out of range", [](auto& c) { c.tagInField = 5; }, {0x08, 0x0F}, {0x7E}},
        {"scan with another parameter", nullptr, {0x08, 0x0E}, {0x7F}},
        {"unknown command", nullptr, {0x09}, {0x7F}},
        {"unknown transponder command", nullptr, {0x03, 0x12, 0x10, 0x7C}, {0x7F}},
        {"slice without lock", nullptr, {0x01, 0x01, 0x02}, {0x7F}},
        {"lock with a short head", nullptr, {0x00, 0x01, 0x02}, {0x7F}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimReaderConfig config = quickConfig();
        if (c.setup) c.setup(config);
        Harness h(config);
        EXPECT_EQ(h.ask(c.command), std::vector<Bytes>{c.answer});
    }
}

TEST(SimReaderProtocol, ContactWriteStoresTheRecordForTheNextRead) {
    Harness h(quickConfig());
    Bytes record = Contact::encode("+1 555 010 999", "NEW.OWNER@EXAMPLE.ORG");
    record[3] = 0xFE;  // an FE byte travels escaped
    record[4] = 0xFE;
    EXPECT_EQ(h.askOne(concat({{0x03, 0x11, 0x10, 0x7C}, record})), Bytes{0x11});
    EXPECT_EQ(h.askOne({0x03, 0x10, 0x10, 0x7C}), concat({{0x10}, record}));
    EXPECT_EQ(h.reader.config().tags[0].contact, record);
}

TEST(SimReaderProtocol, ContactWriteRefusedLeavesTheTagAsItWas) {
    struct Case {
        const char* what;
        std::function<void(SimReaderConfig&)> setup;
        std::size_t recordSize;
    };
    const Case cases[] = {
        {"tag not writable", [](auto& c) { c.tags[0].writable = false; }, 24},
        {"record too short", nullptr, 23},
        {"record too long", nullptr, 25},
        {"no tag in the field", [](auto& c) { c.tagInField.reset(); }, 24},
        {"tag is not FDX-B", [](auto& c) { c.tags[0].type = 5; }, 24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimReaderConfig config = quickConfig();
        if (c.setup) c.setup(config);
        Harness h(config);
        const auto before = h.reader.config().tags;
        EXPECT_EQ(h.askOne(concat({{0x03, 0x11, 0x10, 0x7C}, Bytes(c.recordSize, 0x42)})),
                  Bytes{0x12});
        EXPECT_EQ(h.reader.config().tags[0].contact, before[0].contact);
    }
}

TEST(SimReaderProtocol, UploadKeepsTheImageAndMakesTheMicroAppCurrent) {
    SimReaderConfig config = quickConfig();
    config.microAppCurrent = false;
    Harness h(config);
    Bytes image(16 + 3 * 80 + 7);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 37);
    image[0] = image[15] = image[16] = image[100] = image.back() = 0xFE;
    image[17] = 0x00;
    image[101] = 0x01;  // FE 00 and FE 01 patterns inside the data

    // Written the way the link writes: opening, escaped payload and closing separately.
    auto write3 = [&](std::uint8_t command, std::size_t from, std::size_t to) {
        h.notifications.clear();
        h.reader.received({0xFE, 0x00, command});
        if (to > from) {
            h.reader.received(escaped(Bytes(image.begin() + static_cast<long>(from),
                                            image.begin() + static_cast<long>(to))));
        }
        h.reader.received({0xFE, 0x01});
        h.advance(1.0);
        return h.notifications;
    };
    EXPECT_EQ(write3(0x00, 0, 16), std::vector<Bytes>{{0x81}});
    EXPECT_TRUE(h.reader.uploadInProgress());
    for (std::size_t at = 16; at < image.size(); at += 80) {
        EXPECT_EQ(write3(0x01, at, std::min(at + 80, image.size())), std::vector<Bytes>{{0x82}});
    }
    EXPECT_EQ(h.askOne({0x04}), (Bytes{0x84, 0x00, 0x02}));  // not current before unlock
    EXPECT_EQ(h.askOne({0x02}), Bytes{0x83});
    EXPECT_EQ(h.reader.uploadedImage(), image);
    EXPECT_FALSE(h.reader.uploadInProgress());
    EXPECT_EQ(h.askOne({0x04}), (Bytes{0x84, 0x00, 0x01}));

    // An empty slice frame is acknowledged and adds nothing.
    EXPECT_EQ(write3(0x00, 0, 16), std::vector<Bytes>{{0x81}});
    EXPECT_EQ(write3(0x01, 16, 16), std::vector<Bytes>{{0x82}});
    EXPECT_EQ(h.reader.uploadedImage(), Bytes(image.begin(), image.begin() + 16));
}

TEST(SimReaderProtocol, UploadCutByADisconnectionLeavesTheMicroAppOutdated) {
    SimReaderConfig config = quickConfig();
    config.microAppCurrent = false;
    Harness h(config);
    EXPECT_EQ(h.askOne(concat({{0x00}, Bytes(16, 0xAB)})), Bytes{0x81});
    EXPECT_EQ(h.askOne({0x01, 0x01, 0x02}), Bytes{0x82});
    h.reader.disconnected();
    h.reader.connected();
    EXPECT_EQ(h.askOne({0x02}), Bytes{0x83});
    EXPECT_EQ(h.askOne({0x04}), (Bytes{0x84, 0x00, 0x02}));
    EXPECT_EQ(h.askOne({0x01, 0x05}), Bytes{0x7F});
}

TEST(SimReaderProtocol, SplitsAnswersIntoNotificationsOfTheConfiguredSize) {
    struct Case {
        std::size_t size;
        std::vector<std::size_t> pieces;
    };
    // The version answer is 30 bytes.
    const Case cases[] = {
        {20, {20, 10}}, {244, {30}}, {30, {30}}, {7, {7, 7, 7, 7, 2}}, {2, {6, 6, 6, 6, 6}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        SimReaderConfig config = quickConfig();
        config.notificationSize = c.size;
        Harness h(config);
        const auto got = h.ask({0x07});
        std::vector<std::size_t> sizes;
        Bytes joined;
        for (const auto& n : got) {
            sizes.push_back(n.size());
            joined.insert(joined.end(), n.begin(), n.end());
        }
        EXPECT_EQ(sizes, c.pieces);
        EXPECT_EQ(joined, concat({{0x87}, ascii("KESTRALON KX100 MOBILE 2.4.1"), {0x00}}));
    }
}

TEST(SimReaderProtocol, TwoAnswersNeverShareANotification) {
    Harness h(quickConfig());
    h.reader.received(concat({frame({}), frame({0x0E}), frame({0x04})}));
    h.advance(1.0);
    EXPECT_EQ(h.notifications, (std::vector<Bytes>{{0x80}, {0x8E, 120, 0x00}, {0x84, 0x00, 0x01}}));
}

TEST(SimReaderProtocol, AnswersComeAfterTheDelayAndNotAfterADisconnection) {
    SimReaderConfig config = quickConfig();
    config.answerDelay = 0.3;
    Harness h(config);
    h.reader.received(frame({}));
    h.advance(0.29);
    EXPECT_TRUE(h.notifications.empty());
    h.advance(0.02);
    EXPECT_EQ(h.notifications, std::vector<Bytes>{{0x80}});

    h.notifications.clear();
    h.reader.received(frame({}));
    h.reader.disconnected();
    h.reader.connected();
    h.advance(1.0);
    EXPECT_TRUE(h.notifications.empty());  // the answer belonged to the old connection

    // Bytes of a half-written frame do not survive the reconnection either.
    h.reader.received({0xFE, 0x00, 0x07});
    h.reader.disconnected();
    h.reader.connected();
    h.reader.received({0x0E, 0xFE, 0x01});
    h.advance(1.0);
    EXPECT_TRUE(h.notifications.empty());
}

TEST(SimReaderProtocol, TriggerReadingSendsStatusReadingStatusAndStoresIt) {
    {
        SimReaderConfig config = quickConfig();
        config.triggerEndDelay = 0.5;
        Harness h(config);
        const auto stored = h.reader.config().storedReadings.size();
        h.reader.triggerReading(SimReadingFormat::packed);
        h.advance(0.49);
        EXPECT_EQ(h.notifications.size(), 2u);  // "E" comes when the antenna goes off
        h.advance(0.02);
        EXPECT_EQ(h.notifications,
                  (std::vector<Bytes>{concat({ascii("UQX,SB")}), concat({{0x8F}, kTagRecord}),
                                      ascii("UQX,SE")}));
        ASSERT_EQ(h.reader.config().storedReadings.size(), stored + 1);
        EXPECT_EQ(h.reader.config().storedReadings.back().id(), "999 000000012345");
    }
    {
        SimReaderConfig config = quickConfig();
        config.notificationSize = 20;
        Harness h(config);
        h.reader.triggerReading(SimReadingFormat::text);
        h.advance(1.0);
        ASSERT_EQ(h.notifications.size(), 4u);
        EXPECT_EQ(h.notifications[0], ascii("UQX,SB"));
        const Bytes record = concat({h.notifications[1], h.notifications[2]});
        EXPECT_EQ(record, concat({ascii("UFDXB    999 000000012345    \r\n")}));
        EXPECT_EQ(h.notifications[3], ascii("UQX,SE"));
        const auto decoded = orvex::detail::decodeTextScan(record, 0.0);
        ASSERT_TRUE(decoded.scan && decoded.scan->xpdr);
        EXPECT_EQ(decoded.scan->xpdr->type, 4);
        EXPECT_EQ(decoded.scan->xpdr->id, "999 000000012345");
    }
    {
        SimReaderConfig config = quickConfig();
        config.tagInField.reset();
        Harness h(config);
        const auto stored = h.reader.config().storedReadings.size();
        h.reader.triggerReading();
        h.advance(1.0);
        EXPECT_EQ(h.notifications, (std::vector<Bytes>{ascii("UQX,SB"), ascii("UQX,SE")}));
        EXPECT_EQ(h.reader.config().storedReadings.size(), stored);
    }
}

TEST(SimReaderProtocol, ExportSendsNumberedRecordsThatTheDecodersRead) {
    SimReaderConfig config = quickConfig();
    config.notificationSize = 20;
    Harness h(config);
    h.reader.exportReadings();
    h.advance(1.0);
    ASSERT_EQ(h.notifications.size(), 6u);  // 37 bytes: 20 + 17 each
    const std::vector<std::pair<int, std::string>> expected{
        {4, "999 000000012345"}, {1, "124 000000001234"}, {6, "000 000305419896"}};
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const Bytes record = concat({h.notifications[2 * i], h.notifications[2 * i + 1]});
        ASSERT_EQ(record.size(), 37u);
        EXPECT_EQ(record[0], 0xAA);
        EXPECT_EQ(orvex::detail::exportRecordNumber(record), static_cast<long>(i + 1));
        const auto scan = orvex::detail::decodeTextScan(Bytes(record.begin() + 6, record.end()), 0);
        ASSERT_TRUE(scan.scan && scan.scan->xpdr);
        EXPECT_EQ(scan.scan->xpdr->type, expected[i].first);
        EXPECT_EQ(scan.scan->xpdr->id, expected[i].second);
    }
}

TEST(SimReaderProtocol, ExportNumbersWrapAfterNineHundredNinetyNine) {
    SimTag tag;
    EXPECT_EQ(exportRecord(1, tag)[1], '0');
    const struct {
        std::size_t number;
        const char* digits;
    } cases[] = {{1, "001"}, {42, "042"}, {999, "999"}, {1000, "000"}, {1001, "001"}};
    for (const auto& c : cases) {
        const Bytes r = exportRecord(c.number, tag);
        EXPECT_EQ(std::string(r.begin() + 1, r.begin() + 4), c.digits) << c.number;
    }
}

TEST(SimReaderProtocol, RecordsMatchTheLinkDecoders) {
    const SimTag tags[] = {SimTag{}, hdxTag(), SimTag{6, 0, 0, {}, true},
                           SimTag{3, 1000, 999999999999ULL, {}, true}};
    for (const SimTag& tag : tags) {
        SCOPED_TRACE(tag.id());
        const auto packed = orvex::detail::decodePackedScan(packedRecord(0x8F, tag), 0);
        ASSERT_TRUE(packed.scan && packed.scan->xpdr);
        EXPECT_EQ(packed.scan->xpdr->type, tag.type);
        EXPECT_EQ(packed.scan->xpdr->id, tag.id());
        const auto text = orvex::detail::decodeTextScan(textRecord(tag), 0);
        ASSERT_TRUE(text.scan && text.scan->xpdr);
        EXPECT_EQ(text.scan->xpdr->type, tag.type);
        EXPECT_EQ(text.scan->xpdr->id, tag.id());
    }
}

}  // namespace
