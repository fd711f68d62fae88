// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "orvex/platform/Platform.hpp"
#include "orvex/sim/SimPlatform.hpp"
#include "platform/sim/RunLoop.hpp"

// The insides of the simulated platform. All mutable state of centrals and peripherals is
// guarded by SimCore::m; nothing calls out (delegates, observer, device) while holding it.
// Callbacks to the link and to devices are made from blocks on the run loop.

namespace orvex::sim {

class SimCentral;
class SimPeripheral;

class SimGattService : public platform::Service {
public:
    explicit SimGattService(Uuid uuid) : uuid_(uuid) {}
    Uuid uuid() const override { return uuid_; }

private:
    const Uuid uuid_;
};

class SimGattCharacteristic : public platform::Characteristic {
public:
    SimGattCharacteristic(Uuid service, Uuid uuid) : service_(service), uuid_(uuid) {}
    Uuid uuid() const override { return uuid_; }
    const Uuid& service() const { return service_; }

private:
    const Uuid service_;
    const Uuid uuid_;
};

// A timer that never fires (handed out once the platform is gone).
class InertTimer : public platform::Timer {
public:
    void invalidate() override {}
};

class SimCore : public std::enable_shared_from_this<SimCore> {
public:
    explicit SimCore(Clock clock) : loop(clock) {}

    // Runs `block` after `seconds` (posted when zero). Returns the timer, if one was made.
    std::shared_ptr<platform::Timer> after(double seconds, Task block);
    std::shared_ptr<SimObserver> observer() const;
    // Calls `f(observer)` when one is set.
    template <class F>
    void observe(F&& f) const {
        if (auto o = observer()) f(*o);
    }

    // Loop side.
    void reportAdapterState(ManagerState state);
    // The connection of `p` ended. The central hears of it when `tellCentral`; for a
    // device-backed peripheral only when it was connected or connecting, and its device
    // only when it was connected.
    void endConnection(const std::shared_ptr<SimPeripheral>& p, bool tellCentral);
    std::vector<std::shared_ptr<SimCentral>> liveCentrals();
    // The peripheral of the last connect().
    std::shared_ptr<SimPeripheral> currentPeripheral() const;
    // `wanted`, or when empty an address made up from `name` that no peripheral has yet
    // (under m).
    std::string addressLocked(const std::string& wanted, const std::optional<std::string>& name) const;

    void shutdown();

    RunLoop loop;

    mutable std::mutex m;
    // Guarded by m.
    ManagerState adapter = ManagerState::poweredOn;
    std::vector<std::weak_ptr<SimCentral>> centrals;
    std::vector<std::shared_ptr<SimPeripheral>> peripherals;
    std::shared_ptr<SimPeripheral> lastConnected;
    std::optional<Bytes> image;
    std::shared_ptr<SimObserver> observer_;
};

class SimCentral : public platform::CentralManager,
                   public std::enable_shared_from_this<SimCentral> {
public:
    SimCentral(std::weak_ptr<SimCore> core,
               std::weak_ptr<platform::CentralManagerDelegate> delegate)
        : core_(std::move(core)), delegate_(std::move(delegate)) {}

    ManagerState state() const override;
    void scanForPeripherals() override;
    bool isScanning() const override;
    void stopScan() override;
    void connect(const std::shared_ptr<platform::Peripheral>& peripheral) override;
    void cancelPeripheralConnection(
        const std::shared_ptr<platform::Peripheral>& peripheral) override;

    // Loop side: calls to the delegate.
    void deliverState(ManagerState state);
    // Reported once per scan, only while scanning (and, for an advertiser, while it
    // advertises and is not connected).
    void deliverDiscovery(const std::shared_ptr<SimPeripheral>& p, bool asAdvertiser);
    void deliverConnect(const std::shared_ptr<SimPeripheral>& p, bool ok);
    void deliverDisconnect(const std::shared_ptr<SimPeripheral>& p);
    // Schedules the discovery of `p` by this central, after its advertising delay.
    void scheduleAdvertisement(const std::shared_ptr<SimPeripheral>& p);

    // Guarded by SimCore::m.
    ManagerState reported = ManagerState::unknown;
    bool scanning = false;
    std::set<const SimPeripheral*> seen;  // reported during the current scan

private:
    std::shared_ptr<platform::CentralManagerDelegate> delegate() const { return delegate_.lock(); }

    std::weak_ptr<SimCore> core_;
    const std::weak_ptr<platform::CentralManagerDelegate> delegate_;
};

class SimPeripheral : public platform::Peripheral,
                      public std::enable_shared_from_this<SimPeripheral> {
public:
    enum class Connection { disconnected, connecting, connected };

    SimPeripheral(std::weak_ptr<SimCore> core, std::optional<std::string> name, bool advertises,
                  std::shared_ptr<SimDevice> device, GattLayout layout, DeviceTiming timing,
                  std::string address)
        : device(std::move(device)),
          layout(std::move(layout)),
          timing(timing),
          advertising(advertises),
          core_(std::move(core)),
          name_(std::move(name)),
          address_(std::move(address)) {}

    std::optional<std::string> name() const override { return name_; }
    std::string identifier() const override { return address_; }
    // A made-up signal strength from -45 to -84 dBm, the same for the same address.
    std::optional<int> rssi() const override;
    void setDelegate(std::weak_ptr<platform::PeripheralDelegate> delegate) override;
    void discoverServices(const std::vector<Uuid>& services) override;
    void discoverCharacteristics(const std::vector<Uuid>& characteristics,
                                 const std::shared_ptr<platform::Service>& service) override;
    void setNotifyValue(bool enabled,
                        const std::shared_ptr<platform::Characteristic>& characteristic) override;
    void writeValue(const Bytes& data,
                    const std::shared_ptr<platform::Characteristic>& characteristic,
                    WriteType type) override;

    // Loop side: calls to the delegate, with the service and characteristic objects of
    // this peripheral (made once per UUID and kept).
    void deliverServices(const std::optional<std::vector<Uuid>>& services, bool error);
    void deliverCharacteristics(const Uuid& service,
                                const std::optional<std::vector<Uuid>>& characteristics,
                                bool error);
    void deliverValue(const std::shared_ptr<SimGattCharacteristic>& characteristic,
                      const Bytes& value);
    // Device-backed: the delayed answer to connect() of attempt `attempt`.
    void completeDeviceConnect(std::uint64_t attempt);

    // Under SimCore::m.
    std::shared_ptr<SimGattService> serviceLocked(const Uuid& uuid);
    std::shared_ptr<SimGattCharacteristic> characteristicLocked(const Uuid& service,
                                                                const Uuid& uuid);
    // The first characteristic made with that UUID, of any service, or a new one.
    std::shared_ptr<SimGattCharacteristic> anyCharacteristicLocked(const Uuid& uuid);

    const std::shared_ptr<SimDevice> device;  // empty for a script-driven peripheral
    const GattLayout layout;
    const DeviceTiming timing;

    // Guarded by SimCore::m.
    bool advertising;
    Connection connection = Connection::disconnected;
    std::uint64_t attempt = 0;  // counts connect() calls
    std::weak_ptr<SimCentral> central;
    std::shared_ptr<platform::Timer> connectTimer;
    std::set<Uuid> notifying;
    std::shared_ptr<SimGattCharacteristic> lastNotifyOn;

private:
    std::shared_ptr<platform::PeripheralDelegate> delegate() const;
    bool isConnected() const;

    std::weak_ptr<SimCore> core_;
    mutable std::mutex delegateMutex_;
    std::weak_ptr<platform::PeripheralDelegate> delegate_;
    const std::optional<std::string> name_;
    const std::string address_;
    std::vector<std::shared_ptr<SimGattService>> services_;
    std::vector<std::shared_ptr<SimGattCharacteristic>> characteristics_;
};

// The context a device gets from addDevicePeripheral().
class DeviceContext : public SimDeviceContext {
public:
    DeviceContext(std::weak_ptr<SimCore> core, std::weak_ptr<SimPeripheral> peripheral)
        : core_(std::move(core)), peripheral_(std::move(peripheral)) {}

    void notify(const Uuid& characteristic, Bytes value) override;
    void disconnect() override;
    void setAdvertising(bool advertising) override;
    bool isConnected() const override;
    bool isNotifying(const Uuid& characteristic) const override;
    std::shared_ptr<platform::Timer> schedule(double seconds,
                                              std::function<void()> action) override;
    void post(std::function<void()> action) override;
    double now() const override;

private:
    std::weak_ptr<SimCore> core_;
    std::weak_ptr<SimPeripheral> peripheral_;
};

}  // namespace orvex::sim
