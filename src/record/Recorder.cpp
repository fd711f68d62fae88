// SPDX-License-Identifier: Apache-2.0
// The recorder: a platform decorator that writes what the wrapped platform delivers to the
// link as a replay script.

#include "orvex/record/Recorder.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include <fmt/format.h>

namespace orvex::record {

namespace {

using platform::Bytes;

std::string hex(const Bytes& bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    for (auto b : bytes) {
        if (!out.empty()) out += ' ';
        out += fmt::format("{:02X}", b);
    }
    return out;
}

// A script text: in double quotes, `"` and `\` escaped, other bytes outside printable
// ASCII as \xHH.
std::string scriptQuoted(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            out += fmt::format("\\x{:02X}", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string uuids(const std::vector<std::shared_ptr<platform::Service>>& list) {
    std::string out;
    for (const auto& s : list) out += " " + s->uuid().str();
    return out;
}

std::string uuids(const std::vector<std::shared_ptr<platform::Characteristic>>& list) {
    std::string out;
    for (const auto& c : list) out += " " + c->uuid().str();
    return out;
}

std::string stateName(platform::ManagerState state) {
    switch (state) {
        case platform::ManagerState::unknown:
            return "unknown";
        case platform::ManagerState::resetting:
            return "resetting";
        case platform::ManagerState::unsupported:
            return "unsupported";
        case platform::ManagerState::unauthorized:
            return "unauthorized";
        case platform::ManagerState::poweredOff:
            return "poweredOff";
        case platform::ManagerState::poweredOn:
            break;
    }
    return "poweredOn";
}

std::optional<Bytes> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
}

class RecordingPeripheral;

// The script being written and the clock that places its lines.
//
// Times are kept in whole microseconds of script (replay) time. A live event is written at
// its own time since the start, but never before a timer of the link that had already
// fired when it arrived, and never at or after one that had not: so the replay, which
// fires the link's timers by itself, fires each on the same side of each event.
class Core {
public:
    Core(std::shared_ptr<platform::Platform> inner, LineSink sink)
        : inner(std::move(inner)), sink_(std::move(sink)), start_(this->inner->now()) {}

    // Writes `line` at the present moment (after the wait that leads to it).
    void event(const std::string& line) {
        std::string wait;
        {
            std::lock_guard lock(mutex_);
            wait = advanceLocked();
        }
        if (!wait.empty()) emit(wait);
        emit(line);
    }

    // Writes only the wait up to now (at the end of the recording).
    void finish() {
        std::string wait;
        {
            std::lock_guard lock(mutex_);
            wait = advanceLocked();
        }
        if (!wait.empty()) emit(wait);
    }

    std::uint64_t timerArmed(double seconds, bool repeats) {
        std::lock_guard lock(mutex_);
        const auto interval =
            static_cast<std::int64_t>(std::llround(std::max(0.0, seconds) * 1e6));
        const std::uint64_t id = ++lastTimer_;
        timers_[id] = Timer{scriptUs_ + interval, interval, repeats};
        return id;
    }
    void timerFired(std::uint64_t id) {
        std::lock_guard lock(mutex_);
        auto it = timers_.find(id);
        if (it == timers_.end()) return;
        const std::int64_t due = it->second.due;
        // What the action arms counts from the moment the replay fires it.
        scriptUs_ = std::max(scriptUs_, due);
        floorUs_ = std::max(floorUs_, due + kMarginUs);
        if (it->second.repeats) {
            it->second.due += std::max<std::int64_t>(it->second.interval, 1);
        } else {
            timers_.erase(it);
        }
    }
    void timerStopped(std::uint64_t id) {
        std::lock_guard lock(mutex_);
        timers_.erase(id);
    }

    std::shared_ptr<RecordingPeripheral> wrap(const std::shared_ptr<platform::Peripheral>& p,
                                              const std::shared_ptr<Core>& self);

    // The initializeBluetooth line waits for the adapter state the new central reports
    // (the replay's adapter must hold that state before the line).
    int pendingInitializations = 0;

    const std::shared_ptr<platform::Platform> inner;

private:
    static constexpr std::int64_t kMarginUs = 2;
    struct Timer {
        std::int64_t due;
        std::int64_t interval;
        bool repeats;
    };

    std::string advanceLocked() {
        const auto live = static_cast<std::int64_t>(std::llround((inner->now() - start_) * 1e6));
        std::int64_t target = std::max({live, scriptUs_, floorUs_});
        std::int64_t cap = LLONG_MAX;
        for (const auto& [id, t] : timers_) cap = std::min(cap, t.due - kMarginUs);
        if (target > cap) target = std::max(cap, scriptUs_);
        if (target <= scriptUs_) return {};
        const std::int64_t step = target - scriptUs_;
        scriptUs_ = target;
        return fmt::format("wait {}.{:06}", step / 1000000, step % 1000000);
    }

    void emit(const std::string& line) {
        if (sink_) sink_(line);
    }

    LineSink sink_;
    const double start_;
    std::mutex mutex_;
    std::int64_t scriptUs_ = 0;
    std::int64_t floorUs_ = 0;
    std::uint64_t lastTimer_ = 0;
    std::map<std::uint64_t, Timer> timers_;

public:
    std::mutex peripheralsMutex;
    std::map<const platform::Peripheral*, std::weak_ptr<RecordingPeripheral>> peripherals;
};

class RecordingPeripheral : public platform::Peripheral,
                            public platform::PeripheralDelegate,
                            public std::enable_shared_from_this<RecordingPeripheral> {
public:
    RecordingPeripheral(std::shared_ptr<platform::Peripheral> inner, std::weak_ptr<Core> core)
        : inner(std::move(inner)), core_(std::move(core)) {}

    std::optional<std::string> name() const override { return inner->name(); }
    std::string identifier() const override { return inner->identifier(); }
    std::optional<int> rssi() const override { return inner->rssi(); }
    void setDelegate(std::weak_ptr<platform::PeripheralDelegate> delegate) override {
        {
            std::lock_guard lock(mutex_);
            delegate_ = std::move(delegate);
        }
        inner->setDelegate(weak_from_this());
    }
    void discoverServices(const std::vector<platform::Uuid>& services) override {
        inner->discoverServices(services);
    }
    void discoverCharacteristics(const std::vector<platform::Uuid>& characteristics,
                                 const std::shared_ptr<platform::Service>& service) override {
        inner->discoverCharacteristics(characteristics, service);
    }
    void setNotifyValue(bool enabled,
                        const std::shared_ptr<platform::Characteristic>& characteristic) override {
        inner->setNotifyValue(enabled, characteristic);
    }
    void writeValue(const Bytes& data, const std::shared_ptr<platform::Characteristic>& c,
                    platform::WriteType type) override {
        inner->writeValue(data, c, type);
    }

    void didDiscoverServices(const std::shared_ptr<platform::Peripheral>&,
                             const std::optional<platform::ServiceList>& services,
                             bool error) override {
        record(error      ? "services error"
               : services ? "services" + uuids(*services)
                          : "services none");
        if (auto d = delegate()) d->didDiscoverServices(shared_from_this(), services, error);
    }
    void didDiscoverCharacteristics(const std::shared_ptr<platform::Peripheral>&,
                                    const std::shared_ptr<platform::Service>& service,
                                    const std::optional<platform::CharacteristicList>& list,
                                    bool error) override {
        const std::string head = "characteristics " + service->uuid().str();
        record(error ? head + " error" : list ? head + uuids(*list) : head + " none");
        if (auto d = delegate()) {
            d->didDiscoverCharacteristics(shared_from_this(), service, list, error);
        }
    }
    void didUpdateValue(const std::shared_ptr<platform::Peripheral>&,
                        const std::shared_ptr<platform::Characteristic>& characteristic,
                        const Bytes& value) override {
        // An empty value cannot be written as a notify line; the link passes over it too.
        if (!value.empty()) record("notify on " + characteristic->uuid().str() + " " + hex(value));
        if (auto d = delegate()) d->didUpdateValue(shared_from_this(), characteristic, value);
    }

    const std::shared_ptr<platform::Peripheral> inner;

private:
    std::shared_ptr<platform::PeripheralDelegate> delegate() const {
        std::lock_guard lock(mutex_);
        return delegate_.lock();
    }
    void record(const std::string& line) {
        if (auto core = core_.lock()) core->event(line);
    }

    std::weak_ptr<Core> core_;
    mutable std::mutex mutex_;
    std::weak_ptr<platform::PeripheralDelegate> delegate_;
};

std::shared_ptr<RecordingPeripheral> Core::wrap(const std::shared_ptr<platform::Peripheral>& p,
                                                const std::shared_ptr<Core>& self) {
    std::lock_guard lock(peripheralsMutex);
    std::erase_if(peripherals, [](const auto& entry) { return entry.second.expired(); });
    auto& slot = peripherals[p.get()];
    auto wrapped = slot.lock();
    if (!wrapped) {
        wrapped = std::make_shared<RecordingPeripheral>(p, self);
        slot = wrapped;
    }
    return wrapped;
}

std::shared_ptr<platform::Peripheral> unwrap(const std::shared_ptr<platform::Peripheral>& p) {
    auto wrapped = std::dynamic_pointer_cast<RecordingPeripheral>(p);
    return wrapped ? wrapped->inner : p;
}

class RecordingCentral : public platform::CentralManager,
                         public platform::CentralManagerDelegate,
                         public std::enable_shared_from_this<RecordingCentral> {
public:
    RecordingCentral(std::shared_ptr<Core> core,
                     std::weak_ptr<platform::CentralManagerDelegate> delegate)
        : core_(std::move(core)), delegate_(std::move(delegate)) {}

    void start() { inner_ = core_->inner->createCentralManager(weak_from_this()); }

    platform::ManagerState state() const override { return inner_->state(); }
    void scanForPeripherals() override { inner_->scanForPeripherals(); }
    bool isScanning() const override { return inner_->isScanning(); }
    void stopScan() override { inner_->stopScan(); }
    void connect(const std::shared_ptr<platform::Peripheral>& p) override {
        inner_->connect(unwrap(p));
    }
    void cancelPeripheralConnection(const std::shared_ptr<platform::Peripheral>& p) override {
        inner_->cancelPeripheralConnection(unwrap(p));
    }

    void centralManagerDidUpdateState(platform::ManagerState state) override {
        if (!stateSeen_) {
            stateSeen_ = true;
            if (state != platform::ManagerState::poweredOn) core_->event("adapter " + stateName(state));
            if (auto image = core_->inner->microAppImage()) core_->event("image " + hex(*image));
            core_->event("host initializeBluetooth");
        } else {
            core_->event("adapter " + stateName(state));
        }
        if (auto d = delegate_.lock()) d->centralManagerDidUpdateState(state);
    }
    void didDiscover(const std::shared_ptr<platform::Peripheral>& p) override {
        const auto name = p->name();
        const auto id = p->identifier();
        core_->event("found " + (name ? scriptQuoted(*name) : std::string("-")) +
                     (id.empty() ? "" : " at " + id));
        forward(p, [](auto& d, const auto& w) { d.didDiscover(w); });
    }
    void didConnect(const std::shared_ptr<platform::Peripheral>& p) override {
        core_->event("connected");
        forward(p, [](auto& d, const auto& w) { d.didConnect(w); });
    }
    void didFailToConnect(const std::shared_ptr<platform::Peripheral>& p) override {
        core_->event("connectFailed");
        forward(p, [](auto& d, const auto& w) { d.didFailToConnect(w); });
    }
    void didDisconnect(const std::shared_ptr<platform::Peripheral>& p) override {
        core_->event("disconnected");
        forward(p, [](auto& d, const auto& w) { d.didDisconnect(w); });
    }

private:
    template <class F>
    void forward(const std::shared_ptr<platform::Peripheral>& p, F f) {
        auto d = delegate_.lock();
        if (!d) return;
        f(*d, std::static_pointer_cast<platform::Peripheral>(core_->wrap(p, core_)));
    }

    std::shared_ptr<Core> core_;
    std::weak_ptr<platform::CentralManagerDelegate> delegate_;
    std::shared_ptr<platform::CentralManager> inner_;
    bool stateSeen_ = false;  // link queue only
};

class RecordingTimer : public platform::Timer {
public:
    RecordingTimer(std::weak_ptr<Core> core, std::uint64_t id) : core_(std::move(core)), id_(id) {}
    void invalidate() override {
        if (auto core = core_.lock()) core->timerStopped(id_);
        if (auto t = inner.lock()) t->invalidate();
    }
    std::weak_ptr<platform::Timer> inner;
    std::shared_ptr<platform::Timer> held;

private:
    std::weak_ptr<Core> core_;
    std::uint64_t id_;
};

class RecordingPlatform : public platform::Platform {
public:
    RecordingPlatform(std::shared_ptr<platform::Platform> inner, LineSink sink)
        : core_(std::make_shared<Core>(std::move(inner), std::move(sink))) {}
    ~RecordingPlatform() override { core_->finish(); }

    std::shared_ptr<platform::CentralManager> createCentralManager(
        std::weak_ptr<platform::CentralManagerDelegate> delegate) override {
        auto central = std::make_shared<RecordingCentral>(core_, std::move(delegate));
        central->start();
        return central;
    }
    platform::Executor& linkQueue() override { return core_->inner->linkQueue(); }
    platform::Executor& mainExecutor() override { return core_->inner->mainExecutor(); }
    std::shared_ptr<platform::Timer> scheduleTimer(double seconds, bool repeats,
                                                   std::function<void()> action) override {
        const auto id = core_->timerArmed(seconds, repeats);
        auto timer = std::make_shared<RecordingTimer>(core_, id);
        auto inner = core_->inner->scheduleTimer(
            seconds, repeats, [weak = std::weak_ptr<Core>(core_), id, action = std::move(action)] {
                if (auto core = weak.lock()) core->timerFired(id);
                action();
            });
        timer->inner = inner;
        timer->held = std::move(inner);
        return timer;
    }
    double now() const override { return core_->inner->now(); }
    std::optional<Bytes> microAppImage() override { return core_->inner->microAppImage(); }

    void hostOperation(std::string_view operation,
                       const std::vector<std::string>& arguments) override {
        core_->inner->hostOperation(operation, arguments);
        const auto arg = [&](std::size_t i) {
            return i < arguments.size() ? scriptQuoted(arguments[i]) : std::string("\"\"");
        };
        if (operation == "initializeBluetooth") {
            return;  // written with the first adapter state of the new central
        } else if (operation == "writeContact") {
            core_->event("host writeContact " + arg(0) + " " + arg(1) + " " + arg(2));
        } else if (operation == "setReaderAddress") {
            core_->event("host readerAddress " + arg(0));
        } else if (operation == "setReaderName") {
            core_->event("host readerName " + arg(0));
        } else if (operation == "setMicroAppImagePath") {
            const auto image = arguments.empty() ? std::nullopt : readFile(arguments[0]);
            core_->event(image ? "image " + hex(*image) : std::string("image none"));
        } else {
            core_->event("host " + std::string(operation));
        }
    }

private:
    std::shared_ptr<Core> core_;
};

}  // namespace

std::shared_ptr<platform::Platform> recordTo(std::shared_ptr<platform::Platform> platform,
                                             LineSink sink) {
    if (!platform) return nullptr;
    return std::make_shared<RecordingPlatform>(std::move(platform), std::move(sink));
}

std::shared_ptr<platform::Platform> recordToFile(std::shared_ptr<platform::Platform> platform,
                                                 const std::string& path, std::string* error) {
    auto file = std::make_shared<std::ofstream>(path, std::ios::binary | std::ios::trunc);
    if (!*file) {
        if (error) *error = "cannot write " + path;
        return nullptr;
    }
    *file << "# A session recorded by orvex; run it with: orvex replay FILE\n";
    file->flush();
    return recordTo(std::move(platform), [file](std::string_view line) {
        file->write(line.data(), static_cast<std::streamsize>(line.size()));
        file->put('\n');
        file->flush();
    });
}

}  // namespace orvex::record
