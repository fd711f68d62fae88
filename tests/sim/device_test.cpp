// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include "SimRecorder.hpp"

// Device-backed peripherals: advertising, connection and GATT discovery answered by the
// platform after the configured delays, writes and notifications between the central and
// the device, and the ends of a connection.

namespace orvex::sim {
namespace {

using testing::hex;
using testing::Log;
using testing::RecordingDelegate;
using Lines = std::vector<std::string>;

const Uuid kService{"FFE0"};
const Uuid kChar{"FFE1"};
const Uuid kOther{"FFE2"};

// Echoes every write back as a notification after 0.5 seconds of the platform's clock.
class EchoDevice : public SimDevice {
public:
    explicit EchoDevice(Log& log) : log_(log) {}
    std::shared_ptr<SimDeviceContext> context;

    void attached(std::shared_ptr<SimDeviceContext> c) override { context = std::move(c); }
    void onConnect() override { log_.add("device connected"); }
    void onNotifyChanged(const Uuid& c, bool enabled) override {
        log_.add("device notify " + c.str() + (enabled ? " on" : " off"));
    }
    void onWrite(const Bytes& bytes, const Uuid& c, WriteType) override {
        log_.add("device got " + hex(bytes) + " on " + c.str() + " at " +
                 std::to_string(context->now()));
        context->schedule(0.5, [ctx = context, bytes] { ctx->notify(kChar, bytes); });
    }
    void onDisconnect() override { log_.add("device disconnected"); }

private:
    Log& log_;
};

struct DeviceBacked : ::testing::Test {
    SimPlatform sim;
    Log log;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>(log);
    std::shared_ptr<EchoDevice> device = std::make_shared<EchoDevice>(log);
    std::shared_ptr<platform::CentralManager> central;
    std::shared_ptr<platform::Peripheral> peripheral;

    void SetUp() override {
        central = sim.createCentralManager(delegate);
        sim.runUntilIdle();
        log.take();
    }

    void add(DeviceTiming timing = {}) {
        peripheral = sim.addDevicePeripheral(std::string("KX-BT4 SIM"),
                                             {{kService, {kChar, kOther}}, {Uuid{"180A"}, {}}},
                                             device, timing);
        peripheral->setDelegate(delegate);
    }

    // Connects, discovers FFE0 and its characteristics and switches FFE1 on.
    void connectAndDiscover() {
        central->connect(peripheral);
        sim.runUntilIdle();
        peripheral->discoverServices({});
        sim.runUntilIdle();
        peripheral->discoverCharacteristics({}, delegate->services.front());
        sim.runUntilIdle();
        peripheral->setNotifyValue(true, delegate->characteristics.front());
        sim.runUntilIdle();
        log.take();
    }
};

TEST_F(DeviceBacked, AdvertisesToAScanningCentralAfterItsDelay) {
    add({.advertiseDelay = 0.3});
    auto nearby = sim.addPeripheral(std::nullopt, true);
    central->scanForPeripherals();
    sim.runUntilIdle();
    EXPECT_EQ(log.take(), (Lines{"didDiscover -"}));
    sim.advance(0.3);
    EXPECT_EQ(log.take(), (Lines{"didDiscover KX-BT4 SIM"}));
    sim.advance(10.0);  // once per scan
    EXPECT_EQ(log.take(), Lines{});
}

TEST_F(DeviceBacked, ANewcomerIsDiscoveredByAScanUnderWay) {
    central->scanForPeripherals();
    add();
    sim.runUntilIdle();
    EXPECT_EQ(log.take(), (Lines{"didDiscover KX-BT4 SIM"}));
}

TEST_F(DeviceBacked, StoppedAdvertisingIsNotDiscovered) {
    add({.advertiseDelay = 1.0});
    device->context->setAdvertising(false);
    central->scanForPeripherals();
    sim.advance(2.0);
    EXPECT_EQ(log.take(), Lines{});
    device->context->setAdvertising(true);
    sim.advance(1.0);
    EXPECT_EQ(log.take(), (Lines{"didDiscover KX-BT4 SIM"}));
}

TEST_F(DeviceBacked, ConnectsAndDiscoversByItselfAfterItsDelays) {
    add({.connectDelay = 1.0, .discoveryDelay = 0.25});
    central->connect(peripheral);
    sim.advance(0.9);
    EXPECT_EQ(log.take(), Lines{});
    sim.advance(0.1);
    EXPECT_EQ(log.take(), (Lines{"device connected", "didConnect KX-BT4 SIM"}));
    peripheral->discoverServices({kService, Uuid{"49535343-FE7D-4AE5-8FA9-9FAFD205E455"}});
    sim.advance(0.25);
    peripheral->discoverCharacteristics({kChar}, delegate->services.at(0));
    sim.advance(0.25);
    peripheral->discoverServices({});
    sim.advance(0.25);
    EXPECT_EQ(log.take(),
              (Lines{"services FFE0", "characteristics FFE0: FFE1", "services FFE0 180A"}));
}

TEST_F(DeviceBacked, WritesReachTheDeviceInOrderAndItsNotificationsComeBack) {
    add();
    connectAndDiscover();
    auto c = delegate->characteristics.front();
    peripheral->writeValue({0x01}, c, WriteType::withoutResponse);
    peripheral->writeValue({0x02, 0x03}, c, WriteType::withResponse);
    sim.runUntilIdle();
    EXPECT_EQ(log.take(),
              (Lines{"device got 01 on FFE1 at 0.000000", "device got 02 03 on FFE1 at 0.000000"}));
    sim.advance(0.5);
    EXPECT_EQ(log.take(), (Lines{"value FFE1 01", "value FFE1 02 03"}));
    EXPECT_EQ(delegate->valueSources.front(), c);  // the object the link discovered
}

TEST_F(DeviceBacked, NotificationsReachTheCentralOnlyWhenSwitchedOn) {
    add();
    central->connect(peripheral);
    sim.runUntilIdle();
    device->context->notify(kChar, {0x80});  // not switched on: dropped
    sim.runUntilIdle();
    EXPECT_FALSE(device->context->isNotifying(kChar));
    log.take();
    peripheral->discoverServices({});
    sim.runUntilIdle();
    peripheral->discoverCharacteristics({}, delegate->services.front());
    sim.runUntilIdle();
    peripheral->setNotifyValue(true, delegate->characteristics.at(0));
    sim.runUntilIdle();
    EXPECT_TRUE(device->context->isNotifying(kChar));
    device->context->notify(kChar, {0x80});
    device->context->notify(kOther, {0x81});  // FFE2 is not switched on
    sim.runUntilIdle();
    EXPECT_EQ(log.take(), (Lines{"services FFE0 180A", "characteristics FFE0: FFE1 FFE2",
                                 "device notify FFE1 on", "value FFE1 80"}));
}

TEST_F(DeviceBacked, CancelledConnectionIsReportedDown) {
    add();
    connectAndDiscover();
    central->cancelPeripheralConnection(peripheral);
    sim.runUntilIdle();
    EXPECT_EQ(log.take(), (Lines{"device disconnected", "didDisconnect KX-BT4 SIM"}));
    EXPECT_FALSE(device->context->isConnected());
    EXPECT_FALSE(device->context->isNotifying(kChar));
    device->context->notify(kChar, {0x80});  // no longer connected: dropped
    sim.runUntilIdle();
    EXPECT_EQ(log.take(), Lines{});
}

TEST_F(DeviceBacked, CancelWhileConnectingEndsTheAttempt) {
    add({.connectDelay = 1.0});
    central->connect(peripheral);
    sim.advance(0.5);
    central->cancelPeripheralConnection(peripheral);
    sim.advance(5.0);
    EXPECT_EQ(log.take(), (Lines{"didDisconnect KX-BT4 SIM"}));
}

TEST_F(DeviceBacked, DeviceDropsTheConnection) {
    add();
    connectAndDiscover();
    device->context->disconnect();
    device->context->disconnect();  // already down: nothing more
    sim.runUntilIdle();
    EXPECT_EQ(log.take(), (Lines{"device disconnected", "didDisconnect KX-BT4 SIM"}));
    // Not connected any more, so it advertises again to a new scan.
    central->scanForPeripherals();
    sim.runUntilIdle();
    EXPECT_EQ(log.take(), (Lines{"didDiscover KX-BT4 SIM"}));
}

TEST_F(DeviceBacked, RadioOffDropsTheConnectionAndRefusesNewOnes) {
    add();
    connectAndDiscover();
    sim.setAdapterState(ManagerState::poweredOff);
    sim.runUntilIdle();
    EXPECT_EQ(log.take(), (Lines{"state 4", "device disconnected"}));
    central->connect(peripheral);
    sim.runUntilIdle();
    EXPECT_EQ(log.take(), (Lines{"didFailToConnect KX-BT4 SIM"}));
}

TEST_F(DeviceBacked, DeviceTimersRunOnTheVirtualClock) {
    add();
    double firedAt = -1;
    auto t = device->context->schedule(2.5, [&] { firedAt = device->context->now(); });
    device->context->post([&] { log.add("posted"); });
    sim.advance(3.0);
    EXPECT_EQ(firedAt, 2.5);
    EXPECT_EQ(log.take(), (Lines{"posted"}));
}

TEST_F(DeviceBacked, ContextOutlivingThePlatformIsHarmless) {
    add();
    auto context = device->context;
    sim.shutdown();
    context->notify(kChar, {1});
    context->disconnect();
    context->setAdvertising(false);
    EXPECT_FALSE(context->isConnected());
    auto t = context->schedule(1.0, [] {});
    t->invalidate();
}

}  // namespace
}  // namespace orvex::sim
