// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "e2e/E2eSession.hpp"
#include "orvex/Log.hpp"

using namespace orvex;
using namespace orvex::e2e;

namespace {

// Collects what the library logs; uninstalls itself at the end of the test.
class LogCapture {
public:
    explicit LogCapture(LogLevel level) {
        setLogHandler(level, [this](LogLevel l, std::string_view message) {
            std::lock_guard lock(mutex_);
            lines_.push_back(std::string(to_string(l)) + " " + std::string(message));
        });
    }
    ~LogCapture() { setLogHandler(LogLevel::error, nullptr); }

    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::size_t count(const std::string& prefix) const {
        std::size_t n = 0;
        for (const auto& line : lines()) n += line.rfind(prefix, 0) == 0;
        return n;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

TEST(Log, SilentUntilAHandlerIsInstalled) {
    std::size_t calls = 0;
    {
        Session s;
        ASSERT_TRUE(s.connect());
        // Installed and removed again before anything else happens: nothing arrives.
        setLogHandler(LogLevel::trace, [&](LogLevel, std::string_view) { ++calls; });
        setLogHandler(LogLevel::trace, nullptr);
        s.link().scan();
        ASSERT_TRUE(s.runUntil([&] { return s.host().countPrefix("scanReceived") == 2; }, 30));
    }
    EXPECT_EQ(calls, 0u);
}

TEST(Log, TraceShowsEveryFrameWrittenAndEveryNotification) {
    LogCapture log(LogLevel::trace);
    Session s(sim::SimReaderConfig{}, /*nearbyPeripherals=*/false);
    ASSERT_TRUE(s.connect());
    s.link().scan();
    ASSERT_TRUE(s.runUntil([&] { return s.host().countPrefix("scanReceived") == 2; }, 30));

    // Every frame the reader received was logged as written, in order, with the peripheral.
    std::vector<std::string> written;
    for (const auto& line : log.lines()) {
        const std::string prefix = "trace write to KX-BT4 SIM [";
        if (line.rfind(prefix, 0) == 0) written.push_back(line.substr(line.find("]: ") + 3));
    }
    EXPECT_EQ(written.size(), s.reader().framesReceived());
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(written.front(), "FE 00 FE 01");  // the first probe is a ping
    EXPECT_GE(log.count("trace notification from KX-BT4 SIM ["), s.reader().messagesSent());
    EXPECT_GT(log.count("info connected to KX-BT4 SIM"), 0u);
    EXPECT_GT(log.count("debug timer armed"), 0u);
}

TEST(Log, LevelsBelowTheInstalledOneStayQuiet) {
    LogCapture log(LogLevel::info);
    Session s;
    ASSERT_TRUE(s.connect());
    EXPECT_GT(log.count("info "), 0u);
    EXPECT_EQ(log.count("debug "), 0u);
    EXPECT_EQ(log.count("trace "), 0u);
}

TEST(Log, AThrowingHandlerDoesNotStopTheLink) {
    setLogHandler(LogLevel::trace,
                  [](LogLevel, std::string_view) { throw std::runtime_error("handler broke"); });
    Session s;
    const bool connected = s.connect();
    setLogHandler(LogLevel::trace, nullptr);
    EXPECT_TRUE(connected);
}

// A host whose callbacks throw, some with a standard exception and some without.
class ThrowingHost : public RecordingDelegate {
public:
    void readerConnected() override {
        RecordingDelegate::readerConnected();
        throw std::runtime_error("host bug in readerConnected");
    }
    void version(const std::string& text) override {
        RecordingDelegate::version(text);
        throw 42;
    }
    void scanReceived(std::optional<ScanResult> result, bool contactPending) override {
        RecordingDelegate::scanReceived(std::move(result), contactPending);
        throw std::logic_error("host bug in scanReceived");
    }
};

TEST(Log, ThrowingHostCallbacksAreLoggedByNameAndTheLinkGoesOn) {
    LogCapture log(LogLevel::error);
    Session s;
    auto host = std::make_shared<ThrowingHost>();
    s.link().setDelegate(host);
    s.link().initializeBluetooth();
    ASSERT_TRUE(s.runUntil([&] { return host->count("btReader") == 1; }, 10));
    s.link().connectToReader();
    ASSERT_TRUE(s.runUntil([&] { return host->countPrefix("battery") == 1; }, 30));
    s.link().scan();
    ASSERT_TRUE(s.runUntil([&] { return host->countPrefix("scanReceived") == 2; }, 30));
    bool completed = false;
    s.link().writeContact("A@B.C", "0123", "999 000000012345", [&](bool, OrvexContactStatus) {
        completed = true;
        throw std::runtime_error("host bug in the completion");
    });
    ASSERT_TRUE(s.runUntil([&] { return completed; }, 30));
    s.run(1.0);

    EXPECT_TRUE(s.link().isConnected());
    const auto lines = log.lines();
    auto logged = [&](const std::string& text) {
        for (const auto& line : lines) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    };
    EXPECT_TRUE(logged("error delegate callback readerConnected threw: host bug in readerConnected"));
    EXPECT_TRUE(logged("error delegate callback version threw a non-standard exception"));
    EXPECT_TRUE(logged("error delegate callback scanReceived threw: host bug in scanReceived"));
    EXPECT_TRUE(logged("error contact-write completion threw: host bug in the completion"));
}

}  // namespace
