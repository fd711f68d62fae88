// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link_fixture.hpp"

// Where the micro-app image comes from: a file the host named wins over the platform's
// resource; a named file that cannot be read means no image at all (never another one).

namespace orvex::linktest {
namespace {

class UpdateDelegate : public RecordingDelegate {
public:
    void startUpdate(long slices) override { add("startUpdate " + std::to_string(slices)); }
    void endUpdate(std::optional<OrvexDeviceUpdateStatus> status) override {
        add("endUpdate " + std::to_string(status ? static_cast<int>(*status) : -1));
    }
};

sim::Bytes pattern(std::size_t size, std::uint8_t start) {
    sim::Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(start + i);
    return out;
}

class MicroAppImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform->setObserver(log);
        link->setDelegate(delegate);
    }
    void TearDown() override {
        link.reset();
        platform->shutdown();
        if (!file.empty()) std::filesystem::remove(file);
    }
    std::string writeFile(const sim::Bytes& bytes) {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        file = (std::filesystem::temp_directory_path() /
                ("orvex-image-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)) + "-" +
                 test->name()))
                   .string();
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return file;
    }
    // Connects, answers the version and asks for an update; returns the writes that
    // followed the check.
    std::vector<sim::Bytes> askForUpdate() {
        connectScripted(*platform, *link);
        platform->notify({0x87, 0x4B, 0x58, 0x00});
        platform->runUntilIdle();
        const std::size_t before = log->writes().size();
        platform->notify({0x84, 0x00, 0x02});
        platform->runUntilIdle();
        const auto all = log->writes();
        return std::vector<sim::Bytes>(all.begin() + static_cast<std::ptrdiff_t>(before),
                                       all.end());
    }

    std::shared_ptr<sim::SimPlatform> platform = std::make_shared<sim::SimPlatform>();
    std::shared_ptr<detail::Link> link = std::make_shared<detail::Link>(platform);
    std::shared_ptr<UpdateDelegate> delegate = std::make_shared<UpdateDelegate>();
    std::shared_ptr<WriteLog> log = std::make_shared<WriteLog>();
    std::string file;
};

const sim::Bytes kBattery{0xFE, 0x00, 0x0E, 0xFE, 0x01};
const sim::Bytes kLock{0xFE, 0x00, 0x00};

TEST_F(MicroAppImageTest, PlatformResourceIsUsedWhenNoFileIsNamed) {
    platform->setMicroAppImage(pattern(16 + 80, 0x20));
    const auto writes = askForUpdate();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0], kLock);
    EXPECT_EQ(writes[1], pattern(16, 0x20));
}

TEST_F(MicroAppImageTest, NamedFileWinsOverThePlatformResource) {
    platform->setMicroAppImage(pattern(16 + 80, 0x20));
    link->setMicroAppImagePath(writeFile(pattern(16 + 160, 0x40)));
    const auto writes = askForUpdate();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[1], pattern(16, 0x40));
    platform->notify({0x81});
    platform->runUntilIdle();
    EXPECT_EQ(delegate->lines().back(), "startUpdate 2");
}

TEST_F(MicroAppImageTest, UnreadableNamedFileMeansNoImage) {
    platform->setMicroAppImage(pattern(16 + 80, 0x20));
    link->setMicroAppImagePath("/nonexistent/orvex/image.kxo");
    const auto writes = askForUpdate();
    EXPECT_EQ(writes, std::vector<sim::Bytes>{kBattery});
    EXPECT_EQ(delegate->lines().back(),
              "endUpdate " +
                  std::to_string(static_cast<int>(OrvexDeviceUpdateStatus::initializationError)));
}

TEST_F(MicroAppImageTest, NamedFileShorterThanTheHeadMeansNoImage) {
    link->setMicroAppImagePath(writeFile(pattern(15, 0)));
    const auto writes = askForUpdate();
    EXPECT_EQ(writes, std::vector<sim::Bytes>{kBattery});
}

}  // namespace
}  // namespace orvex::linktest
