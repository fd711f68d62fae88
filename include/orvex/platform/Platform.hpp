// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orvex/platform/Uuid.hpp"
#include "orvex/Export.hpp"

/// @file
/// The platform seam: the narrow set of Bluetooth, timer, executor and resource operations
/// the reader link uses.
///
/// A backend (the simulator, BlueZ, or a host's own) implements these interfaces and is
/// handed to ReaderInterface::usePlatform().
///
/// Contract for every backend:
/// - Every callback of a central manager and of its peripherals, and every timer action,
///   is delivered on Platform::linkQueue(), one at a time, in the order the events
///   happened.
/// - Operations may be called from Platform::linkQueue() and must never block it.
/// - Delegates are held weakly: a callback whose delegate is gone is dropped.

/// The platform seam: what a Bluetooth backend implements for the link.
namespace orvex::platform {

/// A byte buffer, as written to and notified from a characteristic.
using Bytes = std::vector<std::uint8_t>;

/// Adapter state; the values are the raw values 0 to 5.
enum class ManagerState : int {
    unknown = 0,       ///< Not determined yet.
    resetting = 1,     ///< The adapter is resetting.
    unsupported = 2,   ///< No usable Bluetooth LE on this system.
    unauthorized = 3,  ///< The process may not use the adapter.
    poweredOff = 4,    ///< The adapter is off.
    poweredOn = 5,     ///< The adapter is on and usable.
};

/// How a value is written to a characteristic.
enum class WriteType {
    withResponse,     ///< The device acknowledges each write (the link awaits nothing).
    withoutResponse,  ///< Write command, unacknowledged.
};

/// A GATT characteristic of a peripheral. Compared by identity (the same object for the
/// same characteristic of one connection).
class ORVEX_EXPORT Characteristic {
public:
    virtual ~Characteristic() = default;
    /// The characteristic's UUID.
    virtual Uuid uuid() const = 0;
};

/// A GATT service of a peripheral.
class ORVEX_EXPORT Service {
public:
    virtual ~Service() = default;
    /// The service's UUID.
    virtual Uuid uuid() const = 0;
};

class Peripheral;

/// Services in the order the peripheral offers them.
using ServiceList = std::vector<std::shared_ptr<Service>>;
/// Characteristics in the order the service offers them.
using CharacteristicList = std::vector<std::shared_ptr<Characteristic>>;

/// Receives a peripheral's discovery results and notifications, on Platform::linkQueue().
class ORVEX_EXPORT PeripheralDelegate {
public:
    virtual ~PeripheralDelegate() = default;
    /// The answer to Peripheral::discoverServices().
    /// @param peripheral the peripheral asked.
    /// @param services the services found, in order; absent when discovery finished
    ///        without a list.
    /// @param error true when discovery failed.
    virtual void didDiscoverServices(const std::shared_ptr<Peripheral>& peripheral,
                                     const std::optional<ServiceList>& services, bool error) = 0;
    /// The answer to Peripheral::discoverCharacteristics(), once per service asked.
    /// @param peripheral the peripheral asked.
    /// @param service the service whose characteristics these are.
    /// @param characteristics the characteristics found, in order; absent when discovery
    ///        finished without a list.
    /// @param error true when discovery failed.
    virtual void didDiscoverCharacteristics(const std::shared_ptr<Peripheral>& peripheral,
                                            const std::shared_ptr<Service>& service,
                                            const std::optional<CharacteristicList>& characteristics,
                                            bool error) = 0;
    /// One notification of a characteristic whose notifications are on, in arrival order.
    /// @param peripheral the notifying peripheral.
    /// @param characteristic the characteristic notified.
    /// @param value the notified bytes.
    virtual void didUpdateValue(const std::shared_ptr<Peripheral>& peripheral,
                                const std::shared_ptr<Characteristic>& characteristic,
                                const Bytes& value) = 0;
};

/// A Bluetooth LE device seen by a central manager. Compared by identity (the same object
/// for the same device).
class ORVEX_EXPORT Peripheral {
public:
    virtual ~Peripheral() = default;
    /// The advertised name, absent when the peripheral has none.
    virtual std::optional<std::string> name() const = 0;
    /// A stable identifier of the peripheral, the same on every sighting and connection:
    /// its Bluetooth address ("AA:BB:CC:DD:EE:FF") on BlueZ, a made-up address on the
    /// simulator. Empty when the backend has none; such a peripheral is never picked by a
    /// link restricted to an address (ReaderInterface::setReaderAddress()).
    virtual std::string identifier() const { return {}; }
    /// The signal strength of the latest sighting, in dBm; absent when the backend does
    /// not know it.
    virtual std::optional<int> rssi() const { return std::nullopt; }
    /// Where discovery results and notifications go (held weakly).
    /// @param delegate the receiver.
    virtual void setDelegate(std::weak_ptr<PeripheralDelegate> delegate) = 0;
    /// Discovers the peripheral's services; PeripheralDelegate::didDiscoverServices()
    /// answers. Only while connected.
    /// @param services the services looked for (a backend may report others too).
    virtual void discoverServices(const std::vector<Uuid>& services) = 0;
    /// Discovers the characteristics of one service;
    /// PeripheralDelegate::didDiscoverCharacteristics() answers.
    /// @param characteristics the characteristics looked for (a backend may report others
    ///        too).
    /// @param service a service from the last didDiscoverServices().
    virtual void discoverCharacteristics(const std::vector<Uuid>& characteristics,
                                         const std::shared_ptr<Service>& service) = 0;
    /// Switches notifications of a characteristic on or off; while on, each notification
    /// reaches PeripheralDelegate::didUpdateValue().
    /// @param enabled on or off.
    /// @param characteristic the characteristic.
    virtual void setNotifyValue(bool enabled, const std::shared_ptr<Characteristic>& characteristic) = 0;
    /// Writes a value. Nothing is awaited; writes to one characteristic reach the device in
    /// call order.
    /// @param data the bytes to write.
    /// @param characteristic the characteristic written to.
    /// @param type with or without response.
    virtual void writeValue(const Bytes& data, const std::shared_ptr<Characteristic>& characteristic,
                            WriteType type) = 0;
};

/// Receives a central manager's adapter state and connection events, on
/// Platform::linkQueue().
class ORVEX_EXPORT CentralManagerDelegate {
public:
    virtual ~CentralManagerDelegate() = default;
    /// The adapter's state: once soon after the manager's creation, then on every change.
    /// @param state the new state.
    virtual void centralManagerDidUpdateState(ManagerState state) = 0;
    /// A peripheral seen during a scan (once per scan).
    /// @param peripheral the peripheral.
    virtual void didDiscover(const std::shared_ptr<Peripheral>& peripheral) = 0;
    /// A connection asked for with CentralManager::connect() is made.
    /// @param peripheral the connected peripheral.
    virtual void didConnect(const std::shared_ptr<Peripheral>& peripheral) = 0;
    /// A connection asked for with CentralManager::connect() could not be made.
    /// @param peripheral the peripheral.
    virtual void didFailToConnect(const std::shared_ptr<Peripheral>& peripheral) = 0;
    /// A connection ended, or one being made was cancelled, whoever ended it.
    /// @param peripheral the peripheral.
    virtual void didDisconnect(const std::shared_ptr<Peripheral>& peripheral) = 0;
};

/// The central role on one adapter: scanning and connections.
class ORVEX_EXPORT CentralManager {
public:
    virtual ~CentralManager() = default;
    /// The adapter's state as last reported.
    virtual ManagerState state() const = 0;
    /// Scans for peripherals of any service; each peripheral is reported once per scan
    /// through CentralManagerDelegate::didDiscover().
    virtual void scanForPeripherals() = 0;
    /// Whether a scan is under way.
    virtual bool isScanning() const = 0;
    /// Ends the scan (nothing when none is under way).
    virtual void stopScan() = 0;
    /// Connects to a peripheral; didConnect() or didFailToConnect() answers.
    /// @param peripheral a peripheral from didDiscover().
    virtual void connect(const std::shared_ptr<Peripheral>& peripheral) = 0;
    /// Ends a connection; a later didDisconnect() reports the end (also for a connection
    /// still being made).
    /// @param peripheral the peripheral.
    virtual void cancelPeripheralConnection(const std::shared_ptr<Peripheral>& peripheral) = 0;
};

/// A serial executor.
class ORVEX_EXPORT Executor {
public:
    virtual ~Executor() = default;
    /// Runs `block` later, after every block posted before it; never inside the call.
    /// Callable from any thread.
    /// @param block the work.
    virtual void post(std::function<void()> block) = 0;
};

/// A scheduled action, from Platform::scheduleTimer().
class ORVEX_EXPORT Timer {
public:
    virtual ~Timer() = default;
    /// The timer fires no more. Safe to call from the timer's own action and more than once.
    virtual void invalidate() = 0;
};

/// A backend: the factory of central managers, the link's executors, timers, the clock
/// and the micro-app image resource. See the file's contract above.
class ORVEX_EXPORT Platform {
public:
    virtual ~Platform() = default;

    /// Creates a central manager that reports its state once soon after creation (on
    /// linkQueue()) and again on every change.
    /// @param delegate the receiver of its events (held weakly).
    virtual std::shared_ptr<CentralManager> createCentralManager(
        std::weak_ptr<CentralManagerDelegate> delegate) = 0;

    /// The serial context of the link: platform callbacks and timer actions run here, and
    /// the link posts every public operation here.
    virtual Executor& linkQueue() = 0;
    /// Where the host's contact-write completions are delivered.
    virtual Executor& mainExecutor() = 0;

    /// A one-shot or repeating timer whose action runs on linkQueue(). A repeating timer of
    /// interval I armed at T fires at T+I, T+2I, ...
    /// @param seconds the delay, and the interval of a repeating timer.
    /// @param repeats whether it fires again and again until invalidated.
    /// @param action what it runs.
    virtual std::shared_ptr<Timer> scheduleTimer(double seconds, bool repeats,
                                                 std::function<void()> action) = 0;

    /// Current time in seconds (wall clock since the Unix epoch on real backends).
    virtual double now() const = 0;

    /// The micro-app image that the integrator supplied, or nothing. Never made up.
    virtual std::optional<Bytes> microAppImage() = 0;

    /// Told of each operation a host asks of a link on this platform, on linkQueue(), at
    /// the moment the link takes it up: `operation` is the ReaderInterface function's name
    /// ("connectToReader", "writeContact", "setReaderAddress", ...) and `arguments` its
    /// text arguments in order. For recorders (orvex/record/Recorder.hpp); the default does
    /// nothing. A platform that forwards to another should forward this too.
    virtual void hostOperation(std::string_view operation,
                               const std::vector<std::string>& arguments) {
        (void)operation;
        (void)arguments;
    }
};

}  // namespace orvex::platform
