// SPDX-License-Identifier: Apache-2.0
// The reader commands without --sim: the same code over the BlueZ backend, talking to
// `orvex fake-bluez` (the simulated reader served as org.bluez) on a private bus. Both run
// as child processes, so that this test process starts no threads of its own before it
// forks.

#ifdef ORVEX_WITH_BLUEZ

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/CliProcess.hpp"
#include "cli/RunCli.hpp"
#include "fakebluez/PrivateBus.hpp"

using orvex::test::lineCount;
using orvex::test::runCli;

namespace {

class CliOverBluez : public ::testing::Test {
protected:
    void SetUp() override {
        // Every command looks for BlueZ on the system bus, which this variable names.
        setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_.address().c_str(), 1);
        fake_ = std::make_unique<orvex::test::CliProcess>(
            std::vector<std::string>{"fake-bluez", "--delay", "0.005"});
        ASSERT_TRUE(fake_->waitForLine("ready", 30.0));
    }
    void TearDown() override {
        if (fake_) {
            EXPECT_EQ(fake_->stop(SIGTERM), 0);
        }
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }

    orvex::detail::bluez::PrivateBus bus_;
    std::unique_ptr<orvex::test::CliProcess> fake_;
};

TEST_F(CliOverBluez, InfoScanAndWriteContactTalkToTheReader) {
    const auto info = runCli({"info", "--json", "--adapter", "hci0"});
    ASSERT_EQ(info.exitCode, 0) << info.err;
    EXPECT_EQ(nlohmann::json::parse(info.out),
              (nlohmann::json{{"version", "KX100-M 2.4.1"}, {"battery", 89}}));

    const auto wrong = runCli(
        {"write-contact", "--tag", "999 000000054321", "--phone", "0123", "--email", "a@b.c"});
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_EQ(lineCount(wrong.err), 1) << wrong.err;

    const auto write = runCli({"write-contact", "--tag", "999 000000012345", "--phone",
                               "+44 7946 0999", "--email", "new.owner@example.org"});
    ASSERT_EQ(write.exitCode, 0) << write.err;

    // The reader keeps the tag between two runs: the new contact reads back.
    const auto scan = runCli({"scan", "--json"});
    ASSERT_EQ(scan.exitCode, 0) << scan.err;
    const auto json = nlohmann::json::parse(scan.out);
    EXPECT_EQ(json["id"], "999 000000012345");
    EXPECT_EQ(json["contact"]["phone"], "+44 7946 0999");
    EXPECT_EQ(json["contact"]["name"], "NEW.OWNER@EXAMPLE.ORG");
}

TEST_F(CliOverBluez, AnAdapterThatIsNotThereIsOneLineAndExitTwo) {
    for (const char* command : {"scan", "info", "watch"}) {
        const auto r = runCli({command, "--adapter", "hci7"});
        EXPECT_EQ(r.exitCode, 2) << command;
        EXPECT_EQ(lineCount(r.err), 1) << r.err;
        EXPECT_NE(r.err.find("hci7"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// A reader BlueZ already knows to be near, that will never be heard advertising anew.
class CliOverBluezReaderState : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_.address().c_str(), 1);
        fake_ = std::make_unique<orvex::test::CliProcess>(std::vector<std::string>{
            "fake-bluez", "--delay", "0.005", "--reader-state", GetParam()});
        ASSERT_TRUE(fake_->waitForLine("ready", 30.0));
    }
    void TearDown() override {
        if (fake_) {
            EXPECT_EQ(fake_->stop(SIGTERM), 0);
        }
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }

    orvex::detail::bluez::PrivateBus bus_;
    std::unique_ptr<orvex::test::CliProcess> fake_;
};

TEST_P(CliOverBluezReaderState, ScanFindsAndReadsTheReader) {
    const auto scan = runCli({"scan", "--json"});
    ASSERT_EQ(scan.exitCode, 0) << scan.err;
    EXPECT_EQ(nlohmann::json::parse(scan.out)["id"], "999 000000012345");
}

// Where BlueZ hands out no write or notification sockets, the same scan goes by WriteValue
// and StartNotify.
TEST(CliOverBluezWithoutSockets, ScanReadsTheReader) {
    orvex::detail::bluez::PrivateBus bus;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
    orvex::test::CliProcess fake(
        std::vector<std::string>{"fake-bluez", "--delay", "0.005", "--no-sockets"});
    ASSERT_TRUE(fake.waitForLine("ready", 30.0));
    const auto scan = runCli({"scan", "--json"});
    EXPECT_EQ(scan.exitCode, 0) << scan.err;
    if (scan.exitCode == 0) {
        EXPECT_EQ(nlohmann::json::parse(scan.out)["id"], "999 000000012345");
    }
    EXPECT_EQ(fake.stop(SIGTERM), 0);
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

INSTANTIATE_TEST_SUITE_P(States, CliOverBluezReaderState,
                         ::testing::Values("left-connected", "heard-elsewhere"),
                         [](const auto& info) {
                             std::string name = info.param;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

}  // namespace

#endif  // ORVEX_WITH_BLUEZ
