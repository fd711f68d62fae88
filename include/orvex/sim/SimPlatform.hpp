// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orvex/platform/Platform.hpp"
#include "orvex/platform/Uuid.hpp"
#include "orvex/sim/Export.hpp"

/// @file
/// The simulated Bluetooth platform, sim::SimPlatform, and the interfaces of its devices.

/// The simulated platform and the simulated reader: a whole session with no hardware.
namespace orvex::sim {

class SimCore;  // internal

using platform::Bytes;
using platform::ManagerState;
using platform::Uuid;
using platform::WriteType;

/// How a SimPlatform keeps time.
enum class Clock {
    /// Starts at 0.0 and moves only in runUntilIdle()/advance(), on the caller's thread.
    /// Fully deterministic.
    virtualTime,
    /// The wall clock; the platform's own thread runs the loop.
    realTime,
};

/// Sees every request the link makes of the platform, in order, at the moment it is made
/// (on the thread that makes it, normally the run loop). It may call the driver functions
/// of SimPlatform; their effects come later, on the run loop.
class ORVEX_SIM_EXPORT SimObserver {
public:
    virtual ~SimObserver() = default;
    /// The link created a central manager.
    virtual void onCentralCreate() {}
    /// The link started a scan.
    virtual void onScanForPeripherals() {}
    /// The link stopped scanning.
    virtual void onStopScan() {}
    /// The link asked to connect to `peripheral`.
    /// @param peripheral the peripheral.
    virtual void onConnect(const std::shared_ptr<platform::Peripheral>& peripheral) {
        (void)peripheral;
    }
    /// The link asked to end the connection to `peripheral`.
    /// @param peripheral the peripheral.
    virtual void onCancelConnection(const std::shared_ptr<platform::Peripheral>& peripheral) {
        (void)peripheral;
    }
    /// The link asked for service discovery.
    /// @param peripheral the peripheral asked.
    /// @param services the services looked for.
    virtual void onDiscoverServices(const std::shared_ptr<platform::Peripheral>& peripheral,
                                    const std::vector<Uuid>& services) {
        (void)peripheral;
        (void)services;
    }
    /// The link asked for characteristic discovery of one service.
    /// @param peripheral the peripheral asked.
    /// @param service the service's UUID.
    /// @param characteristics the characteristics looked for.
    virtual void onDiscoverCharacteristics(const std::shared_ptr<platform::Peripheral>& peripheral,
                                           const Uuid& service,
                                           const std::vector<Uuid>& characteristics) {
        (void)peripheral;
        (void)service;
        (void)characteristics;
    }
    /// The link switched notifications of a characteristic on or off.
    /// @param peripheral the peripheral.
    /// @param enabled on or off.
    /// @param characteristic the characteristic's UUID.
    virtual void onSetNotifyValue(const std::shared_ptr<platform::Peripheral>& peripheral,
                                  bool enabled, const Uuid& characteristic) {
        (void)peripheral;
        (void)enabled;
        (void)characteristic;
    }
    /// The link wrote to a characteristic.
    /// @param peripheral the peripheral written to.
    /// @param bytes the bytes written.
    /// @param characteristic the characteristic's UUID.
    /// @param type with or without response.
    virtual void onWrite(const std::shared_ptr<platform::Peripheral>& peripheral,
                         const Bytes& bytes, const Uuid& characteristic, WriteType type) {
        (void)peripheral;
        (void)bytes;
        (void)characteristic;
        (void)type;
    }
};

/// The GATT layout a device-backed peripheral offers: its services, in order, each with
/// its characteristics, in order.
struct ORVEX_SIM_EXPORT GattService {
    Uuid uuid;                          ///< The service.
    std::vector<Uuid> characteristics;  ///< Its characteristics, in order.
};
/// The services of a device-backed peripheral, in order.
using GattLayout = std::vector<GattService>;

/// How long a device-backed peripheral takes to answer (seconds on the platform's clock;
/// zero means "on the next turn of the run loop").
struct ORVEX_SIM_EXPORT DeviceTiming {
    double connectDelay = 0.0;    ///< From connect() to didConnect.
    double discoveryDelay = 0.0;  ///< From a discovery request to its result.
    double advertiseDelay = 0.0;  ///< From the start of a scan (or of advertising) to didDiscover.
};

/// The device's handle on its peripheral and on the platform's clock, handed to
/// SimDevice::attached(). Every function may be called from any thread; effects on the
/// central side are queued on the run loop, in call order.
class ORVEX_SIM_EXPORT SimDeviceContext {
public:
    virtual ~SimDeviceContext() = default;

    /// Sends one notification of `characteristic`. It reaches the central only while the
    /// peripheral is connected and the central has notifications of that characteristic
    /// on (checked when it is delivered); otherwise it is dropped, as on the air.
    virtual void notify(const Uuid& characteristic, Bytes value) = 0;
    /// Ends the connection from the device's side (link loss, device switched off): the
    /// central gets didDisconnect and the device onDisconnect(). Nothing when not connected.
    virtual void disconnect() = 0;
    /// Whether the peripheral is advertising (initially true). While advertising and not
    /// connected, a scanning central discovers it.
    virtual void setAdvertising(bool advertising) = 0;

    /// Whether the central is connected to the peripheral.
    virtual bool isConnected() const = 0;
    /// Whether the central has notifications of `characteristic` on.
    /// @param characteristic the characteristic's UUID.
    virtual bool isNotifying(const Uuid& characteristic) const = 0;

    /// Runs `action` on the run loop after `seconds` on the platform's clock (virtual or
    /// real). The returned timer can be invalidated.
    virtual std::shared_ptr<platform::Timer> schedule(double seconds,
                                                      std::function<void()> action) = 0;
    /// Runs `action` on the run loop, after everything posted before it.
    virtual void post(std::function<void()> action) = 0;
    /// The platform's clock, in seconds.
    virtual double now() const = 0;
};

/// The far side of a device-backed peripheral (for example the simulated reader). Every
/// call is made on the run loop, one at a time.
class ORVEX_SIM_EXPORT SimDevice {
public:
    virtual ~SimDevice() = default;
    /// Called once, from addDevicePeripheral(), before anything else. The context does not
    /// keep the peripheral alive; keep it for as long as the device needs it.
    virtual void attached(std::shared_ptr<SimDeviceContext> context) = 0;
    /// The central connected.
    virtual void onConnect() {}
    /// The central switched notifications of a characteristic on or off.
    virtual void onNotifyChanged(const Uuid& characteristic, bool enabled) {
        (void)characteristic;
        (void)enabled;
    }
    /// One write of the central, in the order written.
    virtual void onWrite(const Bytes& bytes, const Uuid& characteristic, WriteType type) = 0;
    /// The connection ended, whoever ended it (central cancel, device disconnect, adapter
    /// off).
    virtual void onDisconnect() {}
};

/// A simulated Bluetooth platform: a central manager, peripherals, timers, a clock and a
/// run loop, with no hardware. Host developers build against it (hand it to
/// ReaderInterface::usePlatform()); the test suite and `orvex replay` drive it step by step
/// in virtual time.
///
/// One run loop serves as linkQueue() and mainExecutor(): every posted block, every timer
/// action, every central and peripheral callback and every SimDevice call runs there, one
/// at a time. In virtual time the loop runs on the thread that calls runUntilIdle(),
/// advance() or sync(); in real time on the platform's own thread.
///
/// Nothing happens on its own apart from timers: connections, discovery results,
/// notifications and disconnections of a peripheral come from whoever drives it, either
/// through the driver functions of SimPlatform (script-driven peripherals) or from a
/// SimDevice attached to the peripheral (device-backed peripherals, such as SimReader),
/// which answers connection and discovery by itself and talks through notifications.
class ORVEX_SIM_EXPORT SimPlatform : public platform::Platform {
public:
    /// A platform with the adapter powered on, no peripherals and no micro-app image.
    /// @param clock virtual time (deterministic, driven by the caller) or real time (a
    ///        thread of its own runs the loop).
    explicit SimPlatform(Clock clock = Clock::virtualTime);
    /// Calls shutdown().
    ~SimPlatform() override;
    /// Not copyable.
    SimPlatform(const SimPlatform&) = delete;
    /// Not copyable.
    SimPlatform& operator=(const SimPlatform&) = delete;

    // --- platform::Platform
    /// A simulated central manager; it reports the adapter state (see setAdapterState())
    /// soon after creation, on the run loop.
    std::shared_ptr<platform::CentralManager> createCentralManager(
        std::weak_ptr<platform::CentralManagerDelegate> delegate) override;
    platform::Executor& linkQueue() override;
    platform::Executor& mainExecutor() override;
    std::shared_ptr<platform::Timer> scheduleTimer(double seconds, bool repeats,
                                                   std::function<void()> action) override;
    /// Virtual time: seconds since the start (0.0). Real time: seconds since the Unix epoch.
    double now() const override;
    std::optional<Bytes> microAppImage() override;

    // --- run loop
    /// The clock chosen at construction.
    Clock clock() const;
    /// Virtual time: runs everything due now: posted blocks in the order posted, and the
    /// timers whose time has come (a block posted by a timer action runs before the next
    /// timer). Returns when nothing is left to do now. Does nothing when called from inside
    /// the loop, or in real time.
    void runUntilIdle();
    /// Virtual time: moves the clock forward by `seconds`, firing due timers in time order,
    /// each at its own firing time, and running what they post. Timers due at the same
    /// moment fire in the order they were scheduled. Ends with runUntilIdle() at the new time.
    void advance(double seconds);
    /// Runs `block` on the loop and returns once it has run: in real time it waits for the
    /// loop thread (never call it from the loop), in virtual time it runs everything due.
    void sync(std::function<void()> block);
    /// Stops the loop (and its thread, in real time) and drops everything pending. Later
    /// posts and timers are ignored. Called by the destructor; safe to call twice.
    void shutdown();

    // --- driver: what the link sees happen. Callable from any thread; each effect takes
    // place on the run loop, in call order (virtual time: at the next runUntilIdle()).

    /// The observer of the link's requests (one at a time; nullptr removes it).
    void setObserver(std::shared_ptr<SimObserver> observer);

    /// Sets the adapter state (initially poweredOn) and reports it to every central manager,
    /// also when it is unchanged. Leaving poweredOn ends every scan and drops the
    /// connections of device-backed peripherals (the device is told, the central is not).
    void setAdapterState(ManagerState state);
    /// The adapter state last set (effective or still queued).
    ManagerState adapterState() const;

    /// A script-driven peripheral with this advertised name (or none). It answers nothing on
    /// its own. With `advertises`, a scanning central discovers it by itself.
    ///
    /// `address` is the peripheral's identifier() ("AA:BB:CC:DD:EE:FF" form). When empty, one
    /// is made up from the name: the same name gives the same address on every run, and a
    /// peripheral whose made-up address is taken on this platform gets the next free one.
    std::shared_ptr<platform::Peripheral> addPeripheral(std::optional<std::string> name,
                                                        bool advertises = false,
                                                        std::string address = {});
    /// A peripheral whose far side is `device`. It advertises (see SimDeviceContext), and
    /// answers connect and GATT discovery from `layout` after the delays of `timing`. After
    /// a cancelled connection it reports the disconnection, as a real stack does. `address`
    /// as for addPeripheral(). Several device-backed peripherals may live on one platform,
    /// each connected to by its own central manager.
    std::shared_ptr<platform::Peripheral> addDevicePeripheral(std::optional<std::string> name,
                                                              GattLayout layout,
                                                              std::shared_ptr<SimDevice> device,
                                                              DeviceTiming timing = {},
                                                              std::string address = {});

    /// Every scanning central manager discovers `peripheral` (once per scan); nothing
    /// happens while none is scanning.
    void discover(const std::shared_ptr<platform::Peripheral>& peripheral);
    /// Whether any central manager is scanning.
    bool isScanning() const;

    // The following act on the peripheral of the last connect() (the link's peripheral)
    // and do nothing before the first connect(). Each takes effect on the run loop.

    /// On the link's peripheral: the connection last asked for succeeds (didConnect) or fails
    /// (didFailToConnect).
    void completeConnect(bool ok);
    /// On the link's peripheral: the service discovery result: these services in this order, or an
    /// absent list. With `error` the result is a failure with an empty list.
    void reportServices(std::optional<std::vector<Uuid>> services, bool error = false);
    /// On the link's peripheral: the characteristic discovery result for the service with
    /// that UUID, as reportServices() does.
    void reportCharacteristics(const Uuid& service,
                               std::optional<std::vector<Uuid>> characteristics,
                               bool error = false);
    /// On the link's peripheral: a notification of the characteristic whose notifications
    /// the link switched on last (nothing when it has switched none on).
    void notify(const Bytes& value);
    /// As notify(const Bytes&), taking the bytes over instead of copying them.
    void notify(Bytes&& value);
    /// On the link's peripheral: a notification of the characteristic with that UUID.
    void notify(const Uuid& characteristic, const Bytes& value);
    /// As notify(const Uuid&, const Bytes&), taking the bytes over instead of copying them.
    void notify(const Uuid& characteristic, Bytes&& value);
    /// On the link's peripheral: it disconnected (didDisconnect).
    void reportDisconnected();

    /// The micro-app image resource (initially absent).
    void setMicroAppImage(std::optional<Bytes> image);

private:
    std::shared_ptr<SimCore> core_;
};

}  // namespace orvex::sim
