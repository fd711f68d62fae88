// SPDX-License-Identifier: Apache-2.0
#include "platform/web/WebPlatform.hpp"

#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <emscripten/emscripten.h>
#include <emscripten/eventloop.h>
#include <emscripten/wire.h>

namespace orvex::web {

using emscripten::val;
using platform::Bytes;
using platform::Uuid;

namespace {

// Web Bluetooth names a UUID by its lower-case 128-bit text; a 16-bit one on the base UUID
// may also be a number, but the full text works everywhere.
std::string webUuid(const Uuid& uuid) {
    std::string text = uuid.str();
    if (text.size() == 4) text = "0000" + text + "-0000-1000-8000-00805F9B34FB";
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

val uuidList(const std::vector<Uuid>& uuids) {
    val list = val::array();
    for (const auto& uuid : uuids) list.call<void>("push", webUuid(uuid));
    return list;
}

Bytes bytesOf(const val& view) {
    const val array = val::global("Uint8Array").new_(view["buffer"], view["byteOffset"],
                                                     view["byteLength"]);
    return emscripten::convertJSArrayToNumberVector<std::uint8_t>(array);
}

// The page's event loop as a serial executor: blocks run in order, each on a later turn,
// never inside post().
class PageQueue : public platform::Executor {
public:
    void post(std::function<void()> block) override {
        blocks_.push_back(std::move(block));
        if (!scheduled_) {
            scheduled_ = true;
            emscripten_async_call(&PageQueue::drain, this, 0);
        }
    }
    ~PageQueue() override { blocks_.clear(); }

private:
    static void drain(void* self) {
        auto* queue = static_cast<PageQueue*>(self);
        queue->scheduled_ = false;
        // Only what was there when the turn started: a block posted now runs on the next turn.
        auto blocks = std::move(queue->blocks_);
        queue->blocks_.clear();
        for (auto& block : blocks) block();
    }
    std::deque<std::function<void()>> blocks_;
    bool scheduled_ = false;
};

class PageTimer : public platform::Timer, public std::enable_shared_from_this<PageTimer> {
public:
    PageTimer(bool repeats, std::function<void()> action)
        : repeats_(repeats), action_(std::move(action)) {}
    ~PageTimer() override { clear(); }
    void start(double seconds) {
        const double ms = seconds * 1000.0;
        // The browser holds a pointer to a heap cell that names this timer weakly, so a fired
        // timer whose owner is gone finds nothing.
        self_ = new std::weak_ptr<PageTimer>(weak_from_this());
        id_ = repeats_ ? emscripten_set_interval(&PageTimer::fire, ms, self_)
                       : emscripten_set_timeout(&PageTimer::fire, ms, self_);
    }
    void invalidate() override { clear(); }

private:
    static void fire(void* cell) {
        auto timer = static_cast<std::weak_ptr<PageTimer>*>(cell)->lock();
        if (!timer || !timer->action_) return;
        if (!timer->repeats_) {
            timer->id_ = 0;
            delete timer->self_;
            timer->self_ = nullptr;
        }
        auto action = timer->action_;  // may invalidate the timer
        action();
    }
    void clear() {
        if (id_ != 0) {
            if (repeats_) emscripten_clear_interval(id_);
            else emscripten_clear_timeout(id_);
            id_ = 0;
            delete self_;
            self_ = nullptr;
        }
        action_ = nullptr;
    }
    bool repeats_;
    std::function<void()> action_;
    long id_ = 0;
    std::weak_ptr<PageTimer>* self_ = nullptr;
};

class WebService : public platform::Service {
public:
    WebService(Uuid uuid, val handle) : uuid_(std::move(uuid)), handle(std::move(handle)) {}
    Uuid uuid() const override { return uuid_; }

private:
    Uuid uuid_;

public:
    val handle;  // BluetoothRemoteGATTService
};

class WebCharacteristic : public platform::Characteristic {
public:
    WebCharacteristic(Uuid uuid, val handle) : uuid_(std::move(uuid)), handle(std::move(handle)) {}
    Uuid uuid() const override { return uuid_; }

private:
    Uuid uuid_;

public:
    val handle;  // BluetoothRemoteGATTCharacteristic
};

}  // namespace

class WebPeripheral;

// What the platform's parts share: the queue, the device and its glue, and the registry the
// glue's answers are routed through.
class WebCore {
public:
    PageQueue queue;
    val device = val::undefined();
    val glue = val::undefined();
    std::optional<Bytes> image;
    std::weak_ptr<platform::CentralManagerDelegate> central;
    std::shared_ptr<WebPeripheral> peripheral;

    static std::map<int, std::weak_ptr<WebPeripheral>>& registry() {
        static std::map<int, std::weak_ptr<WebPeripheral>> peripherals;
        return peripherals;
    }
    static int nextId() {
        static int id = 0;
        return ++id;
    }
};

class WebPeripheral : public platform::Peripheral,
                      public std::enable_shared_from_this<WebPeripheral> {
public:
    WebPeripheral(WebCore& core) : core_(core), id_(WebCore::nextId()) {}
    ~WebPeripheral() override { WebCore::registry().erase(id_); }
    void enroll() { WebCore::registry()[id_] = weak_from_this(); }

    std::optional<std::string> name() const override {
        const val name = core_.device["name"];
        if (name.isString()) return name.as<std::string>();
        return std::nullopt;
    }
    std::string identifier() const override { return core_.device["id"].as<std::string>(); }
    void setDelegate(std::weak_ptr<platform::PeripheralDelegate> delegate) override {
        delegate_ = std::move(delegate);
    }
    void discoverServices(const std::vector<Uuid>& services) override {
        core_.glue.call<void>("discoverServices", id_, core_.device, uuidList(services));
    }
    void discoverCharacteristics(const std::vector<Uuid>& characteristics,
                                 const std::shared_ptr<platform::Service>& service) override {
        auto web = std::dynamic_pointer_cast<WebService>(service);
        if (!web) return;
        pendingServices_.push_back(web);
        core_.glue.call<void>("discoverCharacteristics", id_, web->handle,
                              uuidList(characteristics));
    }
    void setNotifyValue(bool enabled,
                        const std::shared_ptr<platform::Characteristic>& characteristic) override {
        if (auto web = std::dynamic_pointer_cast<WebCharacteristic>(characteristic)) {
            core_.glue.call<void>("setNotifications", id_, web->handle, enabled);
        }
    }
    void writeValue(const Bytes& data, const std::shared_ptr<platform::Characteristic>& characteristic,
                    platform::WriteType type) override {
        auto web = std::dynamic_pointer_cast<WebCharacteristic>(characteristic);
        if (!web) return;
        val bytes = val::global("Uint8Array").new_(
            val(emscripten::typed_memory_view(data.size(), data.data())));
        core_.glue.call<void>("write", id_, web->handle, bytes,
                              type == platform::WriteType::withResponse);
    }

    int id() const { return id_; }
    void post(std::function<void()> block) { core_.queue.post(std::move(block)); }

    // An answer of the glue, already on the link's queue.
    void handle(const std::string& event, const val& details) {
        auto self = shared_from_this();
        if (event == "connected" || event == "connectFailed" || event == "disconnected") {
            if (event == "disconnected") characteristics_.clear();
            auto central = core_.central.lock();
            if (!central) return;
            if (event == "connected") central->didConnect(self);
            else if (event == "connectFailed") central->didFailToConnect(self);
            else central->didDisconnect(self);
            return;
        }
        auto delegate = delegate_.lock();
        if (event == "services") {
            if (!delegate) return;
            if (details.isNull()) {
                delegate->didDiscoverServices(self, std::nullopt, true);
                return;
            }
            platform::ServiceList services;
            for (unsigned i = 0; i < details["length"].as<unsigned>(); ++i) {
                const val s = details[i];
                services.push_back(std::make_shared<WebService>(
                    Uuid(s["uuid"].as<std::string>()), s));
            }
            delegate->didDiscoverServices(self, services, false);
        } else if (event == "characteristics") {
            if (pendingServices_.empty()) return;
            auto service = pendingServices_.front();
            pendingServices_.pop_front();
            if (!delegate) return;
            const val list = details["characteristics"];
            if (list.isNull()) {
                delegate->didDiscoverCharacteristics(self, service, std::nullopt, true);
                return;
            }
            platform::CharacteristicList found;
            for (unsigned i = 0; i < list["length"].as<unsigned>(); ++i) {
                auto c = std::make_shared<WebCharacteristic>(
                    Uuid(list[i]["uuid"].as<std::string>()), list[i]);
                characteristics_.push_back(c);
                found.push_back(c);
            }
            delegate->didDiscoverCharacteristics(self, service, found, false);
        } else if (event == "value") {
            // The glue names the characteristic by its object: the same object for the same
            // characteristic of one connection.
            const val source = details["characteristic"];
            for (const auto& c : characteristics_) {
                if (c->handle.strictlyEquals(source)) {
                    if (delegate) delegate->didUpdateValue(self, c, bytesOf(details["value"]));
                    return;
                }
            }
        }
    }

private:
    WebCore& core_;
    int id_;
    std::weak_ptr<platform::PeripheralDelegate> delegate_;
    std::deque<std::shared_ptr<WebService>> pendingServices_;
    std::vector<std::shared_ptr<WebCharacteristic>> characteristics_;
};

namespace {

// The "scan" of a browser: the reader was picked in the chooser before, so the scan reports
// that one device.
class WebCentral : public platform::CentralManager {
public:
    WebCentral(std::shared_ptr<WebCore> core) : core_(std::move(core)) {}
    platform::ManagerState state() const override { return platform::ManagerState::poweredOn; }
    void scanForPeripherals() override {
        scanning_ = true;
        core_->queue.post([core = core_, weak = std::weak_ptr<bool>(token_)] {
            auto central = core->central.lock();
            if (weak.lock() && central) central->didDiscover(core->peripheral);
        });
    }
    bool isScanning() const override { return scanning_; }
    void stopScan() override { scanning_ = false; }
    void connect(const std::shared_ptr<platform::Peripheral>& peripheral) override {
        if (peripheral != core_->peripheral) return;
        core_->glue.call<void>("connect", core_->peripheral->id(), core_->device);
    }
    void cancelPeripheralConnection(const std::shared_ptr<platform::Peripheral>& peripheral) override {
        if (peripheral != core_->peripheral) return;
        core_->glue.call<void>("disconnect", core_->peripheral->id(), core_->device);
    }

private:
    std::shared_ptr<WebCore> core_;
    bool scanning_ = false;
    std::shared_ptr<bool> token_ = std::make_shared<bool>(true);
};

}  // namespace

WebPlatform::WebPlatform(val device, val glue) : core_(std::make_shared<WebCore>()) {
    core_->device = std::move(device);
    core_->glue = std::move(glue);
    core_->peripheral = std::make_shared<WebPeripheral>(*core_);
    core_->peripheral->enroll();
}

WebPlatform::~WebPlatform() {
    core_->glue.call<void>("forget", core_->peripheral->id(), core_->device);
}

std::shared_ptr<platform::CentralManager> WebPlatform::createCentralManager(
    std::weak_ptr<platform::CentralManagerDelegate> delegate) {
    core_->central = delegate;
    core_->queue.post([delegate] {
        if (auto d = delegate.lock()) d->centralManagerDidUpdateState(platform::ManagerState::poweredOn);
    });
    return std::make_shared<WebCentral>(core_);
}

platform::Executor& WebPlatform::linkQueue() { return core_->queue; }
platform::Executor& WebPlatform::mainExecutor() { return core_->queue; }

std::shared_ptr<platform::Timer> WebPlatform::scheduleTimer(double seconds, bool repeats,
                                                            std::function<void()> action) {
    auto timer = std::make_shared<PageTimer>(repeats, std::move(action));
    timer->start(seconds);
    return timer;
}

double WebPlatform::now() const { return emscripten::val::global("Date").call<double>("now") / 1000.0; }

std::optional<Bytes> WebPlatform::microAppImage() { return core_->image; }

void WebPlatform::setMicroAppImage(std::optional<Bytes> image) { core_->image = std::move(image); }

void webBluetoothEvent(int peripheral, const std::string& event, val details) {
    auto it = WebCore::registry().find(peripheral);
    if (it == WebCore::registry().end()) return;
    auto target = it->second.lock();
    if (!target) return;
    // On the link's queue, after what the link posted before the answer came.
    target->post([target, event, details] { target->handle(event, details); });
}

}  // namespace orvex::web
