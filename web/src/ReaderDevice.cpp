// SPDX-License-Identifier: Apache-2.0
#include "ReaderDevice.hpp"

#include <utility>

#include <emscripten/emscripten.h>
#include <emscripten/eventloop.h>

#include "SimConfig.hpp"
#include "Values.hpp"

namespace orvex::web {

using emscripten::val;

namespace {

// A one-shot action on the page's timers. The browser's pending call owns the action, so it
// runs even when its handle is dropped; invalidate() calls it off.
class PageAction : public platform::Timer {
public:
    struct Pending {
        std::function<void()> action;
        long id = 0;
        std::shared_ptr<Pending>* cell = nullptr;  // what the browser holds until it fires
    };
    PageAction(double seconds, std::function<void()> action) : pending_(std::make_shared<Pending>()) {
        pending_->action = std::move(action);
        pending_->cell = new std::shared_ptr<Pending>(pending_);
        pending_->id = emscripten_set_timeout(&PageAction::fire, seconds * 1000.0, pending_->cell);
    }
    void invalidate() override {
        if (!pending_->cell) return;
        emscripten_clear_timeout(pending_->id);
        auto* cell = pending_->cell;
        pending_->cell = nullptr;
        pending_->action = nullptr;
        delete cell;
    }
    static void fire(void* cell) {
        auto pending = *static_cast<std::shared_ptr<Pending>*>(cell);
        pending->cell = nullptr;
        delete static_cast<std::shared_ptr<Pending>*>(cell);
        auto action = std::move(pending->action);
        if (action) action();
    }

private:
    std::shared_ptr<Pending> pending_;
};

}  // namespace

class PageDeviceContext : public sim::SimDeviceContext {
public:
    explicit PageDeviceContext(val onNotify) : onNotify_(std::move(onNotify)) {}

    void notify(const platform::Uuid&, platform::Bytes value) override {
        if (connected && !onNotify_.isUndefined()) onNotify_(toUint8Array(value));
    }
    void disconnect() override { connected = false; }
    void setAdvertising(bool) override {}
    bool isConnected() const override { return connected; }
    bool isNotifying(const platform::Uuid&) const override { return connected; }
    std::shared_ptr<platform::Timer> schedule(double seconds, std::function<void()> action) override {
        return std::make_shared<PageAction>(seconds, std::move(action));
    }
    void post(std::function<void()> action) override { schedule(0, std::move(action)); }
    double now() const override { return emscripten::val::global("Date").call<double>("now") / 1000.0; }

    bool connected = false;
    void detach() { onNotify_ = val::undefined(); }

private:
    val onNotify_;
};

ReaderDevice::ReaderDevice(const val& config, val onNotify)
    : context_(std::make_shared<PageDeviceContext>(std::move(onNotify))) {
    auto made = simReaderConfig(config);
    service_ = made.service;
    reader_ = std::make_shared<sim::SimReader>(std::move(made));
    reader_->attached(context_);
}

ReaderDevice::~ReaderDevice() { context_->detach(); }

void ReaderDevice::connect() {
    context_->connected = true;
    reader_->onConnect();
    reader_->onNotifyChanged(sim::SimReader::notifyCharacteristic(service_), true);
}

void ReaderDevice::write(const val& bytes, bool withResponse) {
    reader_->onWrite(toBytes(bytes), sim::SimReader::writeCharacteristic(service_),
                     withResponse ? platform::WriteType::withResponse
                                  : platform::WriteType::withoutResponse);
}

void ReaderDevice::disconnect() {
    context_->connected = false;
    reader_->onDisconnect();
}

val ReaderDevice::storedContact(int index) const {
    const auto config = reader_->config();
    if (index < 0 || static_cast<std::size_t>(index) >= config.tags.size()) return val::null();
    const auto& contact = config.tags[static_cast<std::size_t>(index)].contact;
    return contact ? toUint8Array(*contact) : val::null();
}

}  // namespace orvex::web
