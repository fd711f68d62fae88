// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include "SimRecorder.hpp"

// The central manager and script-driven peripherals: state reports, scanning and
// discovery, and the driver's connection, discovery, notification and disconnection.

namespace orvex::sim {
namespace {

using testing::Log;
using testing::RecordingDelegate;
using testing::RecordingObserver;
using Lines = std::vector<std::string>;

struct ScriptDriven : ::testing::Test {
    SimPlatform sim;
    Log log;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>(log);
    std::shared_ptr<platform::CentralManager> central;

    void SetUp() override { sim.setObserver(std::make_shared<RecordingObserver>(log)); }

    void createCentral() {
        central = sim.createCentralManager(delegate);
        sim.runUntilIdle();
    }

    // Scans, discovers one named peripheral and connects to it.
    std::shared_ptr<platform::Peripheral> connectTo(const std::string& name) {
        createCentral();
        central->scanForPeripherals();
        auto p = sim.addPeripheral(name);
        sim.discover(p);
        sim.runUntilIdle();
        p->setDelegate(delegate);
        central->connect(p);
        sim.completeConnect(true);
        sim.runUntilIdle();
        log.take();
        return p;
    }
};

TEST_F(ScriptDriven, CentralReportsItsStateOnceCreatedAndAtEveryAdapterChange) {
    sim.setAdapterState(ManagerState::poweredOff);  // no central yet: only sets the state
    sim.runUntilIdle();
    EXPECT_EQ(log.take(), Lines{});
    central = sim.createCentralManager(delegate);
    EXPECT_EQ(central->state(), ManagerState::unknown);  // until the first report arrives
    sim.runUntilIdle();
    EXPECT_EQ(central->state(), ManagerState::poweredOff);
    sim.setAdapterState(ManagerState::poweredOn);
    sim.setAdapterState(ManagerState::poweredOn);  // reported again even when unchanged
    sim.runUntilIdle();
    EXPECT_EQ(log.take(), (Lines{"> create", "state 4", "state 5", "state 5"}));
    EXPECT_EQ(central->state(), ManagerState::poweredOn);
}

TEST_F(ScriptDriven, DiscoveryIsReportedOnlyWhileScanningAndOncePerScan) {
    createCentral();
    auto named = sim.addPeripheral(std::string("KX-BT4 0001"));
    auto unnamed = sim.addPeripheral(std::nullopt);
    sim.discover(named);  // not scanning yet
    sim.runUntilIdle();
    central->scanForPeripherals();
    EXPECT_TRUE(central->isScanning());
    EXPECT_TRUE(sim.isScanning());
    sim.discover(named);
    sim.discover(unnamed);
    sim.discover(named);  // already reported in this scan
    sim.runUntilIdle();
    central->stopScan();
    sim.discover(unnamed);
    sim.runUntilIdle();
    central->scanForPeripherals();  // a new scan reports it again
    sim.discover(named);
    sim.runUntilIdle();
    EXPECT_EQ(log.take(),
              (Lines{"> create", "state 5", "> scan", "didDiscover KX-BT4 0001", "didDiscover -",
                     "> stopScan", "> scan", "didDiscover KX-BT4 0001"}));
    EXPECT_EQ(delegate->discovered.front(), named);
}

TEST_F(ScriptDriven, AdapterLeavingPoweredOnEndsTheScanAndARadioOffDoesNotScan) {
    createCentral();
    central->scanForPeripherals();
    sim.setAdapterState(ManagerState::resetting);
    sim.runUntilIdle();
    EXPECT_FALSE(central->isScanning());
    central->scanForPeripherals();  // seen by the observer, ignored by the radio
    sim.discover(sim.addPeripheral(std::string("X")));
    sim.runUntilIdle();
    EXPECT_FALSE(central->isScanning());
    EXPECT_EQ(log.take(), (Lines{"> create", "state 5", "> scan", "state 1", "> scan"}));
}

TEST_F(ScriptDriven, ConnectionOutcomeGoesToTheLastConnectRequest) {
    createCentral();
    sim.completeConnect(true);  // nothing asked yet: nothing happens
    sim.runUntilIdle();
    auto first = sim.addPeripheral(std::string("first"));
    auto second = sim.addPeripheral(std::string("second"));
    central->connect(first);
    central->connect(second);
    sim.completeConnect(false);
    sim.runUntilIdle();
    central->connect(first);
    sim.completeConnect(true);
    sim.runUntilIdle();
    EXPECT_EQ(log.take(),
              (Lines{"> create", "state 5", "> connect first", "> connect second",
                     "didFailToConnect second", "> connect first", "didConnect first"}));
}

TEST_F(ScriptDriven, CancelOfAScriptDrivenPeripheralWaitsForTheDriver) {
    auto p = connectTo("KX");
    central->cancelPeripheralConnection(p);
    sim.runUntilIdle();
    EXPECT_EQ(log.take(), (Lines{"> cancel KX"}));
    sim.reportDisconnected();
    sim.runUntilIdle();
    EXPECT_EQ(log.take(), (Lines{"didDisconnect KX"}));
}

TEST_F(ScriptDriven, DiscoveryResultsListAbsentAndError) {
    auto p = connectTo("KX");
    const Uuid ffe0{"FFE0"};
    const Uuid uart{"49535343-FE7D-4AE5-8FA9-9FAFD205E455"};
    p->discoverServices({ffe0, uart});
    sim.reportServices(std::vector<Uuid>{uart, ffe0});
    sim.reportServices(std::nullopt);
    sim.reportServices(std::vector<Uuid>{ffe0}, true);  // an error comes with an empty list
    sim.reportServices(std::vector<Uuid>{});
    sim.runUntilIdle();
    p->discoverCharacteristics({Uuid{"FFE1"}}, delegate->services.front());
    sim.reportCharacteristics(uart, std::vector<Uuid>{Uuid{"FFE1"}, Uuid{"FFE2"}});
    sim.reportCharacteristics(ffe0, std::nullopt);
    sim.reportCharacteristics(ffe0, std::nullopt, true);
    sim.runUntilIdle();
    EXPECT_EQ(log.take(),
              (Lines{"> discoverServices FFE0 49535343-FE7D-4AE5-8FA9-9FAFD205E455",
                     "services 49535343-FE7D-4AE5-8FA9-9FAFD205E455 FFE0", "services none",
                     "services error", "services",
                     "> discoverCharacteristics 49535343-FE7D-4AE5-8FA9-9FAFD205E455: FFE1",
                     "characteristics 49535343-FE7D-4AE5-8FA9-9FAFD205E455: FFE1 FFE2",
                     "characteristics FFE0: none", "characteristics FFE0: error"}));
}

TEST_F(ScriptDriven, ObjectsKeepTheirIdentityAcrossReports) {
    auto p = connectTo("KX");
    sim.reportServices(std::vector<Uuid>{Uuid{"FFE0"}});
    sim.reportServices(std::vector<Uuid>{Uuid{"FFE0"}});
    sim.reportCharacteristics(Uuid{"FFE0"}, std::vector<Uuid>{Uuid{"FFE1"}});
    sim.runUntilIdle();
    ASSERT_EQ(delegate->services.size(), 2u);
    EXPECT_EQ(delegate->services[0], delegate->services[1]);
    ASSERT_EQ(delegate->characteristics.size(), 1u);
    sim.notify(Uuid{"FFE1"}, {0x80});
    sim.runUntilIdle();
    ASSERT_EQ(delegate->valueSources.size(), 1u);
    EXPECT_EQ(delegate->valueSources[0], delegate->characteristics[0]);
}

TEST_F(ScriptDriven, NotificationsComeFromTheCharacteristicLastSwitchedOn) {
    auto p = connectTo("KX");
    sim.notify({0x01});  // nothing switched on yet: dropped
    sim.reportCharacteristics(Uuid{"FFE0"}, std::vector<Uuid>{Uuid{"FFE1"}, Uuid{"FFE2"}});
    sim.runUntilIdle();
    p->setNotifyValue(true, delegate->characteristics[1]);
    p->setNotifyValue(true, delegate->characteristics[0]);
    p->setNotifyValue(false, delegate->characteristics[0]);  // "last switched on" stays FFE1
    sim.notify({0x80, 0xFE});
    sim.notify(Uuid{"FFE2"}, {0x02});
    sim.notify(Uuid{"FFE9"}, {0x03});  // unknown to the link: a characteristic of its own
    sim.runUntilIdle();
    EXPECT_EQ(log.take(),
              (Lines{"characteristics FFE0: FFE1 FFE2", "> notify on FFE2", "> notify on FFE1",
                     "> notify off FFE1", "value FFE1 80 FE", "value FFE2 02", "value FFE9 03"}));
}

TEST_F(ScriptDriven, WritesAreObservedWithTheirType) {
    auto p = connectTo("KX");
    sim.reportCharacteristics(Uuid{"FFE0"}, std::vector<Uuid>{Uuid{"FFE1"}});
    sim.runUntilIdle();
    p->writeValue({0xFE, 0x00, 0xFE, 0x01}, delegate->characteristics[0],
                  WriteType::withoutResponse);
    p->writeValue({}, delegate->characteristics[0], WriteType::withResponse);
    EXPECT_EQ(log.take(),
              (Lines{"characteristics FFE0: FFE1", "> write FFE1 withoutResponse FE 00 FE 01",
                     "> write FFE1 withResponse "}));
}

TEST_F(ScriptDriven, DriverCallsBeforeAnyConnectDoNothing) {
    createCentral();
    sim.reportServices(std::vector<Uuid>{Uuid{"FFE0"}});
    sim.reportCharacteristics(Uuid{"FFE0"}, std::nullopt);
    sim.notify(Uuid{"FFE1"}, {1});
    sim.reportDisconnected();
    sim.runUntilIdle();
    EXPECT_EQ(log.take(), (Lines{"> create", "state 5"}));
}

TEST_F(ScriptDriven, MicroAppImageIsWhatTheDriverSet) {
    EXPECT_EQ(sim.microAppImage(), std::nullopt);
    sim.setMicroAppImage(Bytes{1, 2, 3});
    EXPECT_EQ(sim.microAppImage(), (Bytes{1, 2, 3}));
    sim.setMicroAppImage(std::nullopt);
    EXPECT_EQ(sim.microAppImage(), std::nullopt);
}

TEST_F(ScriptDriven, CallbacksStopWhenTheDelegateIsGone) {
    auto p = connectTo("KX");
    delegate.reset();
    sim.reportDisconnected();
    sim.setAdapterState(ManagerState::poweredOff);
    sim.runUntilIdle();
    EXPECT_EQ(log.take(), Lines{});
}

}  // namespace
}  // namespace orvex::sim
