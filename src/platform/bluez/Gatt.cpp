// SPDX-License-Identifier: Apache-2.0
#include <algorithm>

#include "platform/bluez/Central.hpp"

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
    bus_->call("/", OBJECT_MANAGER, "GetManagedObjects", nullptr, options_.callTimeout,
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

void Central::setNotify(const std::shared_ptr<Device>& device, bool enabled,
                        std::shared_ptr<platform::Characteristic> characteristic) {
    auto gatt = std::dynamic_pointer_cast<GattCharacteristic>(characteristic);
    if (!gatt || device->link != Device::Link::connected) return;
    if (enabled) {
        device->notifying.insert(gatt->path());
    } else {
        device->notifying.erase(gatt->path());
    }
    // InProgress (BlueZ is already enabling it) counts as success; other failures leave
    // the characteristic quiet, which the link's own supervision notices.
    if (!enabled) {
        call(gatt->path(), GATT_CHARACTERISTIC, "StopNotify", nullptr, options_.callTimeout,
             nullptr);
        return;
    }
    ++device->notifyPending;
    const unsigned attempt = device->attempt;
    call(gatt->path(), GATT_CHARACTERISTIC, "StartNotify", nullptr, options_.callTimeout,
         [device, attempt](Central& c, const CallError*) {
             if (attempt != device->attempt) return;
             c.notifyAnswered(device);
         });
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

void Central::write(const std::shared_ptr<Device>& device, Bytes data,
                    std::shared_ptr<platform::Characteristic> characteristic,
                    platform::WriteType type) {
    auto gatt = std::dynamic_pointer_cast<GattCharacteristic>(characteristic);
    if (!gatt || device->link != Device::Link::connected || data.empty()) return;
    // The reader's serial service is a byte stream: a frame longer than one ATT payload
    // goes as several writes, in order.
    const auto limit = payloadLimit(gatt->path());
    const unsigned frame = ++device->nextFrame;
    auto& queue = device->writes[gatt->path()];
    for (std::size_t at = 0; at < data.size(); at += limit) {
        const auto end = std::min(data.size(), at + limit);
        queue.pieces.push_back(Device::Piece{Bytes(data.begin() + static_cast<std::ptrdiff_t>(at),
                                                   data.begin() + static_cast<std::ptrdiff_t>(end)),
                                             frame, type == platform::WriteType::withResponse});
    }
    pumpWrites(device, gatt->path());
}

void Central::pumpWrites(const std::shared_ptr<Device>& device, const std::string& path) {
    auto it = device->writes.find(path);
    if (it == device->writes.end()) return;
    auto& queue = it->second;
    if (device->notifyPending > 0 || queue.inFlight || queue.pieces.empty()) return;
    auto piece = std::move(queue.pieces.front());
    queue.pieces.pop_front();
    queue.inFlight = true;
    const unsigned attempt = device->attempt;
    const unsigned frame = piece.frame;
    call(
        path, GATT_CHARACTERISTIC, "WriteValue",
        [piece = std::move(piece)](sdbus::MethodCall& m) {
            DbusProps options;
            options.emplace(
                "type", sdbus::Variant(std::string(piece.withResponse ? "request" : "command")));
            m << piece.bytes << options;
        },
        options_.writeTimeout,
        [device, path, attempt, frame](Central& c, const CallError* error) {
            if (attempt != device->attempt) return;
            auto q = device->writes.find(path);
            if (q == device->writes.end()) return;
            q->second.inFlight = false;
            if (error) {
                // The rest of a frame that lost a piece would only garble the stream.
                auto& pieces = q->second.pieces;
                while (!pieces.empty() && pieces.front().frame == frame) pieces.pop_front();
            }
            c.pumpWrites(device, path);
        });
}

}  // namespace orvex::detail::bluez
