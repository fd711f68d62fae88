// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "reader/ContactUpdater.hpp"
#include "updater_fakes.hpp"

namespace orvex::updater_test {
namespace {

using detail::ContactUpdater;

// 88, FDX-B, country 999, national number 12345: "999 000000012345".
const Bytes kScanAnswer{0x88, 0x04, 0x03, 0xE7, 0x39, 0x30, 0x00, 0x00, 0x00};
const std::string kTagId = "999 000000012345";
const Bytes kScanData{0xFE, 0x00, 0x08, 0x0F, 0xFE, 0x01};

struct Outcome {
    bool success;
    OrvexContactStatus status;
};

class ContactUpdaterTest : public ::testing::Test {
protected:
    void start(Bytes contact = {0x01, 0x02}, std::string id = kTagId) {
        updater =
            std::make_shared<ContactUpdater>(platform, peripheral, characteristic,
                                             platform::WriteType::withResponse, std::move(contact));
        updater->startUpdate(owner, std::move(id), [this](bool ok, OrvexContactStatus status) {
            outcomes.push_back({ok, status});
        });
    }
    void feed(const Bytes& data) { updater->handleMessage(data); }

    std::shared_ptr<ManualPlatform> platform = std::make_shared<ManualPlatform>();
    std::shared_ptr<RecordingPeripheral> peripheral = std::make_shared<RecordingPeripheral>();
    std::shared_ptr<PlainCharacteristic> characteristic = std::make_shared<PlainCharacteristic>();
    std::shared_ptr<int> owner = std::make_shared<int>(0);
    std::shared_ptr<ContactUpdater> updater;
    std::vector<Outcome> outcomes;
};

TEST(ContactFrame, OnlyThePayloadIsEscaped) {
    const std::vector<std::pair<Bytes, Bytes>> cases{
        {{0x01, 0xFE, 0x02},
         {0xFE, 0x00, 0x03, 0x11, 0x10, 0x7C, 0x01, 0xFE, 0xFE, 0x02, 0xFE, 0x01}},
        {{0xFE, 0xFE}, {0xFE, 0x00, 0x03, 0x11, 0x10, 0x7C, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0x01}},
        {{}, {0xFE, 0x00, 0x03, 0x11, 0x10, 0x7C, 0xFE, 0x01}},
        {{0x00, 0xFF, 0xFD}, {0xFE, 0x00, 0x03, 0x11, 0x10, 0x7C, 0x00, 0xFF, 0xFD, 0xFE, 0x01}},
    };
    for (const auto& [payload, frame] : cases) {
        EXPECT_EQ(ContactUpdater::contactFrame(payload), frame);
    }
}

TEST_F(ContactUpdaterTest, MatchingTagGetsTheRecordAndSuccess) {
    // The record of phone "0123" and e-mail "ab"; its FE-free bytes go out as they are.
    const Bytes record{0x00, 0x1E, 0x89, 0xBC, 0x91, 0x20, 0x16, 0x72, 0x52, 0xEA, 0xBC, 0x51,
                       0xFF, 0x30, 0x4E, 0x0C, 0x7C, 0x50, 0xB8, 0x07, 0x56, 0x2F, 0xF8, 0xB2};
    start(record);
    ASSERT_EQ(peripheral->writes, std::vector<Bytes>{kScanData});
    ASSERT_EQ(platform->armed().size(), 1u);
    EXPECT_EQ(platform->armed()[0]->seconds, 21.0);

    // The answer arrives in two notifications; only the second completes it.
    feed(Bytes(kScanAnswer.begin(), kScanAnswer.begin() + 5));
    EXPECT_EQ(peripheral->writes.size(), 1u);
    feed(Bytes(kScanAnswer.begin() + 5, kScanAnswer.end()));
    ASSERT_EQ(peripheral->writes.size(), 2u);
    EXPECT_EQ(peripheral->writes[1], ContactUpdater::contactFrame(record));
    ASSERT_EQ(platform->armed().size(), 1u);  // the scan timer gave way to the write timer

    feed({0x11, 0x00});
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_TRUE(outcomes[0].success);
    EXPECT_EQ(outcomes[0].status, OrvexContactStatus::success);
    EXPECT_TRUE(updater->isFinished());
    EXPECT_TRUE(platform->armed().empty());
}

TEST_F(ContactUpdaterTest, EachEndingReportsItsOutcomeOnce) {
    struct Case {
        const char* what;
        std::vector<Bytes> answers;
        bool fireTimers;
        OrvexContactStatus status;
        std::size_t writes;
    };
    const std::vector<Case> cases{
        {"write refused",
         {kScanAnswer, {0x12}},
         false,
         OrvexContactStatus::writeOperationFailed,
         2},
        {"other tag",
         {{0x88, 0x04, 0x03, 0xE7, 0x3A, 0x30, 0x00, 0x00, 0x00}},
         false,
         OrvexContactStatus::wrongChip,
         1},
        {"no scan answer", {}, true, OrvexContactStatus::contactReadTimeout, 1},
        {"answer not opened by 88",
         {{0x87, 0x04, 0x03, 0xE7, 0x39}, {0x30, 0x00, 0x00, 0x00, 0x88, 0x04}},
         true,
         OrvexContactStatus::contactReadTimeout,
         1},
        {"no write answer", {kScanAnswer}, true, OrvexContactStatus::writeOperationFailed, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        outcomes.clear();
        peripheral->writes.clear();
        platform->timers.clear();
        start();
        for (const auto& a : c.answers) feed(a);
        if (c.fireTimers) platform->fireAll();
        ASSERT_EQ(outcomes.size(), 1u);
        EXPECT_FALSE(outcomes[0].success);
        EXPECT_EQ(outcomes[0].status, c.status);
        EXPECT_EQ(peripheral->writes.size(), c.writes);

        // Nothing after the outcome produces a second one: not a late timer, not a message.
        platform->fireAll();
        feed({0x11});
        EXPECT_EQ(outcomes.size(), 1u);
        EXPECT_TRUE(platform->armed().empty());
    }
}

TEST_F(ContactUpdaterTest, LongerScanAnswerIsDecodedWhole) {
    Bytes answer = kScanAnswer;
    answer.insert(answer.end(), {0xAA, 0xBB, 0xCC});
    start();
    feed(answer);
    EXPECT_EQ(peripheral->writes.size(), 2u);
    EXPECT_TRUE(outcomes.empty());
}

TEST_F(ContactUpdaterTest, OnlyTheFirstStartActs) {
    start();
    updater->startUpdate(owner, "other", [this](bool ok, OrvexContactStatus s) {
        outcomes.push_back({ok, s});
    });
    EXPECT_EQ(peripheral->writes.size(), 1u);
    EXPECT_EQ(platform->armed().size(), 1u);
    feed(kScanAnswer);  // still checked against the first identifier
    EXPECT_EQ(peripheral->writes.size(), 2u);
}

TEST_F(ContactUpdaterTest, NotificationBeforeStartReportsNothing) {
    updater = std::make_shared<ContactUpdater>(platform, peripheral, characteristic,
                                               platform::WriteType::withResponse, Bytes{});
    updater->handleMessage({0x11});
    EXPECT_FALSE(updater->isFinished());
    EXPECT_TRUE(peripheral->writes.empty());
}

TEST_F(ContactUpdaterTest, AnswerAfterTheOwnerIsGoneIsDropped) {
    start();
    owner.reset();
    feed(kScanAnswer);
    EXPECT_EQ(peripheral->writes.size(), 1u);
    EXPECT_TRUE(outcomes.empty());
}

TEST_F(ContactUpdaterTest, CompletionMayReleaseTheUpdater) {
    updater = std::make_shared<ContactUpdater>(platform, peripheral, characteristic,
                                               platform::WriteType::withResponse, Bytes{0x01});
    updater->startUpdate(owner, kTagId, [this](bool ok, OrvexContactStatus s) {
        updater.reset();  // as the link does when the outcome arrives
        outcomes.push_back({ok, s});
    });
    auto raw = updater.get();
    raw->handleMessage(kScanAnswer);
    raw->handleMessage({0x11});
    EXPECT_EQ(updater, nullptr);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_TRUE(outcomes[0].success);
}

}  // namespace
}  // namespace orvex::updater_test
