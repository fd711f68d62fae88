// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "orvex/platform/Platform.hpp"
#include "platform/bluez/BluezPlatform.hpp"
#include "platform/bluez/Sockets.hpp"
#include "fakebluez/FakeBluez.hpp"
#include "fakebluez/PrivateBus.hpp"

// Helpers for the tests of the BlueZ backend: a private bus, the fake org.bluez on it, and
// recorders of what the backend reports. Every wait has a bound, so a broken backend fails
// a test instead of hanging it; no timing is asserted.

namespace orvex::bluez_test {

using namespace orvex::detail;
using namespace orvex::detail::bluez;
using platform::Bytes;
using platform::ManagerState;

constexpr auto kBound = std::chrono::seconds(15);

// Lines of text appended from any thread, waited for from the test thread.
class Log {
public:
    void add(std::string line) {
        // Notified under the lock: a waiter that has seen its line may end the test and
        // destroy this log at once, which must not find this call still inside notify_all.
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
        changed_.notify_all();
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // Waits until `line` has been added `times` times in all.
    bool waitFor(const std::string& line, std::size_t times = 1,
                 std::chrono::milliseconds bound = kBound) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, bound, [&] { return countLocked(line) >= times; });
    }
    bool waitUntil(const std::function<bool(const std::vector<std::string>&)>& done,
                   std::chrono::milliseconds bound = kBound) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, bound, [&] { return done(lines_); });
    }
    std::size_t count(const std::string& line) const {
        std::lock_guard lock(mutex_);
        return countLocked(line);
    }
    std::string dump() const {
        std::string out;
        for (const auto& l : lines()) out += "  " + l + "\n";
        return out;
    }

private:
    std::size_t countLocked(const std::string& line) const {
        std::size_t n = 0;
        for (const auto& l : lines_) n += l == line ? 1 : 0;
        return n;
    }
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
};

inline std::string hex(const Bytes& bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (auto b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0xF];
    }
    return out;
}

// Polls `done` until it holds or the bound passes (for state the fake keeps).
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds bound = kBound) {
    const auto until = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Runs `block` on the platform's link queue and waits for it.
inline void onLinkQueue(platform::Platform& p, std::function<void()> block) {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    p.linkQueue().post([block = std::move(block), done] {
        block();
        done->set_value();
    });
    ASSERT_EQ(future.wait_for(kBound), std::future_status::ready);
}

// A private bus with the fake org.bluez on it.
struct FakeWorld {
    explicit FakeWorld(FakeConfig config = {}, bool denyBluez = false)
        : bus(denyBluez), fake(std::make_unique<FakeBluez>(bus.address(), std::move(config))) {}

    BluezOptions options(std::string adapter = "hci0") const {
        BluezOptions o;
        o.busAddress = bus.address();
        o.adapter = std::move(adapter);
        o.resolveTimeout = std::chrono::milliseconds(1500);
        o.restartGrace = std::chrono::milliseconds(300);
        o.connectTimeout = std::chrono::milliseconds(3000);
        return o;
    }

    PrivateBus bus;
    std::unique_ptr<FakeBluez> fake;
};

// A fast simulated reader for tests.
inline FakeConfig fastConfig(sim::SimService service = sim::SimService::uart) {
    FakeConfig config;
    config.reader->reader.service = service;
    config.reader->reader.answerDelay = 0.005;
    config.reader->reader.triggerEndDelay = 0.02;
    return config;
}

}  // namespace orvex::bluez_test
