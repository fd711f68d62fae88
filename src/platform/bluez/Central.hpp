// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "orvex/platform/Platform.hpp"
#include "platform/bluez/BluezOptions.hpp"
#include "platform/bluez/BusClient.hpp"
#include "platform/bluez/SharedBus.hpp"
#include "platform/bluez/Sockets.hpp"
#include "platform/bluez/TaskLoop.hpp"
#include "platform/bluez/Values.hpp"

namespace orvex::detail::bluez {

class Central;

class GattService : public platform::Service {
public:
    GattService(platform::Uuid uuid, std::string path) : uuid_(uuid), path_(std::move(path)) {}
    platform::Uuid uuid() const override { return uuid_; }
    const std::string& path() const { return path_; }

private:
    platform::Uuid uuid_;
    std::string path_;
};

class GattCharacteristic : public platform::Characteristic {
public:
    GattCharacteristic(platform::Uuid uuid, std::string path)
        : uuid_(uuid), path_(std::move(path)) {}
    platform::Uuid uuid() const override { return uuid_; }
    const std::string& path() const { return path_; }

private:
    platform::Uuid uuid_;
    std::string path_;
};

// One org.bluez.Device1. Its operations are carried out by the central on the link queue.
class Device : public platform::Peripheral, public std::enable_shared_from_this<Device> {
public:
    Device(std::weak_ptr<Central> central, std::string path)
        : central_(std::move(central)), path_(std::move(path)) {}

    std::optional<std::string> name() const override;
    // The Bluetooth address, read from the object path (".../dev_AA_BB_CC_DD_EE_FF").
    std::string identifier() const override;
    std::optional<int> rssi() const override;
    void setRssi(std::optional<int> rssi);
    void setDelegate(std::weak_ptr<platform::PeripheralDelegate> delegate) override;
    void discoverServices(const std::vector<platform::Uuid>& services) override;
    void discoverCharacteristics(const std::vector<platform::Uuid>& characteristics,
                                 const std::shared_ptr<platform::Service>& service) override;
    void setNotifyValue(bool enabled,
                        const std::shared_ptr<platform::Characteristic>& characteristic) override;
    void writeValue(const Bytes& data,
                    const std::shared_ptr<platform::Characteristic>& characteristic,
                    platform::WriteType type) override;

    const std::string& path() const { return path_; }
    void setName(std::optional<std::string> name);
    std::shared_ptr<platform::PeripheralDelegate> delegate() const;

    // Connection state, touched on the link queue only (by the central).
    enum class Link { idle, connecting, connected, cancelling };
    Link link = Link::idle;
    unsigned attempt = 0;  // tells a stale reply from the current one
    std::optional<std::vector<platform::Uuid>> servicesWanted;
    bool fetchingServices = false;
    std::shared_ptr<platform::Timer> resolveTimer;
    std::map<std::string, std::shared_ptr<GattService>> services;
    std::map<std::string, std::shared_ptr<GattCharacteristic>> characteristics;
    std::set<std::string> notifying;

    // Writes to one characteristic. What waits behind a stream in flight is merged into the
    // next stream (the reader's serial service is a byte stream); a stream is cut into
    // ATT-sized pieces. Over an acquired write socket pieces go out at once; over WriteValue
    // a stream is handed to a WriteValueStream, which sends commands a window at a time and
    // requests one at a time (BlueZ refuses a second request in flight with InProgress).
    struct Pending {
        Bytes bytes;
        bool withResponse;
    };
    enum class WriteSocket { untried, acquiring, open, refused };
    struct WriteQueue {
        std::deque<Pending> pending;
        std::deque<Bytes> pieces;  // the rest of the stream being sent (socket)
        bool withResponse = false;
        bool valueStreamOut = false;  // a WriteValueStream is under way
        unsigned stream = 0;          // tells the stream that ended
        // Expires with this queue (the connection ended): a stream under way stops sending.
        std::shared_ptr<const void> alive = std::make_shared<char>(0);
        WriteSocket socket = WriteSocket::untried;
        OwnedFd fd;
        std::size_t socketPayload = 0;
        bool retryArmed = false;
        bool pumpPosted = false;  // a pump is due once the link queue's current turn ends
    };
    std::map<std::string, WriteQueue> writes;
    std::map<std::string, unsigned> notifySockets;  // characteristic path -> poller id
    // Notification switch-ons not yet answered: writes wait for them, since BlueZ sends a
    // queued Write Command ahead of the CCC write and the reader would miss our answer.
    unsigned notifyPending = 0;

private:
    std::weak_ptr<Central> central_;
    std::string path_;
    mutable std::mutex mutex_;
    std::optional<std::string> name_;
    std::optional<int> rssi_;
    std::weak_ptr<platform::PeripheralDelegate> delegate_;
};

// The central manager over org.bluez. All state lives on the link queue: D-Bus signals and
// replies are copied on the bus thread and handed to the link queue, and every operation
// runs there too (at once when called on the link queue, else posted). The bus connection
// is the platform's, shared with its other centrals (see SharedBus).
class Central : public platform::CentralManager, public std::enable_shared_from_this<Central> {
public:
    // `connect` hands out the platform's bus; it throws sdbus::Error when the bus cannot be
    // reached (the central then reports itself unsupported or unauthorized).
    static std::shared_ptr<Central> create(
        std::shared_ptr<TaskLoop> queue, BluezOptions options,
        std::weak_ptr<platform::CentralManagerDelegate> delegate,
        const std::function<std::shared_ptr<SharedBus>()>& connect);
    Central(std::shared_ptr<TaskLoop> queue, BluezOptions options,
            std::weak_ptr<platform::CentralManagerDelegate> delegate);
    ~Central() override;

    platform::ManagerState state() const override { return reported_.load(); }
    void scanForPeripherals() override;
    bool isScanning() const override { return scanning_.load(); }
    void stopScan() override;
    void connect(const std::shared_ptr<platform::Peripheral>& peripheral) override;
    void cancelPeripheralConnection(
        const std::shared_ptr<platform::Peripheral>& peripheral) override;

    // Runs `f` on the link queue: at once when already there, else posted.
    void onQueue(std::function<void(Central&)> f);

    // Device operations (link queue). Gatt.cpp.
    void discoverServices(const std::shared_ptr<Device>& device, std::vector<platform::Uuid> uuids);
    void discoverCharacteristics(const std::shared_ptr<Device>& device,
                                 std::vector<platform::Uuid> uuids,
                                 std::shared_ptr<platform::Service> service);
    void setNotify(const std::shared_ptr<Device>& device, bool enabled,
                   std::shared_ptr<platform::Characteristic> characteristic);
    void write(const std::shared_ptr<Device>& device, Bytes data,
               std::shared_ptr<platform::Characteristic> characteristic, platform::WriteType type);

private:
    // Central.cpp: bus events, adapter state, discovery.
    void start(const std::function<std::shared_ptr<SharedBus>()>& connect);
    void post(std::function<void(Central&)> f);
    void onEvent(const BusEvent& event);
    void readTree();
    void applyTree(const std::optional<ObjectTree>& tree, const CallError* error);
    void updateState();
    void setState(platform::ManagerState state);
    void objectAdded(const std::string& path, const InterfaceMap& interfaces);
    void objectRemoved(const std::string& path, const std::vector<std::string>& interfaces);
    void propertiesChanged(const std::string& path, const std::string& interface,
                           const PropMap& changed, const std::vector<std::string>& invalidated);
    void ownerChanged(const std::string& newOwner);
    void busClosed();
    void heard(const std::string& path, bool sighting);
    void heardBeforeScan();
    std::shared_ptr<Device> deviceFor(const std::string& path);
    std::optional<std::string> deviceName(const std::string& path) const;
    std::optional<int> deviceRssi(const std::string& path) const;
    void dropAll();
    std::shared_ptr<platform::CentralManagerDelegate> delegate() const { return delegate_.lock(); }
    void call(const std::string& path, const std::string& interface, const std::string& method,
              std::function<void(sdbus::MethodCall&)> arguments, std::chrono::milliseconds timeout,
              std::function<void(Central&, const CallError*)> done);

    // Connection.cpp: connect, cancel, disconnection.
    void doConnect(const std::shared_ptr<Device>& device);
    void connectReplied(const std::shared_ptr<Device>& device, unsigned attempt,
                        const CallError* error);
    void doCancel(const std::shared_ptr<Device>& device);
    void endConnection(const std::shared_ptr<Device>& device);
    void deviceChanged(const std::shared_ptr<Device>& device, const PropMap& changed);

    // Gatt.cpp: services, notifications, writes.
    void servicesResolved(const std::shared_ptr<Device>& device);
    void servicesFetched(const std::shared_ptr<Device>& device, unsigned attempt,
                         const std::optional<ObjectTree>& tree);
    void servicesFailed(const std::shared_ptr<Device>& device);
    void notifyAnswered(const std::shared_ptr<Device>& device);
    void notifyAcquired(const std::shared_ptr<Device>& device, const std::string& path,
                        std::shared_ptr<OwnedFd> fd);
    void closeNotifySocket(const std::shared_ptr<Device>& device, const std::string& path);
    void pumpWrites(const std::shared_ptr<Device>& device, const std::string& path);
    void acquireWrite(const std::shared_ptr<Device>& device, const std::string& path);
    bool sendOverSocket(const std::shared_ptr<Device>& device, const std::string& path);
    void sendWriteValues(const std::shared_ptr<Device>& device, const std::string& path);
    void writeValuesEnded(const std::shared_ptr<Device>& device, const std::string& path,
                          unsigned attempt, unsigned stream, const std::optional<CallError>& error);
    bool hasFlag(const std::string& characteristicPath, const std::string& flag) const;
    // Acquire* on the bus thread: the socket and MTU of the reply are handed to `done` on
    // the link queue (no socket on error).
    void acquire(const std::string& path, const std::string& method,
                 std::function<void(Central&, std::shared_ptr<OwnedFd>, std::uint16_t)> done);
    void valueChanged(const std::string& path, const Bytes& value);
    std::size_t payloadLimit(const std::string& characteristicPath) const;

    std::shared_ptr<TaskLoop> queue_;
    BluezOptions options_;
    std::weak_ptr<platform::CentralManagerDelegate> delegate_;
    std::shared_ptr<SharedBus> bus_;
    unsigned busListener_ = 0;  // also names this central's want of discovery

    std::atomic<platform::ManagerState> reported_{platform::ManagerState::unknown};
    std::atomic<bool> scanning_{false};

    // Link queue only.
    bool stateReported_ = false;
    bool discoveryStarted_ = false;   // discovery asked of the shared bus, not dropped since
    bool discoveryAnswered_ = false;  // and the session runs
    unsigned scanNumber_ = 0;
    unsigned treeRead_ = 0;
    std::shared_ptr<platform::Timer> graceTimer_;
    ObjectTree tree_;
    std::string adapterPath_;
    std::map<std::string, bool> heardThisScan_;  // device path -> reported with a name
    std::map<std::string, std::shared_ptr<Device>> devices_;
    std::unique_ptr<SocketPoller> poller_;  // acquired notification sockets
};

}  // namespace orvex::detail::bluez
