// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>

#include <sdbus-c++/sdbus-c++.h>

#include "BluezHarness.hpp"
#include "platform/bluez/Values.hpp"

// The fake org.bluez itself, seen from a plain D-Bus client.

namespace orvex::bluez_test {
namespace {

// When a property comes or goes (RSSI while discovery starts and stops) the fake registers
// the object anew; a call to that object meanwhile must still find it, as it would in BlueZ.
TEST(FakeBluezObjects, StayReachableWhileTheirPropertiesComeAndGo) {
    FakeWorld world;
    const auto readerPath = FakeBluez::readerPath(FakeConfig{});
    auto connection = sdbus::createSessionBusConnectionWithAddress(world.bus.address());
    connection->enterEventLoopAsync();
    auto adapter = sdbus::createProxy(*connection, SERVICE, "/org/bluez/hci0");
    auto reader = sdbus::createProxy(*connection, SERVICE, readerPath);

    std::atomic<bool> done{false};
    std::atomic<int> answered{0};
    std::string failure;
    std::thread caller([&] {
        while (!done) {
            try {
                reader->getProperty("Address").onInterface(DEVICE);
                ++answered;
            } catch (const sdbus::Error& e) {
                // Not there yet: the reader has not been heard in the first round.
                if (answered == 0 && e.getName() == "org.freedesktop.DBus.Error.UnknownObject")
                    continue;
                failure = e.getName() + ": " + e.getMessage();
                return;
            }
        }
    });
    // Each round adds RSSI to every device heard and takes it away again.
    for (int round = 0; round < 15 && failure.empty(); ++round) {
        adapter->callMethod("StartDiscovery").onInterface(ADAPTER);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        adapter->callMethod("StopDiscovery").onInterface(ADAPTER);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    done = true;
    caller.join();
    connection->leaveEventLoop();
    EXPECT_EQ(failure, "");
    EXPECT_GT(answered.load(), 0);
}


// One WriteValue as a plain client sends it.
sdbus::PendingAsyncCall sendWrite(sdbus::IProxy& characteristic, const Bytes& value,
                                  std::function<void(const sdbus::Error*)> done) {
    return characteristic.callMethodAsync("WriteValue")
        .onInterface(GATT_CHARACTERISTIC)
        .withArguments(value, DbusProps{{"type", sdbus::Variant(std::string("request"))}})
        .uponReplyInvoke(std::move(done));
}

// The error name a WriteValue request gets ("" on success).
std::string writeOutcome(sdbus::IProxy& characteristic, const Bytes& value) {
    auto outcome = std::make_shared<std::promise<std::string>>();
    auto future = outcome->get_future();
    sendWrite(characteristic, value, [outcome](const sdbus::Error* error) {
        outcome->set_value(error ? error->getName() : "");
    });
    if (future.wait_for(kBound) != std::future_status::ready) return "no answer";
    return future.get();
}

struct WriteRuleCase {
    const char* name;
    bool sockets;
    // What changes after a first write has been answered; it may keep what must stay open.
    std::function<void(FakeBluez&, sdbus::IProxy& characteristic,
                        std::vector<std::shared_ptr<void>>& keep)>
        change;
    std::size_t size;   // of the next write
    const char* error;  // what that write gets
};

void PrintTo(const WriteRuleCase& c, std::ostream* os) { *os << c.name; }

class FakeWriteRules : public ::testing::TestWithParam<WriteRuleCase> {};

// Plain writes are answered where they arrive, but BlueZ's rules still hold for every write
// after a change: one request in flight, a failure set up, a link gone, a write acquired,
// a value longer than one ATT payload.
TEST_P(FakeWriteRules, HoldForTheWriteAfterAChange) {
    FakeConfig config;
    config.reader->sockets = GetParam().sockets;
    FakeWorld world(config);
    const auto readerPath = FakeBluez::readerPath(config);
    // The uart layout's write characteristic, where the fake puts it.
    const auto writePath = readerPath + "/service000c/char0010";
    auto connection = sdbus::createSessionBusConnectionWithAddress(world.bus.address());
    connection->enterEventLoopAsync();
    auto device = sdbus::createProxy(*connection, SERVICE, readerPath);
    auto characteristic = sdbus::createProxy(*connection, SERVICE, writePath);
    const auto appears = [](sdbus::IProxy& object, const char* interface, const char* property) {
        return eventually([&] {
            try {
                object.getProperty(property).onInterface(interface);
                return true;
            } catch (const sdbus::Error&) {
                return false;
            }
        });
    };
    auto adapter = sdbus::createProxy(*connection, SERVICE, "/org/bluez/" + config.adapter);
    adapter->callMethod("StartDiscovery").onInterface(ADAPTER);
    ASSERT_TRUE(appears(*device, DEVICE, "Address"));
    adapter->callMethod("StopDiscovery").onInterface(ADAPTER);
    device->callMethod("Connect").onInterface(DEVICE);
    ASSERT_TRUE(appears(*characteristic, GATT_CHARACTERISTIC, "UUID"));
    ASSERT_EQ(writeOutcome(*characteristic, Bytes{1, 2, 3}), "");

    std::vector<std::shared_ptr<void>> keep;
    GetParam().change(*world.fake, *characteristic, keep);
    EXPECT_EQ(writeOutcome(*characteristic, Bytes(GetParam().size, 7)), GetParam().error);
    connection->leaveEventLoop();
}

INSTANTIATE_TEST_SUITE_P(
    Changes, FakeWriteRules,
    ::testing::Values(
        WriteRuleCase{"RequestInFlight", false,
                      [](FakeBluez& fake, sdbus::IProxy& characteristic, auto& keep) {
                          fake.setWriteReplyDelay(std::chrono::milliseconds(300));
                          const auto before = fake.writes().size();
                          keep.push_back(std::make_shared<sdbus::PendingAsyncCall>(
                              sendWrite(characteristic, Bytes{4}, [](const sdbus::Error*) {})));
                          ASSERT_TRUE(eventually([&] { return fake.writes().size() > before; }));
                      },
                      3, "org.bluez.Error.InProgress"},
        WriteRuleCase{"FailureSetUp", false,
                      [](FakeBluez& fake, sdbus::IProxy&, auto&) { fake.failWriteValue(1); }, 3,
                      "org.bluez.Error.Failed"},
        WriteRuleCase{"LinkDropped", false,
                      [](FakeBluez& fake, sdbus::IProxy&, auto&) { fake.dropConnection(); }, 3,
                      "org.bluez.Error.Failed"},
        WriteRuleCase{"WriteAcquired", true,
                      [](FakeBluez&, sdbus::IProxy& characteristic, auto& keep) {
                          sdbus::UnixFd fd;
                          std::uint16_t mtu = 0;
                          characteristic.callMethod("AcquireWrite")
                              .onInterface(GATT_CHARACTERISTIC)
                              .withArguments(DbusProps{})
                              .storeResultsTo(fd, mtu);
                          keep.push_back(std::make_shared<sdbus::UnixFd>(std::move(fd)));
                      },
                      3, "org.bluez.Error.NotPermitted"},
        WriteRuleCase{"LongerThanOnePayload", false,
                      [](FakeBluez&, sdbus::IProxy&, auto&) {}, 21,
                      "org.bluez.Error.InvalidValueLength"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvex::bluez_test
