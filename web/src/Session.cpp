// SPDX-License-Identifier: Apache-2.0
#include "Session.hpp"

#include <utility>

#include "Values.hpp"
#include "orvex/ReaderInterfaceDelegate.hpp"

namespace orvex::web {

using emscripten::val;

// The link's delegate: every call becomes one JavaScript event. After the session is gone the
// function is dropped, so a late event of a link being torn down reaches nobody.
class EventForwarder : public ReaderInterfaceDelegate {
public:
    explicit EventForwarder(val onEvent) : onEvent_(std::move(onEvent)) {}

    void emit(const char* name, val details = val::undefined()) {
        if (!onEvent_.isUndefined()) onEvent_(std::string(name), details);
    }
    void detach() { onEvent_ = val::undefined(); }
    std::function<void()> onReady;

    void btReader() override {
        emit("btReader");
        // Taken out first: it runs once, and must not be destroyed while it runs.
        auto ready = std::move(onReady);
        onReady = nullptr;
        if (ready) ready();
    }
    void btError(OrvexBluetoothError reason) override { emit("btError", val(name(reason))); }
    void btPoweringDown() override { emit("btPoweringDown"); }
    void connecting() override { emit("connecting"); }
    void connectionFailed(OrvexConnectionError error) override {
        emit("connectionFailed", val(name(error)));
    }
    void readerConnected() override { emit("readerConnected"); }
    void readerDisconnected(OrvexDisconnectionCause cause) override {
        emit("readerDisconnected", val(name(cause)));
    }
    void scanReceived(std::optional<ScanResult> result, bool contactPending) override {
        val details = val::object();
        details.set("reading", result ? toJs(*result) : val::null());
        details.set("contactPending", contactPending);
        emit("scanReceived", details);
    }
    void readerScanning(bool active) override { emit("readerScanning", val(active)); }
    void exportReceived(std::optional<ScanResult> result, long number) override {
        val details = val::object();
        details.set("reading", result ? toJs(*result) : val::null());
        details.set("number", static_cast<double>(number));
        emit("exportReceived", details);
    }
    void scanFailed() override { emit("scanFailed"); }
    void version(const std::string& text) override { emit("version", val(text)); }
    void battery(long level) override { emit("battery", val(static_cast<double>(level))); }
    void startUpdate(long slices) override { emit("startUpdate", val(static_cast<double>(slices))); }
    void updateStatus(long slice) override { emit("updateStatus", val(static_cast<double>(slice))); }
    void endUpdate(std::optional<OrvexDeviceUpdateStatus> status) override {
        emit("endUpdate", status ? val(name(*status)) : val::null());
    }

private:
    template <class E>
    static std::string name(E value) {
        return std::string(to_string(value));
    }
    val onEvent_;
};

Session::Session(std::shared_ptr<platform::Platform> platform, val onEvent)
    : platform_(std::move(platform)),
      forwarder_(std::make_shared<EventForwarder>(std::move(onEvent))),
      link_(ReaderInterface::create(platform_)) {
    link_->setDelegate(forwarder_);
}

Session::~Session() {
    forwarder_->detach();
    forwarder_->onReady = nullptr;
    link_->setDelegate(nullptr);
}

void Session::open() {
    // Ready once: a later btReader (the adapter coming back) must not reconnect by itself.
    forwarder_->onReady = [weak = std::weak_ptr<ReaderInterface>(link_)] {
        if (auto link = weak.lock()) link->connectToReader();
    };
    if (link_->isReady()) {
        forwarder_->onReady = nullptr;
        link_->connectToReader();
    } else {
        link_->initializeBluetooth();
    }
    settle();
}

void Session::disconnect() {
    link_->disconnectFromReader();
    settle();
}

void Session::scan() {
    link_->scan();
    settle();
}

void Session::writeContact(const std::string& tag, const std::string& phone,
                           const std::string& email, int token) {
    link_->writeContact(email, phone, tag,
                        [forwarder = std::weak_ptr<EventForwarder>(forwarder_), token](
                            bool ok, OrvexContactStatus status) {
                            auto f = forwarder.lock();
                            if (!f) return;
                            val details = val::object();
                            details.set("token", token);
                            details.set("ok", ok);
                            details.set("status", std::string(to_string(status)));
                            f->emit("contactWritten", details);
                        });
    settle();
}

bool Session::isConnected() const { return link_->isConnected(); }

}  // namespace orvex::web
