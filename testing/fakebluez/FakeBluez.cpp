// SPDX-License-Identifier: Apache-2.0
#include "fakebluez/FakeBluez.hpp"

#include <poll.h>
#include <sys/prctl.h>

#include <algorithm>
#include <future>
#include <stdexcept>

#include "fakebluez/FakeImpl.hpp"

namespace orvex::detail::bluez {

namespace {

constexpr auto SYNC_LIMIT = std::chrono::seconds(5);

// The simulated reader's handle on the fake: its clock and loop are the fake's, its
// notifications become Value changes of the notify characteristic.
class NoTimer : public platform::Timer {
public:
    void invalidate() override {}
};

class ReaderContext : public sim::SimDeviceContext {
public:
    ReaderContext(std::weak_ptr<FakeBluez::Impl> fake, std::weak_ptr<TaskLoop> queue)
        : fake_(std::move(fake)), queue_(std::move(queue)) {}

    void notify(const platform::Uuid& characteristic, platform::Bytes value) override {
        post([fake = fake_, characteristic, value = std::move(value)] {
            if (auto s = fake.lock()) s->notifyValue(characteristic, value);
        });
    }
    void disconnect() override {
        post([fake = fake_] {
            if (auto s = fake.lock()) s->dropLink();
        });
    }
    void setAdvertising(bool) override {}
    bool isConnected() const override {
        auto s = fake_.lock();
        return s && s->connectedFlag.load();
    }
    bool isNotifying(const platform::Uuid&) const override {
        auto s = fake_.lock();
        return s && s->notifyingFlag.load();
    }
    std::shared_ptr<platform::Timer> schedule(double seconds,
                                              std::function<void()> action) override {
        auto queue = queue_.lock();
        if (!queue) return std::make_shared<NoTimer>();
        return queue->schedule(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                   std::chrono::duration<double>(seconds)),
                               false, std::move(action));
    }
    void post(std::function<void()> action) override {
        if (auto queue = queue_.lock()) queue->post(std::move(action));
    }
    double now() const override {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

private:
    std::weak_ptr<FakeBluez::Impl> fake_;
    std::weak_ptr<TaskLoop> queue_;
};

}  // namespace

std::vector<FakeDeviceConfig> FakeConfig::defaultNearby() {
    return {
        {"4C:1F:00:00:00:01", "Galaxy Buds2 (4C1F)", false, false, -70},
        {"6A:00:00:00:00:02", std::nullopt, false, false, -85},
        {"E8:00:00:00:00:03", "Mi Smart Band 6", true, false, -66},
        {"A4:00:00:00:00:04", "[TV] Living Room", false, true, -75},
        {"D0:00:00:00:00:05", "kx-bt4 charging dock", false, false, -58},
    };
}

std::string FakeBluez::readerPath(const FakeConfig& config) {
    if (!config.reader) return {};
    std::string tail = config.reader->device.address;
    for (auto& c : tail) {
        if (c == ':') c = '_';
    }
    return "/org/bluez/" + config.adapter + "/dev_" + tail;
}

void FakeBluez::Impl::sync(const std::function<void(Impl&)>& f) {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    queue->post([this, &f, done] {
        try {
            f(*this);
            done->set_value();
        } catch (...) {
            done->set_exception(std::current_exception());
        }
    });
    if (future.wait_for(SYNC_LIMIT) != std::future_status::ready) {
        throw std::runtime_error("fake org.bluez: its loop did not answer in time");
    }
    future.get();
}

void FakeBluez::Impl::record(std::string call) {
    std::lock_guard lock(recordMutex);
    calls.push_back(std::move(call));
}

FakeBluez::FakeBluez(std::string busAddress, FakeConfig config) : impl_(std::make_shared<Impl>()) {
    impl_->config = std::move(config);
    impl_->address = std::move(busAddress);
    impl_->powered = impl_->config.powered;
    if (impl_->config.reader) {
        auto& reader = *impl_->config.reader;
        auto simConfig = reader.reader;
        simConfig.name = reader.device.name.value_or(simConfig.name);
        // A notification never carries more than one ATT payload.
        simConfig.notificationSize =
            std::min(simConfig.notificationSize, static_cast<std::size_t>(reader.mtu) - 3);
        impl_->connectMode = reader.connect;
        impl_->reader = std::make_shared<sim::SimReader>(std::move(simConfig));
        impl_->context = std::make_shared<ReaderContext>(impl_, impl_->queue);
        impl_->reader->attached(impl_->context);
    }
    impl_->makeExtras(impl_);
    try {
        impl_->sync([](Impl& s) {
            // The readers' answer delays are timed on this loop: with the default timer slack
            // (50 us) every answer would come late by up to that, which a real reader's radio
            // does not add. Only this thread is affected.
            ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
            s.startBus();
        });
    } catch (const std::exception& e) {
        impl_->sync([](Impl& s) { s.stopBus(); });
        throw std::runtime_error(std::string("fake org.bluez: ") + e.what());
    }
}

FakeBluez::~FakeBluez() {
    try {
        impl_->sync([](Impl& s) {
            s.stopAdvertising();
            s.stopBus();
        });
        impl_->sync([](Impl&) {});  // what stopBus left behind it is done with
    } catch (...) {
    }
    impl_->poller.reset();  // no packet is handed on any more
    // The loop stops here, so nothing it holds runs against a half-destroyed fake.
    impl_->queue.reset();
}

bool FakeBluez::busLost() const {
    return impl_->busLost.load();
}

void FakeBluez::setPowered(bool powered) {
    impl_->sync([powered](Impl& s) { s.setPowered(powered); });
}

void FakeBluez::removeAdapter() {
    impl_->sync([](Impl& s) {
        if (!s.adapterPresent) return;
        s.dropLink();
        s.dropExtras(false);
        s.discoverySessions.clear();
        s.stopAdvertising();
        s.readerPresent = false;
        s.removeUnder(s.adapterPath);
        s.adapterPresent = false;
    });
}

void FakeBluez::dropConnection() {
    impl_->sync([](Impl& s) { s.dropLink(); });
}

void FakeBluez::removeReaderDevice() {
    impl_->sync([](Impl& s) {
        s.dropLink();
        s.readerPresent = false;
        s.removeUnder(s.readerPath);
    });
}

void FakeBluez::setConnectBehaviour(FakeConnect connect) {
    impl_->sync([connect](Impl& s) { s.connectMode = connect; });
}

void FakeBluez::setWriteReplyDelay(std::chrono::milliseconds delay) {
    impl_->sync([delay](Impl& s) {
        s.writeReplyDelay = delay;
        s.closeDirectWrites();
    });
}

void FakeBluez::failWriteValue(std::size_t nth) {
    impl_->sync([nth](Impl& s) {
        s.writesUntilFailure = nth;
        s.closeDirectWrites();
    });
}

void FakeBluez::notify(std::vector<std::uint8_t> value) {
    impl_->sync([value = std::move(value)](Impl& s) { s.notifyValue(s.notifyUuid, value); });
}

void FakeBluez::stopService() {
    impl_->sync([](Impl& s) {
        if (s.connected) {
            s.connected = false;
            s.connectedFlag = false;
            s.notifying = false;
            s.notifyingFlag = false;
            if (s.reader) s.reader->onDisconnect();
        }
        s.dropExtras(false);
        s.discoverySessions.clear();
        for (auto& timer : s.advertiseTimers) timer->invalidate();
        s.advertiseTimers.clear();
        s.stopBus();
    });
}

void FakeBluez::startService() {
    impl_->sync([](Impl& s) {
        if (!s.connection) s.startBus();
    });
}

std::shared_ptr<sim::SimReader> FakeBluez::reader() const {
    return impl_->reader;
}

std::vector<FakeWrite> FakeBluez::writes() const {
    std::lock_guard lock(impl_->recordMutex);
    return impl_->writes;
}

std::vector<std::string> FakeBluez::calls() const {
    std::lock_guard lock(impl_->recordMutex);
    return impl_->calls;
}

std::size_t FakeBluez::ignoredWrites() const {
    std::lock_guard lock(impl_->recordMutex);
    return impl_->ignoredWrites;
}

std::size_t FakeBluez::refusedWrites() const {
    std::lock_guard lock(impl_->recordMutex);
    return impl_->refusedWrites;
}

int FakeBluez::acquiredSockets() const {
    std::lock_guard lock(impl_->socketMutex);
    int open = 0;
    for (int fd : {impl_->writeSocketFd, impl_->notifySocketFd}) {
        if (fd < 0) continue;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, 0) >= 0 && !(p.revents & (POLLHUP | POLLERR | POLLNVAL))) ++open;
    }
    return open;
}

bool FakeBluez::isConnected() const {
    return impl_->connectedFlag.load();
}
bool FakeBluez::isNotifying() const {
    return impl_->notifyingFlag.load();
}

std::size_t FakeBluez::discoveryClients() const {
    std::size_t clients = 0;
    impl_->sync([&clients](Impl& s) { clients = s.discoverySessions.size(); });
    return clients;
}

std::vector<std::chrono::steady_clock::time_point> FakeBluez::notificationTimes() const {
    std::lock_guard lock(impl_->recordMutex);
    return impl_->notificationTimes;
}

}  // namespace orvex::detail::bluez
