// SPDX-License-Identifier: Apache-2.0
#include <algorithm>
#include <iterator>

#include "platform/bluez/Central.hpp"
#include "platform/bluez/WriteValueStream.hpp"
#include "reader/Logging.hpp"

namespace orvex::detail::bluez {

namespace {

constexpr std::int64_t DEFAULT_MTU = 23;
constexpr std::int64_t MAX_MTU = 517;
constexpr std::size_t ATT_HEADER = 3;

std::optional<platform::Uuid> uuidOf(const PropMap& props) {
    auto text = getString(props, "UUID");
    if (!text) return std::nullopt;
    return platform::Uuid::parse(*text);
}

// The objects of `interface` below `parent` whose UUID is asked for, in the order asked
// (everything, in path order, when nothing in particular is asked for).
template <class Accept>
std::vector<std::pair<std::string, platform::Uuid>> select(
    const ObjectTree& tree, const char* interface, const std::vector<platform::Uuid>& wanted,
    Accept accept) {
    std::vector<std::pair<std::string, platform::Uuid>> found;
    for (const auto& [path, interfaces] : tree) {
        auto it = interfaces.find(interface);
        if (it == interfaces.end() || !accept(path, it->second)) continue;
        if (auto uuid = uuidOf(it->second)) found.emplace_back(path, *uuid);
    }
    if (wanted.empty()) return found;
    std::vector<std::pair<std::string, platform::Uuid>> ordered;
    for (const auto& uuid : wanted) {
        for (const auto& entry : found) {
            if (entry.second == uuid) ordered.push_back(entry);
        }
    }
    return ordered;
}

}  // namespace

// --- Services and characteristics ----------------------------------------------------------

void Central::discoverServices(const std::shared_ptr<Device>& device,
                               std::vector<platform::Uuid> uuids) {
    if (device->link != Device::Link::connected) {
        post([device](Central&) {
            if (auto d = device->delegate())
                d->didDiscoverServices(device, platform::ServiceList{}, true);
        });
        return;
    }
    device->servicesWanted = std::move(uuids);
    if (device->fetchingServices) return;
    const auto& object = tree_[device->path()];
    auto props = object.find(DEVICE);
    if (props != object.end() && getBool(props->second, "ServicesResolved").value_or(false)) {
        servicesResolved(device);
        return;
    }
    // BlueZ resolves the services by itself after connecting; wait for it, not for ever.
    if (device->resolveTimer) device->resolveTimer->invalidate();
    const unsigned attempt = device->attempt;
    device->resolveTimer = queue_->schedule(
        options_.resolveTimeout, false, [weak = weak_from_this(), device, attempt] {
            auto self = weak.lock();
            if (!self || attempt != device->attempt || device->fetchingServices ||
                !device->servicesWanted) {
                return;
            }
            self->servicesFailed(device);
        });
}

void Central::servicesResolved(const std::shared_ptr<Device>& device) {
    if (device->resolveTimer) device->resolveTimer->invalidate();
    device->resolveTimer.reset();
    device->fetchingServices = true;
    const unsigned attempt = device->attempt;
    auto* queue = queue_.get();
    if (!bus_) {
        servicesFailed(device);
        return;
    }
    // The GATT objects are read afresh from the tree: the order of InterfacesAdded and the
    // ServicesResolved change is not to be relied on.
    bus_->client().call("/", OBJECT_MANAGER, "GetManagedObjects", nullptr, options_.callTimeout,
               [queue, weak = weak_from_this(), device, attempt](sdbus::MethodReply* reply,
                                                                 const CallError*) {
                   std::optional<ObjectTree> tree;
                   if (reply) {
                       try {
                           DbusTree raw;
                           *reply >> raw;
                           tree = toTree(raw);
                       } catch (const sdbus::Error&) {
                       }
                   }
                   queue->post([weak, device, attempt, tree = std::move(tree)] {
                       if (auto self = weak.lock()) self->servicesFetched(device, attempt, tree);
                   });
               });
}

void Central::servicesFetched(const std::shared_ptr<Device>& device, unsigned attempt,
                              const std::optional<ObjectTree>& tree) {
    if (attempt != device->attempt || device->link != Device::Link::connected) return;
    device->fetchingServices = false;
    if (!tree) {
        servicesFailed(device);
        return;
    }
    tree_ = *tree;
    const auto wanted = device->servicesWanted.value_or(std::vector<platform::Uuid>{});
    device->servicesWanted.reset();
    const auto& devicePath = device->path();
    auto found =
        select(tree_, GATT_SERVICE, wanted, [&](const std::string& path, const PropMap& p) {
            auto owner = getString(p, "Device");
            return owner ? *owner == devicePath : isUnder(path, devicePath);
        });
    platform::ServiceList list;
    for (const auto& [path, uuid] : found) {
        auto& service = device->services[path];
        if (!service || service->uuid() != uuid)
            service = std::make_shared<GattService>(uuid, path);
        list.push_back(service);
    }
    if (auto d = device->delegate()) d->didDiscoverServices(device, list, false);
}

void Central::servicesFailed(const std::shared_ptr<Device>& device) {
    device->servicesWanted.reset();
    device->fetchingServices = false;
    // A failure comes with an empty list (an absent list means "no services").
    if (auto d = device->delegate()) d->didDiscoverServices(device, platform::ServiceList{}, true);
}

void Central::discoverCharacteristics(const std::shared_ptr<Device>& device,
                                      std::vector<platform::Uuid> uuids,
                                      std::shared_ptr<platform::Service> service) {
    auto gatt = std::dynamic_pointer_cast<GattService>(service);
    if (device->link != Device::Link::connected || !gatt) {
        post([device, service](Central&) {
            if (auto d = device->delegate()) {
                d->didDiscoverCharacteristics(device, service, platform::CharacteristicList{},
                                              true);
            }
        });
        return;
    }
    const auto& servicePath = gatt->path();
    auto found =
        select(tree_, GATT_CHARACTERISTIC, uuids, [&](const std::string& path, const PropMap& p) {
            auto owner = getString(p, "Service");
            return owner ? *owner == servicePath : isUnder(path, servicePath);
        });
    platform::CharacteristicList list;
    for (const auto& [path, uuid] : found) {
        auto& characteristic = device->characteristics[path];
        if (!characteristic || characteristic->uuid() != uuid) {
            characteristic = std::make_shared<GattCharacteristic>(uuid, path);
        }
        list.push_back(characteristic);
    }
    post([device, service, list = std::move(list)](Central&) {
        if (auto d = device->delegate())
            d->didDiscoverCharacteristics(device, service, list, false);
    });
}

// --- Notifications -------------------------------------------------------------------------

void Central::acquire(const std::string& path, const std::string& method,
                      std::function<void(Central&, std::shared_ptr<OwnedFd>, std::uint16_t)> done) {
    auto* queue = queue_.get();
    auto handler = [queue, weak = weak_from_this(), done = std::move(done)](
                       sdbus::MethodReply* reply, const CallError*) {
        // Owned from the moment it leaves the message: whoever drops it last closes it.
        std::shared_ptr<OwnedFd> fd;
        std::uint16_t mtu = 0;
        if (reply) {
            try {
                sdbus::UnixFd raw;
                *reply >> raw >> mtu;
                if (raw.isValid()) fd = std::make_shared<OwnedFd>(raw.release(), &gattSocketCounter());
            } catch (const sdbus::Error&) {
                fd.reset();
            }
        }
        queue->post([weak, done, fd, mtu] {
            if (auto self = weak.lock()) done(*self, fd, mtu);
        });
    };
    if (!bus_) {
        handler(nullptr, nullptr);
        return;
    }
    bus_->client().call(
        path, GATT_CHARACTERISTIC, method, [](sdbus::MethodCall& m) { m << DbusProps{}; },
        options_.callTimeout, std::move(handler));
}

void Central::setNotify(const std::shared_ptr<Device>& device, bool enabled,
                        std::shared_ptr<platform::Characteristic> characteristic) {
    auto gatt = std::dynamic_pointer_cast<GattCharacteristic>(characteristic);
    if (!gatt || device->link != Device::Link::connected) return;
    const auto path = gatt->path();
    if (!enabled) {
        device->notifying.erase(path);
        if (device->notifySockets.count(path)) {
            closeNotifySocket(device, path);  // BlueZ ends the session with the socket
        } else {
            call(path, GATT_CHARACTERISTIC, "StopNotify", nullptr, options_.callTimeout,
                 nullptr);
        }
        return;
    }
    device->notifying.insert(path);
    if (device->notifySockets.count(path)) return;
    ++device->notifyPending;
    const unsigned attempt = device->attempt;
    // A socket spares every notification its D-Bus signal. BlueZ refuses it when the
    // characteristic cannot notify, while another session exists or when it is already
    // acquired: then StartNotify. InProgress (BlueZ is already enabling it) counts as
    // success; other failures leave the characteristic quiet, which the link's own
    // supervision notices.
    acquire(path, "AcquireNotify",
            [device, attempt, path](Central& c, std::shared_ptr<OwnedFd> fd, std::uint16_t) {
                if (attempt != device->attempt) return;
                if (fd && device->notifying.count(path)) {
                    c.notifyAcquired(device, path, std::move(fd));
                    c.notifyAnswered(device);
                    return;
                }
                fd.reset();
                c.call(path, GATT_CHARACTERISTIC, "StartNotify", nullptr, c.options_.callTimeout,
                       [device, attempt](Central& self, const CallError*) {
                           if (attempt != device->attempt) return;
                           self.notifyAnswered(device);
                       });
            });
}

void Central::notifyAcquired(const std::shared_ptr<Device>& device, const std::string& path,
                             std::shared_ptr<OwnedFd> fd) {
    if (!poller_) poller_ = std::make_unique<SocketPoller>();
    auto* queue = queue_.get();
    auto weak = weak_from_this();
    const unsigned attempt = device->attempt;
    auto id = std::make_shared<unsigned>(0);
    *id = poller_->add(
        std::move(*fd),
        [queue, weak, path](Bytes value) {
            queue->post([weak, path, value = std::move(value)] {
                if (auto self = weak.lock()) self->valueChanged(path, value);
            });
        },
        [queue, weak, device, path, attempt, id] {
            // BlueZ closed it (link lost, or its reconnection): the session is over.
            queue->post([weak, device, path, attempt, id] {
                if (!weak.lock() || attempt != device->attempt) return;
                auto it = device->notifySockets.find(path);
                if (it != device->notifySockets.end() && it->second == *id)
                    device->notifySockets.erase(it);
            });
        });
    device->notifySockets[path] = *id;
}

void Central::closeNotifySocket(const std::shared_ptr<Device>& device, const std::string& path) {
    auto it = device->notifySockets.find(path);
    if (it == device->notifySockets.end()) return;
    if (poller_) poller_->remove(it->second);
    device->notifySockets.erase(it);
}

void Central::notifyAnswered(const std::shared_ptr<Device>& device) {
    if (device->notifyPending == 0 || --device->notifyPending > 0) return;
    // Copy the paths: a write's failure may change the queues while they are pumped.
    std::vector<std::string> paths;
    for (const auto& [path, queue] : device->writes) paths.push_back(path);
    for (const auto& path : paths) pumpWrites(device, path);
}

void Central::valueChanged(const std::string& path, const Bytes& value) {
    std::shared_ptr<Device> device;
    std::shared_ptr<GattCharacteristic> characteristic;
    for (auto& [devicePath, d] : devices_) {
        if (!isUnder(path, devicePath)) continue;
        if (d->link != Device::Link::connected || !d->notifying.count(path)) return;
        auto c = d->characteristics.find(path);
        if (c == d->characteristics.end()) return;
        device = d;
        characteristic = c->second;
        break;
    }
    if (!device) return;
    if (auto d = device->delegate()) d->didUpdateValue(device, characteristic, value);
}

// --- Writes --------------------------------------------------------------------------------

std::size_t Central::payloadLimit(const std::string& characteristicPath) const {
    std::int64_t mtu = DEFAULT_MTU;
    if (auto object = tree_.find(characteristicPath); object != tree_.end()) {
        if (auto props = object->second.find(GATT_CHARACTERISTIC); props != object->second.end()) {
            mtu = getInt(props->second, "MTU").value_or(DEFAULT_MTU);
        }
    }
    mtu = std::clamp(mtu, DEFAULT_MTU, MAX_MTU);
    return static_cast<std::size_t>(mtu) - ATT_HEADER;
}

bool Central::hasFlag(const std::string& characteristicPath, const std::string& flag) const {
    auto object = tree_.find(characteristicPath);
    if (object == tree_.end()) return false;
    auto props = object->second.find(GATT_CHARACTERISTIC);
    if (props == object->second.end()) return false;
    const auto flags = getStrings(props->second, "Flags");
    return std::find(flags.begin(), flags.end(), flag) != flags.end();
}

void Central::write(const std::shared_ptr<Device>& device, Bytes data,
                    std::shared_ptr<platform::Characteristic> characteristic,
                    platform::WriteType type) {
    auto gatt = std::dynamic_pointer_cast<GattCharacteristic>(characteristic);
    if (!gatt || device->link != Device::Link::connected || data.empty()) return;
    auto& queue = device->writes[gatt->path()];
    queue.pending.push_back(
        Device::Pending{std::move(data), type == platform::WriteType::withResponse});
    // The link writes a frame in several parts in one go (prefix, payload, end): sending
    // once this turn of the link queue is over lets them go as one stream.
    if (queue.pumpPosted) return;
    queue.pumpPosted = true;
    post([device, path = gatt->path(), attempt = device->attempt](Central& c) {
        if (attempt != device->attempt) return;
        auto q = device->writes.find(path);
        if (q == device->writes.end()) return;
        q->second.pumpPosted = false;
        c.pumpWrites(device, path);
    });
}

namespace {

// Merges the writes waiting at the front of `queue` (only those of one type, unless
// `anyType`) and cuts them into pieces of at most `limit` bytes.
void cutNextStream(Device::WriteQueue& queue, std::size_t limit, bool anyType) {
    Bytes stream;
    const bool withResponse = queue.pending.front().withResponse;
    while (!queue.pending.empty() &&
           (anyType || queue.pending.front().withResponse == withResponse)) {
        auto& bytes = queue.pending.front().bytes;
        stream.insert(stream.end(), bytes.begin(), bytes.end());
        queue.pending.pop_front();
    }
    for (std::size_t at = 0; at < stream.size(); at += limit) {
        const auto end = std::min(stream.size(), at + limit);
        queue.pieces.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at),
                                  stream.begin() + static_cast<std::ptrdiff_t>(end));
    }
    queue.withResponse = withResponse;
    ++queue.stream;
}

}  // namespace

void Central::pumpWrites(const std::shared_ptr<Device>& device, const std::string& path) {
    auto it = device->writes.find(path);
    if (it == device->writes.end() || device->notifyPending > 0) return;
    auto& queue = it->second;
    switch (queue.socket) {
        case Device::WriteSocket::untried:
            // The serial service is a byte stream: where BlueZ offers write-without-response
            // every write goes over a socket, with no D-Bus round trip at all.
            if (hasFlag(path, "write-without-response")) {
                acquireWrite(device, path);
                return;
            }
            queue.socket = Device::WriteSocket::refused;
            break;
        case Device::WriteSocket::acquiring:
            return;
        case Device::WriteSocket::open:
            if (sendOverSocket(device, path)) return;
            break;  // the socket broke: the rest goes by WriteValue
        case Device::WriteSocket::refused:
            break;
    }
    sendWriteValues(device, path);
}

void Central::acquireWrite(const std::shared_ptr<Device>& device, const std::string& path) {
    device->writes[path].socket = Device::WriteSocket::acquiring;
    const unsigned attempt = device->attempt;
    acquire(path, "AcquireWrite",
            [device, attempt, path](Central& c, std::shared_ptr<OwnedFd> fd, std::uint16_t mtu) {
                if (attempt != device->attempt) return;
                auto q = device->writes.find(path);
                if (q == device->writes.end()) return;
                auto& queue = q->second;
                if (fd && mtu > ATT_HEADER) {
                    queue.fd = std::move(*fd);
                    queue.socketPayload = static_cast<std::size_t>(std::clamp<std::int64_t>(
                                              mtu, DEFAULT_MTU, MAX_MTU)) -
                                          ATT_HEADER;
                    queue.socket = Device::WriteSocket::open;
                } else {
                    queue.socket = Device::WriteSocket::refused;
                }
                c.pumpWrites(device, path);
            });
}

bool Central::sendOverSocket(const std::shared_ptr<Device>& device, const std::string& path) {
    auto& queue = device->writes[path];
    while (!queue.pieces.empty() || !queue.pending.empty()) {
        if (queue.pieces.empty()) cutNextStream(queue, queue.socketPayload, true);
        const auto& piece = queue.pieces.front();
        const int sent = sendPacket(queue.fd.get(), piece.data(), piece.size());
        if (sent > 0) {
            queue.pieces.pop_front();
            continue;
        }
        if (sent == 0) {
            // The socket is full: try again shortly rather than block the link queue.
            if (!queue.retryArmed) {
                queue.retryArmed = true;
                const unsigned attempt = device->attempt;
                queue_->schedule(std::chrono::milliseconds(1), false,
                                 [weak = weak_from_this(), device, path, attempt] {
                                     auto self = weak.lock();
                                     if (!self || attempt != device->attempt) return;
                                     auto q = device->writes.find(path);
                                     if (q == device->writes.end()) return;
                                     q->second.retryArmed = false;
                                     self->pumpWrites(device, path);
                                 });
            }
            return true;
        }
        // BlueZ closed it: this stream stops here, later writes go by WriteValue.
        queue.fd.reset();
        queue.socket = Device::WriteSocket::refused;
        queue.pieces.clear();
        return false;
    }
    return true;
}

void Central::sendWriteValues(const std::shared_ptr<Device>& device, const std::string& path) {
    constexpr unsigned COMMAND_WINDOW = 8;
    auto& queue = device->writes[path];
    // What comes while a stream is under way is merged into the next one.
    if (queue.valueStreamOut) return;
    if (!bus_) {
        queue.pieces.clear();
        queue.pending.clear();
        return;
    }
    if (queue.pieces.empty()) {
        if (queue.pending.empty()) return;
        cutNextStream(queue, payloadLimit(path), false);
    }
    std::vector<Bytes> pieces(std::make_move_iterator(queue.pieces.begin()),
                              std::make_move_iterator(queue.pieces.end()));
    queue.pieces.clear();
    queue.valueStreamOut = true;
    auto* loop = queue_.get();
    auto stream = std::make_shared<WriteValueStream>(
        bus_->client(), bus_->client().proxyIfOpen(path), std::move(pieces), queue.withResponse,
        queue.withResponse ? 1 : COMMAND_WINDOW, options_.writeTimeout, queue.alive,
        [loop, weak = weak_from_this(), device, path, attempt = device->attempt,
         number = queue.stream](const std::optional<CallError>& error) {
            loop->post([weak, device, path, attempt, number, error] {
                if (auto self = weak.lock())
                    self->writeValuesEnded(device, path, attempt, number, error);
            });
        });
    stream->start();
}

void Central::writeValuesEnded(const std::shared_ptr<Device>& device, const std::string& path,
                               unsigned attempt, unsigned stream,
                               const std::optional<CallError>& error) {
    if (error) {
        log(LogLevel::error, "BlueZ {}.WriteValue on {} failed: {}: {}", GATT_CHARACTERISTIC,
            path, error->name, error->message);
    }
    if (attempt != device->attempt) return;
    auto q = device->writes.find(path);
    if (q == device->writes.end() || q->second.stream != stream) return;
    q->second.valueStreamOut = false;
    pumpWrites(device, path);
}

}  // namespace orvex::detail::bluez
