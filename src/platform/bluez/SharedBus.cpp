// SPDX-License-Identifier: Apache-2.0
#include "platform/bluez/SharedBus.hpp"

#include <algorithm>
#include <exception>
#include <vector>

#include "reader/Logging.hpp"

namespace orvex::detail::bluez {

std::shared_ptr<SharedBus> SharedBus::open(std::shared_ptr<TaskLoop> queue,
                                           const BluezOptions& options) {
    auto bus = std::make_shared<SharedBus>(std::move(queue), options.callTimeout);
    // The bus thread hands each event to the link queue once; the fan-out happens there.
    auto sink = [queue = bus->queue_.get(), weak = bus->weak_from_this()](BusEvent event) {
        queue->post([weak, event = std::move(event)] {
            if (auto self = weak.lock()) self->deliver(event);
        });
    };
    bus->client_ = BusClient::open(options.busAddress, std::move(sink));
    bus->client_->start();
    return bus;
}

SharedBus::SharedBus(std::shared_ptr<TaskLoop> queue, std::chrono::milliseconds callTimeout)
    : queue_(std::move(queue)), callTimeout_(callTimeout) {}

SharedBus::~SharedBus() {
    client_.reset();  // stops the bus thread before anything it hands on to goes away
}

unsigned SharedBus::listen(Listener listener) {
    std::lock_guard lock(listenersMutex_);
    const unsigned id = ++nextListener_;
    listeners_.emplace(id, std::make_shared<const Listener>(std::move(listener)));
    return id;
}

void SharedBus::unlisten(unsigned id) {
    std::lock_guard lock(listenersMutex_);
    listeners_.erase(id);
}

void SharedBus::deliver(const BusEvent& event) {
    noteDiscoveryEnd(event);
    std::vector<std::shared_ptr<const Listener>> listeners;
    {
        std::lock_guard lock(listenersMutex_);
        listeners.reserve(listeners_.size());
        for (const auto& [id, listener] : listeners_) listeners.push_back(listener);
    }
    // One central failing on an event must not keep it from the others.
    for (const auto& listener : listeners) {
        try {
            (*listener)(event);
        } catch (const std::exception& e) {
            log(LogLevel::error, "a BlueZ central failed on a bus event: {}", e.what());
        } catch (...) {
            logText(LogLevel::error, "a BlueZ central failed on a bus event");
        }
    }
}

void SharedBus::call(const std::string& path, const std::string& interface,
                     const std::string& method,
                     const std::function<void(sdbus::MethodCall&)>& arguments,
                     std::chrono::milliseconds timeout, Outcome done) {
    auto* queue = queue_.get();
    auto handler = [queue, done = std::move(done), path, interface, method](
                       sdbus::MethodReply*, const CallError* error) {
        std::optional<CallError> err;
        if (error) err = *error;
        queue->post([done, err, path, interface, method] {
            // Logged on the link queue, where no lock of the backend is held.
            if (err) {
                log(LogLevel::error, "BlueZ {}.{} on {} failed: {}: {}", interface, method, path,
                    err->name, err->message);
            }
            if (done) done(err ? &*err : nullptr);
        });
    };
    client_->call(path, interface, method, arguments, timeout, std::move(handler));
}

// --- Discovery ---------------------------------------------------------------------------

void SharedBus::wantDiscovery(unsigned who, const std::string& adapterPath, Outcome started) {
    discoveryWanted_.insert(who);
    switch (discovery_) {
        case Discovery::running:
            if (started) started(nullptr);
            return;
        case Discovery::starting:
            waitingForStart_[who] = std::move(started);
            return;
        case Discovery::off:
            break;
    }
    discovery_ = Discovery::starting;
    discoveryAdapter_ = adapterPath;
    waitingForStart_[who] = std::move(started);
    const unsigned round = ++discoveryRound_;
    call(
        adapterPath, ADAPTER, "SetDiscoveryFilter",
        [](sdbus::MethodCall& m) {
            DbusProps filter;
            filter.emplace("Transport", sdbus::Variant(std::string("le")));
            m << filter;
        },
        callTimeout_, nullptr);
    call(adapterPath, ADAPTER, "StartDiscovery", nullptr, callTimeout_,
         [weak = weak_from_this(), round](const CallError* error) {
             if (auto self = weak.lock()) self->discoveryAnswered(round, error);
         });
}

void SharedBus::discoveryAnswered(unsigned round, const CallError* error) {
    if (round != discoveryRound_ || discovery_ != Discovery::starting) return;  // stopped meanwhile
    auto waiting = std::move(waitingForStart_);
    waitingForStart_.clear();
    // InProgress: this client's session already runs.
    if (!error || error->name == "org.bluez.Error.InProgress") {
        discovery_ = Discovery::running;
        for (auto& [who, started] : waiting) {
            if (started) started(nullptr);
        }
        return;
    }
    discovery_ = Discovery::off;
    discoveryWanted_.clear();  // every want was waiting for this answer
    for (auto& [who, started] : waiting) {
        if (started) started(error);
    }
}

void SharedBus::dropDiscovery(unsigned who) {
    waitingForStart_.erase(who);
    if (!discoveryWanted_.erase(who) || !discoveryWanted_.empty()) return;
    if (discovery_ == Discovery::off) return;
    discovery_ = Discovery::off;
    ++discoveryRound_;
    call(discoveryAdapter_, ADAPTER, "StopDiscovery", nullptr, callTimeout_, nullptr);
}

void SharedBus::endDiscovery() {
    discovery_ = Discovery::off;
    ++discoveryRound_;
    discoveryWanted_.clear();
    waitingForStart_.clear();
}

void SharedBus::noteDiscoveryEnd(const BusEvent& event) {
    if (discovery_ == Discovery::off) return;
    // BlueZ ends every discovery session with the adapter's power, the adapter or itself.
    // "Discovering" turning false alone ends nothing here: the session is still ours to stop.
    switch (event.kind) {
        case BusEvent::Kind::ownerChanged:
        case BusEvent::Kind::closed:
            endDiscovery();
            break;
        case BusEvent::Kind::interfacesRemoved:
            if (event.path == discoveryAdapter_ &&
                std::find(event.removed.begin(), event.removed.end(), ADAPTER) !=
                    event.removed.end()) {
                endDiscovery();
            }
            break;
        case BusEvent::Kind::propertiesChanged:
            if (event.path == discoveryAdapter_ && event.interface == ADAPTER &&
                !getBool(event.changed, "Powered").value_or(true)) {
                endDiscovery();
            }
            break;
        case BusEvent::Kind::interfacesAdded:
            break;
    }
}

}  // namespace orvex::detail::bluez
