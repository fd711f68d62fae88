// SPDX-License-Identifier: Apache-2.0
#include <sys/socket.h>

#include <algorithm>

#include "fakebluez/FakeImpl.hpp"

namespace orvex::detail::bluez {

namespace {

using ResultPtr = std::shared_ptr<sdbus::Result<>>;

sdbus::Error bluezError(const std::string& name, const std::string& text) {
    return sdbus::Error("org.bluez.Error." + name, text);
}

std::string senderOf(sdbus::IObject& object) {
    const auto* msg = object.getCurrentlyProcessedMessage();
    return msg ? msg->getSender() : std::string();
}

}  // namespace

void FakeBluez::Impl::after(std::chrono::milliseconds delay, std::function<void(Impl&)> action) {
    queue->schedule(delay, false, [this, action = std::move(action)] {
        if (connection) action(*this);  // nothing happens while the service is down
    });
}

void FakeBluez::Impl::handOver(std::function<void()> task) {
    ++callsOnLoop;
    queue->post([this, task = std::move(task)] {
        struct Handled {
            std::atomic<unsigned>& calls;
            ~Handled() { --calls; }
        } handled{callsOnLoop};
        task();
    });
}

void FakeBluez::Impl::openDirectWrites() {
    if (!reader || !connected || writeSocketId != 0 || !heldReplies.empty() ||
        writeReplyDelay.count() != 0 || writesUntilFailure != 0 ||
        (config.reader->ignoreWritesBeforeNotify && !notifying)) {
        return;
    }
    std::lock_guard lock(directMutex);
    directPath = writePath;
    directUuid = writeUuid;
}

void FakeBluez::Impl::closeDirectWrites() {
    std::lock_guard lock(directMutex);
    directPath.clear();
}

bool FakeBluez::Impl::writeDirectly(const std::string& path, const Bytes& bytes,
                                    const std::string& type, sdbus::Result<>& result) {
    if (callsOnLoop.load() != 0 || bytes.size() + 3 > config.reader->mtu) return false;
    platform::Uuid uuid;
    {
        std::lock_guard lock(directMutex);
        if (directPath.empty() || path != directPath) return false;
        uuid = directUuid;
    }
    {
        std::lock_guard lock(recordMutex);
        calls.push_back("WriteValue");
        writes.push_back(FakeWrite{bytes, type});
    }
    reader->onWrite(bytes, uuid,
                    type == "command" ? platform::WriteType::withoutResponse
                                      : platform::WriteType::withResponse);
    result.returnResults();
    return true;
}

// Every handler runs on the bus thread: it hands the call and its deferred reply to the
// fake's own loop and returns (a plain WriteValue excepted, see writeDirectly).

void FakeBluez::Impl::registerAdapter(sdbus::IObject& object) {
    object.registerMethod("StartDiscovery")
        .onInterface(ADAPTER)
        .implementedAs([this, &object](sdbus::Result<>&& result) {
            auto r = std::make_shared<sdbus::Result<>>(std::move(result));
            handOver([this, r, sender = senderOf(object)] {
                if (!connection) return;  // the service went down meanwhile
                record("StartDiscovery");
                if (!powered) {
                    r->returnError(bluezError("NotReady", "Resource Not Ready"));
                } else if (discoverySessions.count(sender)) {
                    r->returnError(bluezError("InProgress", "Operation already in progress"));
                } else {
                    const bool first = discoverySessions.empty();
                    discoverySessions.insert(sender);
                    r->returnResults();
                    if (first) {
                        setProps(adapterPath, ADAPTER, {{"Discovering", FakeValue(true)}});
                        startAdvertising();
                    }
                }
                loop->wake();
            });
        });
    object.registerMethod("StopDiscovery")
        .onInterface(ADAPTER)
        .implementedAs([this, &object](sdbus::Result<>&& result) {
            auto r = std::make_shared<sdbus::Result<>>(std::move(result));
            handOver([this, r, sender = senderOf(object)] {
                if (!connection) return;  // the service went down meanwhile
                record("StopDiscovery");
                if (!discoverySessions.erase(sender)) {
                    r->returnError(bluezError("Failed", "No discovery started"));
                } else {
                    r->returnResults();
                    if (discoverySessions.empty()) {
                        stopAdvertising();
                        setProps(adapterPath, ADAPTER, {{"Discovering", FakeValue(false)}});
                    }
                }
                loop->wake();
            });
        });
    object.registerMethod("SetDiscoveryFilter")
        .onInterface(ADAPTER)
        .implementedAs([this](sdbus::Result<>&& result, DbusProps filter) {
            auto r = std::make_shared<sdbus::Result<>>(std::move(result));
            std::string transport;
            if (auto it = filter.find("Transport");
                it != filter.end() && it->second.containsValueOfType<std::string>()) {
                transport = it->second.get<std::string>();
            }
            handOver([this, r, transport] {
                if (!connection) return;  // the service went down meanwhile
                record("SetDiscoveryFilter:" + transport);
                r->returnResults();
                loop->wake();
            });
        });
    object.registerMethod("RemoveDevice")
        .onInterface(ADAPTER)
        .implementedAs([this](sdbus::Result<>&& result, sdbus::ObjectPath device) {
            auto r = std::make_shared<sdbus::Result<>>(std::move(result));
            handOver([this, r, device = std::string(device)] {
                if (!connection) return;  // the service went down meanwhile
                record("RemoveDevice");
                if (device == readerPath && connected) dropLink();
                removeUnder(device);
                r->returnResults();
                loop->wake();
            });
        });
}

void FakeBluez::Impl::registerDevice(sdbus::IObject& object, const std::string& path) {
    object.registerMethod("Connect").onInterface(DEVICE).implementedAs(
        [this, path](sdbus::Result<>&& result) {
            auto r = std::make_shared<sdbus::Result<>>(std::move(result));
            handOver([this, r, path] {
                if (!connection) return;  // the service went down meanwhile
                record("Connect");
                connect(path, std::move(*r));
                loop->wake();
            });
        });
    object.registerMethod("Disconnect")
        .onInterface(DEVICE)
        .implementedAs([this, path](sdbus::Result<>&& result) {
            auto r = std::make_shared<sdbus::Result<>>(std::move(result));
            handOver([this, r, path] {
                if (!connection) return;  // the service went down meanwhile
                record("Disconnect");
                disconnect(path, std::move(*r));
                loop->wake();
            });
        });
}

void FakeBluez::Impl::registerCharacteristic(sdbus::IObject& object, const std::string& path) {
    object.registerMethod("StartNotify")
        .onInterface(GATT_CHARACTERISTIC)
        .implementedAs([this, path](sdbus::Result<>&& result) {
            auto r = std::make_shared<sdbus::Result<>>(std::move(result));
            handOver([this, r, path] {
                if (!connection) return;  // the service went down meanwhile
                record("StartNotify");
                if (extraNotify(path, true, *r)) {
                    // one of the further readers
                } else if (!connected) {
                    r->returnError(bluezError("NotConnected", "Not Connected"));
                } else if (path != notifyPath) {
                    r->returnError(bluezError("NotSupported", "Operation is not supported"));
                } else if (notifySocket) {
                    r->returnError(bluezError("NotPermitted", "Notify acquired"));
                } else {
                    // The reply waits for the reader's acknowledgement of the CCC write.
                    after(config.reader->notifyDelay, [r, epoch = epoch](Impl& s) {
                        if (epoch != s.epoch || !s.connected) {
                            r->returnError(bluezError("Failed", "Not connected"));
                        } else {
                            s.notifying = true;
                            s.notifyingFlag = true;
                            r->returnResults();
                            s.setProps(s.notifyPath, GATT_CHARACTERISTIC,
                                       {{"Notifying", FakeValue(true)}});
                        }
                        s.loop->wake();
                    });
                }
                loop->wake();
            });
        });
    object.registerMethod("StopNotify")
        .onInterface(GATT_CHARACTERISTIC)
        .implementedAs([this, path](sdbus::Result<>&& result) {
            auto r = std::make_shared<sdbus::Result<>>(std::move(result));
            handOver([this, r, path] {
                if (!connection) return;  // the service went down meanwhile
                record("StopNotify");
                if (extraNotify(path, false, *r)) {
                    loop->wake();
                    return;
                }
                if (path == notifyPath && notifying) {
                    closeDirectWrites();
                    notifying = false;
                    notifyingFlag = false;
                    setProps(path, GATT_CHARACTERISTIC, {{"Notifying", FakeValue(false)}});
                }
                r->returnResults();
                loop->wake();
            });
        });
    object.registerMethod("WriteValue")
        .onInterface(GATT_CHARACTERISTIC)
        .implementedAs([this, path](sdbus::Result<>&& result, Bytes value, DbusProps options) {
            std::string type;
            if (auto it = options.find("type");
                it != options.end() && it->second.containsValueOfType<std::string>()) {
                type = it->second.get<std::string>();
            }
            if (writeDirectly(path, value, type, result)) return;
            auto r = std::make_shared<sdbus::Result<>>(std::move(result));
            handOver([this, r, path, value = std::move(value), type = std::move(type)] {
                if (!connection) return;  // the service went down meanwhile
                write(path, value, type, std::move(*r));
                loop->wakeIfNeeded();
            });
        });
    // AcquireWrite and AcquireNotify: the socket of the reader's own characteristic, when the
    // reader hands sockets out; BlueZ's NotSupported otherwise.
    using Acquired = sdbus::Result<sdbus::UnixFd, std::uint16_t>;
    const auto registerAcquire = [&](const char* method, std::string Impl::*ownPath,
                                      void (Impl::*acquire)(Acquired)) {
        object.registerMethod(method)
            .onInterface(GATT_CHARACTERISTIC)
            .implementedAs([this, path, method, ownPath, acquire](Acquired&& result, DbusProps) {
                auto r = std::make_shared<Acquired>(std::move(result));
                handOver([this, r, path, method, ownPath, acquire] {
                    if (!connection) return;  // the service went down meanwhile
                    record(method);
                    if (path != this->*ownPath || !config.reader->sockets) {
                        r->returnError(bluezError("NotSupported", "Operation is not supported"));
                    } else {
                        (this->*acquire)(std::move(*r));
                    }
                    loop->wake();
                });
            });
    };
    registerAcquire("AcquireWrite", &Impl::writePath, &Impl::acquireWrite);
    registerAcquire("AcquireNotify", &Impl::notifyPath, &Impl::acquireNotify);
    object.registerMethod("ReadValue")
        .onInterface(GATT_CHARACTERISTIC)
        .implementedAs([this, path](sdbus::Result<Bytes>&& result, DbusProps) {
            auto r = std::make_shared<sdbus::Result<Bytes>>(std::move(result));
            handOver([this, r, path] {
                if (!connection) return;  // the service went down meanwhile
                record("ReadValue");
                Bytes bytes;
                {
                    std::lock_guard lock(treeMutex);
                    auto& props = tree[path][GATT_CHARACTERISTIC];
                    if (auto* v = std::get_if<Bytes>(&props["Value"])) bytes = *v;
                }
                r->returnResults(bytes);
                loop->wake();
            });
        });
}

void FakeBluez::Impl::acquireWrite(sdbus::Result<sdbus::UnixFd, std::uint16_t> result) {
    if (!connected) {
        result.returnError(bluezError("NotConnected", "Not Connected"));
        return;
    }
    if (writeSocketId != 0) {
        result.returnError(bluezError("NotPermitted", "Write acquired"));
        return;
    }
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        result.returnError(bluezError("Failed", "socketpair failed"));
        return;
    }
    OwnedFd mine(ends[0], &acquiredLive);
    {
        std::lock_guard lock(socketMutex);
        writeSocketFd = mine.get();
    }
    auto weakQueue = std::weak_ptr<TaskLoop>(queue);
    const unsigned attempt = epoch;
    const unsigned id = poller->add(
        std::move(mine),
        [this, weakQueue, attempt](Bytes bytes) {
            auto q = weakQueue.lock();
            if (!q) return;
            q->post([this, attempt, bytes = std::move(bytes)] {
                {
                    std::lock_guard lock(recordMutex);
                    calls.push_back("socket write");
                    writes.push_back(FakeWrite{bytes, "socket"});
                }
                if (attempt != epoch || !connected || bytes.size() + 3 > config.reader->mtu) return;
                if (config.reader->ignoreWritesBeforeNotify && !notifying) {
                    std::lock_guard lock(recordMutex);
                    ++ignoredWrites;
                } else if (reader) {
                    reader->onWrite(bytes, writeUuid, platform::WriteType::withoutResponse);
                }
            });
        },
        [this] {
            // The client let go of it (BlueZ notices the hang-up).
            std::lock_guard lock(socketMutex);
            writeSocketFd = -1;
        });
    writeSocketId = id;
    closeDirectWrites();
    result.returnResults(sdbus::UnixFd(ends[1], sdbus::adopt_fd), config.reader->mtu);
}

void FakeBluez::Impl::acquireNotify(sdbus::Result<sdbus::UnixFd, std::uint16_t> result) {
    if (!connected) {
        result.returnError(bluezError("NotConnected", "Not Connected"));
        return;
    }
    if (notifySocket) {
        result.returnError(bluezError("NotPermitted", "Notify acquired"));
        return;
    }
    if (notifying) {
        result.returnError(bluezError("InProgress", "Operation already in progress"));
        return;
    }
    auto r = std::make_shared<sdbus::Result<sdbus::UnixFd, std::uint16_t>>(std::move(result));
    // Like StartNotify, the reply waits for the reader's acknowledgement of the CCC write.
    after(config.reader->notifyDelay, [r, attempt = epoch](Impl& s) {
        if (attempt != s.epoch || !s.connected) {
            r->returnError(bluezError("Failed", "Not connected"));
            s.loop->wake();
            return;
        }
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
            r->returnError(bluezError("Failed", "socketpair failed"));
            s.loop->wake();
            return;
        }
        {
            std::lock_guard lock(s.socketMutex);
            s.notifySocket = OwnedFd(ends[0], &s.acquiredLive);
            s.notifySocketFd = ends[0];
        }
        s.notifying = true;
        s.notifyingFlag = true;
        r->returnResults(sdbus::UnixFd(ends[1], sdbus::adopt_fd), s.config.reader->mtu);
        s.loop->wake();
    });
}

void FakeBluez::Impl::closeSockets() {
    unsigned id = 0;
    {
        std::lock_guard lock(socketMutex);
        notifySocket.reset();
        notifySocketFd = -1;
        writeSocketFd = -1;
        id = writeSocketId;
        writeSocketId = 0;
    }
    if (id != 0) poller->remove(id);
}

void FakeBluez::Impl::connect(const std::string& path, sdbus::Result<> result) {
    if (extraConnect(path, result)) return;
    if (path != readerPath) {
        result.returnError(bluezError("Failed", "le-connection-abort-by-local"));
        return;
    }
    if (connected) {
        result.returnResults();
        return;
    }
    if (pendingConnect) {
        result.returnError(bluezError("InProgress", "In Progress"));
        return;
    }
    const auto& reader = *config.reader;
    const unsigned attempt = ++epoch;
    switch (connectMode) {
        case FakeConnect::refuse:
            pendingConnect = std::move(result);
            after(reader.connectDelay, [attempt](Impl& s) {
                if (attempt != s.epoch || !s.pendingConnect) return;
                s.pendingConnect->returnError(bluezError("Failed", "le-connection-abort-by-local"));
                s.pendingConnect.reset();
                s.loop->wake();
            });
            return;
        case FakeConnect::hang:
            pendingConnect = std::move(result);
            return;
        case FakeConnect::accept:
            break;
    }
    pendingConnect = std::move(result);
    after(reader.connectDelay, [attempt](Impl& s) {
        if (attempt != s.epoch || !s.pendingConnect) return;
        s.connected = true;
        s.connectedFlag = true;
        s.setProps(s.readerPath, DEVICE, {{"Connected", FakeValue(true)}});
        s.pendingConnect->returnResults();
        s.pendingConnect.reset();
        s.loop->wake();
        if (s.reader) s.reader->onConnect();
        if (!s.config.reader->resolve) return;
        s.after(s.config.reader->resolveDelay, [attempt](Impl& t) {
            if (attempt != t.epoch || !t.connected) return;
            t.addGatt();
            t.setProps(t.readerPath, DEVICE, {{"ServicesResolved", FakeValue(true)}});
        });
    });
}

void FakeBluez::Impl::disconnect(const std::string& path, sdbus::Result<> result) {
    if (extraDisconnect(path, result)) return;
    if (path == readerPath) {
        if (pendingConnect) {
            ++epoch;
            pendingConnect->returnError(bluezError("Failed", "le-connection-abort-by-local"));
            pendingConnect.reset();
        }
        if (connected) dropLink();
    }
    result.returnResults();
}

void FakeBluez::Impl::dropLink() {
    if (!connected) return;
    closeDirectWrites();
    connected = false;
    connectedFlag = false;
    notifying = false;
    notifyingFlag = false;
    ++epoch;
    closeSockets();  // BlueZ closes acquired sockets with the link
    for (auto& held : heldReplies) held->returnError(bluezError("Failed", "Not connected"));
    heldReplies.clear();  // a write request in flight fails with the link
    if (tree.count(notifyPath)) {
        setProps(notifyPath, GATT_CHARACTERISTIC, {{"Notifying", FakeValue(false)}});
    }
    setProps(readerPath, DEVICE, {{"ServicesResolved", FakeValue(false)}});
    setProps(readerPath, DEVICE, {{"Connected", FakeValue(false)}});
    if (reader) reader->onDisconnect();
}

void FakeBluez::Impl::write(const std::string& path, Bytes bytes, std::string type,
                            sdbus::Result<> result) {
    {
        std::lock_guard lock(recordMutex);
        calls.push_back("WriteValue");
    }
    if (path == writePath && connected && (writeSocketId != 0 || !heldReplies.empty())) {
        // BlueZ turns down any WriteValue while the write is acquired, and, with one write
        // request in flight per characteristic, any other until its response has come.
        // Nothing of it reaches the reader.
        if (writeSocketId != 0) {
            result.returnError(bluezError("NotPermitted", "Write acquired"));
            return;
        }
        {
            std::lock_guard lock(recordMutex);
            ++refusedWrites;
        }
        result.returnError(bluezError("InProgress", "In Progress"));
        return;
    }
    if (path == writePath && writesUntilFailure > 0 && --writesUntilFailure == 0) {
        result.returnError(bluezError("Failed", "Operation failed with ATT error: 0x0e"));
        return;
    }
    {
        std::lock_guard lock(recordMutex);
        writes.push_back(FakeWrite{bytes, type});
    }
    if (extraWrite(path, bytes, type, result)) return;
    if (!connected) {
        result.returnError(bluezError("Failed", "Not connected"));
        return;
    }
    if (bytes.size() + 3 > config.reader->mtu) {
        // A small serial peripheral turns down what does not fit one ATT payload.
        result.returnError(
            bluezError("InvalidValueLength", "Invalid Attribute Value Length (0x0d)"));
        return;
    }
    if (path != writePath) {
        result.returnError(bluezError("NotPermitted", "Write not permitted"));
        return;
    }
    const auto wireType = type == "command" ? platform::WriteType::withoutResponse
                                            : platform::WriteType::withResponse;
    if (config.reader->ignoreWritesBeforeNotify && !notifying) {
        std::lock_guard lock(recordMutex);
        ++ignoredWrites;
    } else if (reader) {
        reader->onWrite(bytes, writeUuid, wireType);
    }
    if (type == "command" || writeReplyDelay.count() == 0) {
        result.returnResults();
        openDirectWrites();
        return;
    }
    auto r = std::make_shared<sdbus::Result<>>(std::move(result));
    heldReplies.push_back(r);
    after(writeReplyDelay, [weak = std::weak_ptr<sdbus::Result<>>(r)](Impl& s) {
        auto held = weak.lock();
        if (!held) return;
        held->returnResults();
        s.heldReplies.erase(std::find(s.heldReplies.begin(), s.heldReplies.end(), held));
        s.loop->wake();
    });
}

void FakeBluez::Impl::setPowered(bool on) {
    if (on == powered || !adapterPresent) return;
    if (!on) {
        if (connected) dropLink();
        dropExtras(true);
        if (pendingConnect) {
            ++epoch;
            pendingConnect->returnError(bluezError("Failed", "Software caused connection abort"));
            pendingConnect.reset();
        }
        const bool wasDiscovering = !discoverySessions.empty();
        discoverySessions.clear();
        if (wasDiscovering) {
            stopAdvertising();
            setProps(adapterPath, ADAPTER, {{"Discovering", FakeValue(false)}});
        }
    }
    powered = on;
    setProps(
        adapterPath, ADAPTER,
        {{"Powered", FakeValue(on)}, {"PowerState", FakeValue(std::string(on ? "on" : "off"))}});
}

}  // namespace orvex::detail::bluez
