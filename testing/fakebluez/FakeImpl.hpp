// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "platform/bluez/BusLoop.hpp"
#include "platform/bluez/Sockets.hpp"
#include "platform/bluez/TaskLoop.hpp"
#include "platform/bluez/Values.hpp"
#include "fakebluez/FakeBluez.hpp"

namespace orvex::detail::bluez {

// A property value with its exact D-Bus type.
using FakeValue =
    std::variant<bool, std::int16_t, std::uint16_t, std::uint32_t, std::string, sdbus::ObjectPath,
                 std::vector<std::string>, std::vector<sdbus::ObjectPath>, Bytes>;
using FakeProps = std::map<std::string, FakeValue>;
using FakeInterfaces = std::map<std::string, FakeProps>;

sdbus::Variant toVariant(const FakeValue& value);
DbusProps toDbus(const FakeProps& props);

// The fake's state. Everything below `queue` is touched on the fake's own task loop only,
// apart from the records (under `recordMutex`), the flags and the direct writes' state
// (under `directMutex`). D-Bus method handlers run on the bus thread and hand the call
// (with its deferred reply) to the loop; only a plain WriteValue is answered where it
// arrives (see writeDirectly).
struct FakeBluez::Impl {
    FakeConfig config;
    std::string address;
    std::shared_ptr<TaskLoop> queue = std::make_shared<TaskLoop>("fake-bluez");

    std::unique_ptr<sdbus::IConnection> connection;
    std::unique_ptr<BusLoop> loop;
    std::map<std::string, std::unique_ptr<sdbus::IObject>> objects;
    mutable std::mutex treeMutex;  // the property getters run on the bus thread
    std::map<std::string, FakeInterfaces> tree;

    std::string adapterPath;
    bool powered = true;
    bool adapterPresent = true;
    std::set<std::string> discoverySessions;  // unique names of the discovering clients
    std::vector<std::shared_ptr<platform::Timer>> advertiseTimers;
    std::int16_t rssiSwing = 0;
    std::set<std::string> heardElsewhere;  // device paths whose RSSI stays as it is

    // The reader device.
    std::string readerPath, servicePath, notifyPath, writePath;
    platform::Uuid notifyUuid, writeUuid;
    bool readerPresent = false;
    bool connected = false;
    bool notifying = false;
    std::optional<sdbus::Result<>> pendingConnect;
    unsigned epoch = 0;
    FakeConnect connectMode = FakeConnect::accept;
    std::chrono::milliseconds writeReplyDelay{0};
    std::size_t writesUntilFailure = 0;  // counts WriteValue calls down to a failure; 0: none
    // Replies held back by writeReplyDelay; dropped with the connection they belong to.
    std::vector<std::shared_ptr<sdbus::Result<>>> heldReplies;
    std::shared_ptr<sim::SimReader> reader;
    // Acquired sockets (the fake's ends). The write socket is read by the poller; the
    // notify socket is written on the fake's loop.
    std::unique_ptr<SocketPoller> poller = std::make_unique<SocketPoller>();
    unsigned writeSocketId = 0;  // poller id, 0: none
    OwnedFd notifySocket;
    std::atomic<int> acquiredLive{0};
    mutable std::mutex socketMutex;  // the two below, read from any thread
    int writeSocketFd = -1;
    int notifySocketFd = -1;
    std::shared_ptr<sim::SimDeviceContext> context;

    // The readers of `config.moreReaders` (FakeMoreReaders.cpp).
    struct Extra;
    std::vector<std::shared_ptr<Extra>> extras;
    void makeExtras(const std::shared_ptr<Impl>& self);
    void buildExtras();
    // The extra reader whose device is `path` or holds it; nullptr for none.
    Extra* extraAt(const std::string& path);
    bool extraConnected(const std::string& path);
    bool extraConnect(const std::string& path, sdbus::Result<>& result);
    bool extraDisconnect(const std::string& path, sdbus::Result<>& result);
    bool extraNotify(const std::string& path, bool on, sdbus::Result<>& result);
    bool extraWrite(const std::string& path, const Bytes& bytes, const std::string& type,
                    sdbus::Result<>& result);
    void dropExtras(bool tell);

    // WriteValue on the reader's write characteristic is answered on the bus thread, where
    // it arrives, as bluetoothd answers it in its one main loop (a trip through the loop
    // per call would cost every piece of an upload a thread wake-up that BlueZ does not
    // have). The loop opens this way after it has answered such a write in the plain case
    // (connected, write not acquired, no reply delay and no failure to come, the reader
    // listening) and closes it wherever one of those may change.
    std::mutex directMutex;
    std::string directPath;  // empty: every WriteValue goes through the loop
    platform::Uuid directUuid;
    // Calls handed from the bus thread to the loop and not yet handled there. While one
    // waits, a write is handed over too, so the calls are handled in the order they came.
    std::atomic<unsigned> callsOnLoop{0};
    void handOver(std::function<void()> task);
    bool writeDirectly(const std::string& path, const Bytes& bytes, const std::string& type,
                       sdbus::Result<>& result);
    void openDirectWrites();
    void closeDirectWrites();

    mutable std::mutex recordMutex;
    std::vector<FakeWrite> writes;
    std::vector<std::string> calls;
    std::size_t ignoredWrites = 0;
    std::size_t refusedWrites = 0;  // WriteValue answered InProgress
    std::vector<std::chrono::steady_clock::time_point> notificationTimes;
    std::atomic<bool> connectedFlag{false};
    // The bus went away under the fake (its loop ended, or a signal could not be sent).
    std::atomic<bool> busLost{false};
    std::atomic<bool> notifyingFlag{false};

    // FakeBluez.cpp
    void sync(const std::function<void(Impl&)>& f);
    void record(std::string call);

    // FakeTree.cpp: objects, properties, signals, sightings.
    void startBus();
    void stopBus();
    void buildTree();
    void addObject(const std::string& path, FakeInterfaces interfaces);
    // Sends one signal built by `fill`. A bus that has gone away is noted, not thrown.
    void emit(sdbus::IObject& object, const std::string& interface, const std::string& member,
              const std::function<void(sdbus::Signal&)>& fill);
    void registerObject(const std::string& path, const FakeInterfaces& interfaces);
    void removeObject(const std::string& path);
    void removeUnder(const std::string& path);
    void setProps(const std::string& path, const std::string& interface, FakeProps changed,
                  std::vector<std::string> invalidated = {});
    sdbus::IObject& objectAt(const std::string& path);
    FakeInterfaces deviceInterfaces(const FakeDeviceConfig& device, bool withName, bool heard);
    std::string devicePath(const FakeDeviceConfig& device) const;
    void addGatt();
    void sight(const FakeDeviceConfig& device);
    void startAdvertising();
    void stopAdvertising();
    void notifyValue(const platform::Uuid& characteristic, const Bytes& value);

    // FakeMethods.cpp: what the objects answer.
    void registerAdapter(sdbus::IObject& object);
    void registerDevice(sdbus::IObject& object, const std::string& path);
    void registerCharacteristic(sdbus::IObject& object, const std::string& path);
    void connect(const std::string& path, sdbus::Result<> result);
    void disconnect(const std::string& path, sdbus::Result<> result);
    void write(const std::string& path, Bytes bytes, std::string type, sdbus::Result<> result);
    void dropLink();
    void closeSockets();
    void acquireWrite(sdbus::Result<sdbus::UnixFd, std::uint16_t> result);
    void acquireNotify(sdbus::Result<sdbus::UnixFd, std::uint16_t> result);
    void setPowered(bool on);
    void after(std::chrono::milliseconds delay, std::function<void(Impl&)> action);
};

}  // namespace orvex::detail::bluez
