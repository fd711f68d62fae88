// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "reader/ReaderUpdater.hpp"
#include "updater_fakes.hpp"

namespace orvex::updater_test {
namespace {

using detail::ReaderUpdater;

const Bytes kLockPrefix{0xFE, 0x00, 0x00};
const Bytes kSlicePrefix{0xFE, 0x00, 0x01};
const Bytes kFrameEnd{0xFE, 0x01};
const Bytes kUnlock{0xFE, 0x00, 0x02, 0xFE, 0x01};

// Byte i of the image is i mod 256 (no FE in the first 254 bytes).
Bytes image(std::size_t size) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(i);
    return out;
}

Bytes slice(const Bytes& data, std::size_t begin, std::size_t end) {
    return Bytes(data.begin() + static_cast<std::ptrdiff_t>(begin),
                 data.begin() + static_cast<std::ptrdiff_t>(end));
}

class ProgressDelegate : public ReaderInterfaceDelegate {
public:
    std::vector<std::string> calls;
    void btError(OrvexBluetoothError) override {}
    void connecting() override {}
    void connectionFailed(OrvexConnectionError) override {}
    void readerConnected() override {}
    void readerDisconnected(OrvexDisconnectionCause) override {}
    void scanReceived(std::optional<ScanResult>, bool) override {}
    void readerScanning(bool) override {}
    void exportReceived(std::optional<ScanResult>, long) override {}
    void scanFailed() override {}
    void version(const std::string&) override {}
    void startUpdate(long slices) override { calls.push_back("start " + std::to_string(slices)); }
    void updateStatus(long slice) override { calls.push_back("slice " + std::to_string(slice)); }
};

class ReaderUpdaterTest : public ::testing::Test {
protected:
    void create(Bytes data) {
        updater = ReaderUpdater::create(peripheral, characteristic,
                                        platform::WriteType::withResponse, std::move(data));
        ASSERT_NE(updater, nullptr);
        ASSERT_TRUE(updater->startUpdate(delegate));
    }
    void answer(std::uint8_t b) {
        updater->handleMessage({b}, [this](std::optional<OrvexDeviceUpdateStatus> status) {
            outcomes.push_back(status);
            writesAtOutcome = peripheral->writes.size();
        });
    }

    std::shared_ptr<RecordingPeripheral> peripheral = std::make_shared<RecordingPeripheral>();
    std::shared_ptr<PlainCharacteristic> characteristic = std::make_shared<PlainCharacteristic>();
    std::shared_ptr<ProgressDelegate> delegate = std::make_shared<ProgressDelegate>();
    std::shared_ptr<ReaderUpdater> updater;
    std::vector<std::optional<OrvexDeviceUpdateStatus>> outcomes;
    std::size_t writesAtOutcome = 0;
};

TEST(ReaderUpdaterCreate, NeedsAnImageWithAWholeHead) {
    auto p = std::make_shared<RecordingPeripheral>();
    auto c = std::make_shared<PlainCharacteristic>();
    const auto t = platform::WriteType::withoutResponse;
    EXPECT_EQ(ReaderUpdater::create(p, c, t, std::nullopt), nullptr);
    EXPECT_EQ(ReaderUpdater::create(p, c, t, Bytes{}), nullptr);
    EXPECT_EQ(ReaderUpdater::create(p, c, t, image(15)), nullptr);
    EXPECT_NE(ReaderUpdater::create(p, c, t, image(16)), nullptr);
    EXPECT_EQ(ReaderUpdater::create(nullptr, c, t, image(16)), nullptr);
    EXPECT_TRUE(p->writes.empty());
}

TEST_F(ReaderUpdaterTest, UploadsEverySliceBetweenLockAndUnlock) {
    struct Case {
        std::size_t size;
        long announced;
        std::vector<std::size_t> sliceSizes;
    };
    const std::vector<Case> cases{
        {16, 0, {0}},     {16 + 80, 1, {80}}, {16 + 160, 2, {80, 80}}, {16 + 170, 2, {80, 80, 10}},
        {16 + 1, 0, {1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        peripheral->writes.clear();
        delegate->calls.clear();
        outcomes.clear();
        const Bytes data = image(c.size);
        create(data);

        std::vector<Bytes> expected{kLockPrefix, slice(data, 0, 16), kFrameEnd};
        EXPECT_EQ(peripheral->writes, expected);

        std::vector<std::string> calls{"start " + std::to_string(c.announced)};
        answer(0x81);
        std::size_t offset = 16;
        for (std::size_t n = 0; n < c.sliceSizes.size(); ++n) {
            expected.push_back(kSlicePrefix);
            if (c.sliceSizes[n] > 0)
                expected.push_back(slice(data, offset, offset + c.sliceSizes[n]));
            expected.push_back(kFrameEnd);
            offset += c.sliceSizes[n];
            EXPECT_EQ(peripheral->writes, expected);
            answer(0x82);
            calls.push_back("slice " + std::to_string(n));
        }
        expected.push_back(kUnlock);
        EXPECT_EQ(peripheral->writes, expected);
        EXPECT_EQ(delegate->calls, calls);
        EXPECT_EQ(ReaderUpdater::announcedSlices(c.size), c.announced);

        EXPECT_TRUE(outcomes.empty());
        answer(0x00);  // not the unlock answer: ignored
        EXPECT_TRUE(outcomes.empty());
        answer(0x83);
        ASSERT_EQ(outcomes.size(), 1u);
        EXPECT_EQ(outcomes[0], std::nullopt);
        EXPECT_EQ(peripheral->writes, expected);
    }
}

TEST_F(ReaderUpdaterTest, HeadAndSlicesAreEscaped) {
    Bytes data = image(16 + 3);
    data[2] = 0xFE;
    data[17] = 0xFE;
    create(data);
    const Bytes head{0x00, 0x01, 0xFE, 0xFE, 0x03, 0x04, 0x05, 0x06, 0x07,
                     0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
    ASSERT_EQ(peripheral->writes.size(), 3u);
    EXPECT_EQ(peripheral->writes[1], head);
    answer(0x81);
    ASSERT_EQ(peripheral->writes.size(), 6u);
    EXPECT_EQ(peripheral->writes[4], (Bytes{0x10, 0xFE, 0xFE, 0x12}));
}

TEST_F(ReaderUpdaterTest, RefusedLockEndsWithoutSlicesOrUnlock) {
    create(image(16 + 160));
    answer(0x80);  // a late ping answer is not the lock answer
    EXPECT_TRUE(outcomes.empty());
    answer(0x7F);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0], OrvexDeviceUpdateStatus::readerLockingFailed);
    EXPECT_EQ(peripheral->writes.size(), 3u);
    EXPECT_TRUE(delegate->calls.empty());
    answer(0x81);  // finished: nothing more happens
    EXPECT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(peripheral->writes.size(), 3u);
}

TEST_F(ReaderUpdaterTest, RefusedSliceReportsThenUnlocks) {
    create(image(16 + 240));
    answer(0x81);
    answer(0x82);
    answer(0x82);
    answer(0x55);  // a reading made on the reader's trigger is not the slice answer
    EXPECT_TRUE(outcomes.empty());
    answer(0x7F);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0], OrvexDeviceUpdateStatus::sliceUploadFailed);
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"start 3", "slice 0", "slice 1"}));
    // The unlock frame follows the outcome.
    EXPECT_EQ(peripheral->writes.size(), writesAtOutcome + 1);
    EXPECT_EQ(peripheral->writes.back(), kUnlock);
    // Its answer, were it to reach this updater, reports the failed unlock state.
    answer(0x83);
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[1], OrvexDeviceUpdateStatus::readerUnlockingFailed);
}

TEST_F(ReaderUpdaterTest, StartsOnlyOnce) {
    create(image(16));
    EXPECT_FALSE(updater->startUpdate(delegate));
    EXPECT_EQ(peripheral->writes.size(), 3u);
}

TEST_F(ReaderUpdaterTest, ProgressIsSkippedWithoutDelegate) {
    create(image(16 + 80));
    delegate.reset();  // the updater holds it weakly
    answer(0x81);
    answer(0x82);
    answer(0x83);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0], std::nullopt);
}

TEST_F(ReaderUpdaterTest, CompletionMayReleaseTheUpdater) {
    create(image(16 + 160));
    answer(0x81);
    auto raw = updater.get();
    raw->handleMessage({0x7F}, [this](std::optional<OrvexDeviceUpdateStatus>) {
        updater.reset();  // as the link does when the outcome arrives
    });
    EXPECT_EQ(updater, nullptr);
    EXPECT_EQ(peripheral->writes.back(), kUnlock);
}

}  // namespace
}  // namespace orvex::updater_test
