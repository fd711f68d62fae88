// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orvex/platform/Uuid.hpp"

// The narrow set of Bluetooth, timer, executor and resource operations the reader link
// uses. A backend (the simulator, BlueZ, or a host's own) implements these interfaces.
//
// Contract for every backend:
// - Every callback of a central manager and of its peripherals, and every timer action,
//   is delivered on linkQueue(), one at a time, in the order the events happened.
// - Operations may be called from linkQueue() and must never block it.

namespace orvex::platform {

using Bytes = std::vector<std::uint8_t>;

// Adapter state; the values are the raw values 0 to 5.
enum class ManagerState : int {
    unknown = 0,
    resetting = 1,
    unsupported = 2,
    unauthorized = 3,
    poweredOff = 4,
    poweredOn = 5,
};

enum class WriteType { withResponse, withoutResponse };

class Characteristic {
public:
    virtual ~Characteristic() = default;
    virtual Uuid uuid() const = 0;
};

class Service {
public:
    virtual ~Service() = default;
    virtual Uuid uuid() const = 0;
};

class Peripheral;

using ServiceList = std::vector<std::shared_ptr<Service>>;
using CharacteristicList = std::vector<std::shared_ptr<Characteristic>>;

class PeripheralDelegate {
public:
    virtual ~PeripheralDelegate() = default;
    // `services` absent: discovery finished without a list. `error`: discovery failed.
    virtual void didDiscoverServices(const std::shared_ptr<Peripheral>& peripheral,
                                     const std::optional<ServiceList>& services, bool error) = 0;
    virtual void didDiscoverCharacteristics(const std::shared_ptr<Peripheral>& peripheral,
                                            const std::shared_ptr<Service>& service,
                                            const std::optional<CharacteristicList>& characteristics,
                                            bool error) = 0;
    // One notification of a characteristic, in arrival order.
    virtual void didUpdateValue(const std::shared_ptr<Peripheral>& peripheral,
                                const std::shared_ptr<Characteristic>& characteristic,
                                const Bytes& value) = 0;
};

class Peripheral {
public:
    virtual ~Peripheral() = default;
    // The advertised name, absent when the peripheral has none.
    virtual std::optional<std::string> name() const = 0;
    virtual void setDelegate(std::weak_ptr<PeripheralDelegate> delegate) = 0;
    virtual void discoverServices(const std::vector<Uuid>& services) = 0;
    virtual void discoverCharacteristics(const std::vector<Uuid>& characteristics,
                                         const std::shared_ptr<Service>& service) = 0;
    virtual void setNotifyValue(bool enabled, const std::shared_ptr<Characteristic>& characteristic) = 0;
    // Nothing is awaited; writes to one characteristic reach the device in call order.
    virtual void writeValue(const Bytes& data, const std::shared_ptr<Characteristic>& characteristic,
                            WriteType type) = 0;
};

class CentralManagerDelegate {
public:
    virtual ~CentralManagerDelegate() = default;
    virtual void centralManagerDidUpdateState(ManagerState state) = 0;
    virtual void didDiscover(const std::shared_ptr<Peripheral>& peripheral) = 0;
    virtual void didConnect(const std::shared_ptr<Peripheral>& peripheral) = 0;
    virtual void didFailToConnect(const std::shared_ptr<Peripheral>& peripheral) = 0;
    virtual void didDisconnect(const std::shared_ptr<Peripheral>& peripheral) = 0;
};

class CentralManager {
public:
    virtual ~CentralManager() = default;
    virtual ManagerState state() const = 0;
    // Scan for peripherals of any service; each peripheral is reported once per scan.
    virtual void scanForPeripherals() = 0;
    virtual bool isScanning() const = 0;
    virtual void stopScan() = 0;
    virtual void connect(const std::shared_ptr<Peripheral>& peripheral) = 0;
    // A later didDisconnect reports the end (also for a connection still being made).
    virtual void cancelPeripheralConnection(const std::shared_ptr<Peripheral>& peripheral) = 0;
};

class Executor {
public:
    virtual ~Executor() = default;
    // Runs `block` later, after every block posted before it.
    virtual void post(std::function<void()> block) = 0;
};

class Timer {
public:
    virtual ~Timer() = default;
    // The timer fires no more. Safe to call from the timer's own action and more than once.
    virtual void invalidate() = 0;
};

class Platform {
public:
    virtual ~Platform() = default;

    // Creates a central manager that reports its state once soon after creation (on
    // linkQueue()) and again on every change.
    virtual std::shared_ptr<CentralManager> createCentralManager(
        std::weak_ptr<CentralManagerDelegate> delegate) = 0;

    // The serial context of the link: platform callbacks and timer actions run here.
    virtual Executor& linkQueue() = 0;
    // Where the host's contact-write completions are delivered.
    virtual Executor& mainExecutor() = 0;

    // A one-shot or repeating timer whose action runs on linkQueue(). A repeating timer of
    // interval I armed at T fires at T+I, T+2I, ...
    virtual std::shared_ptr<Timer> scheduleTimer(double seconds, bool repeats,
                                                 std::function<void()> action) = 0;

    // Current time in seconds (wall clock since the Unix epoch on real backends).
    virtual double now() const = 0;

    // The micro-app image that the integrator supplied, or nothing. Never made up.
    virtual std::optional<Bytes> microAppImage() = 0;
};

}  // namespace orvex::platform
