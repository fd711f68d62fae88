// SPDX-License-Identifier: Apache-2.0
#include "platform/bluez/BluezPlatform.hpp"

#include <fstream>
#include <iterator>
#include <mutex>

#include <sdbus-c++/sdbus-c++.h>

#include "platform/bluez/Central.hpp"
#include "platform/bluez/SharedBus.hpp"
#include "platform/bluez/TaskLoop.hpp"
#include "platform/bluez/Values.hpp"

namespace orvex::detail {

namespace {

class BluezPlatform : public platform::Platform {
public:
    explicit BluezPlatform(BluezOptions options)
        : options_(std::move(options)),
          linkQueue_(std::make_shared<TaskLoop>("orvex-link")),
          main_(std::make_shared<TaskLoop>("orvex-main")) {}

    // The centrals share the link queue, and a block still running there may hold the last
    // of them; the queue would then end on its own thread, with nobody left to join it, and
    // the host could exit while it still runs. So the loops are stopped and joined here,
    // unless this runs on one of them (that one then ends by itself once its block is over).
    ~BluezPlatform() override {
        for (auto* loop : {linkQueue_.get(), main_.get()}) {
            if (!loop->isCurrent()) loop->stop();
        }
    }
    BluezPlatform(const BluezPlatform&) = delete;
    BluezPlatform& operator=(const BluezPlatform&) = delete;

    std::shared_ptr<platform::CentralManager> createCentralManager(
        std::weak_ptr<platform::CentralManagerDelegate> delegate) override {
        return bluez::Central::create(linkQueue_, options_, std::move(delegate),
                                      [this] { return sharedBus(); });
    }

    platform::Executor& linkQueue() override { return *linkQueue_; }
    platform::Executor& mainExecutor() override { return *main_; }

    std::shared_ptr<platform::Timer> scheduleTimer(double seconds, bool repeats,
                                                   std::function<void()> action) override {
        const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(seconds < 0 ? 0 : seconds));
        return linkQueue_->schedule(interval, repeats, std::move(action));
    }

    double now() const override {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    }

    std::optional<platform::Bytes> microAppImage() override {
        if (!options_.microAppImagePath) return std::nullopt;
        std::ifstream in(*options_.microAppImagePath, std::ios::binary);
        if (!in) return std::nullopt;
        platform::Bytes bytes((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
        if (in.bad()) return std::nullopt;
        return bytes;
    }

private:
    // The one connection of this platform's centrals, opened on first use. Once it has
    // broken (the bus went away), the next central gets a new one; the centrals on the
    // old one keep it until they go.
    std::shared_ptr<bluez::SharedBus> sharedBus() {
        std::lock_guard lock(busMutex_);
        if (!bus_ || bus_->isClosed()) bus_ = bluez::SharedBus::open(linkQueue_, options_);
        return bus_;
    }

    BluezOptions options_;
    std::shared_ptr<TaskLoop> linkQueue_;
    std::shared_ptr<TaskLoop> main_;
    std::mutex busMutex_;
    std::shared_ptr<bluez::SharedBus> bus_;  // kept while the platform lives
};

}  // namespace

std::shared_ptr<platform::Platform> makeBluezPlatform(BluezOptions options) {
    return std::make_shared<BluezPlatform>(std::move(options));
}

BluezCheck checkBluez(const BluezOptions& options, std::chrono::milliseconds timeout) {
    using namespace bluez;
    std::unique_ptr<sdbus::IConnection> connection;
    try {
        if (options.busAddress && !options.busAddress->empty()) {
            connection = sdbus::createSessionBusConnectionWithAddress(*options.busAddress);
        } else {
            connection = sdbus::createSystemBusConnection();
        }
    } catch (const sdbus::Error& e) {
        return {BluezAvailability::noBus, "cannot reach the system D-Bus: " + e.getMessage()};
    }
    DbusTree raw;
    try {
        auto proxy = sdbus::createProxy(*connection, SERVICE, "/");
        proxy->callMethod("GetManagedObjects")
            .onInterface(OBJECT_MANAGER)
            .withTimeout(timeout)
            .storeResultsTo(raw);
    } catch (const sdbus::Error& e) {
        if (e.getName() == "org.freedesktop.DBus.Error.AccessDenied") {
            return {BluezAvailability::unauthorized, "not allowed to talk to BlueZ (org.bluez)"};
        }
        if (e.getName() == "org.freedesktop.DBus.Error.NoReply") {
            return {BluezAvailability::noBluez, "BlueZ (org.bluez) does not answer"};
        }
        return {BluezAvailability::noBluez, "BlueZ (org.bluez) is not running"};
    }
    const auto tree = toTree(raw);
    for (const auto& [path, interfaces] : tree) {
        if (!interfaces.count(ADAPTER)) continue;
        if (options.adapter.empty() || path == "/org/bluez/" + options.adapter) {
            return {BluezAvailability::ready, "BlueZ adapter " + path.substr(path.rfind('/') + 1)};
        }
    }
    if (options.adapter.empty()) return {BluezAvailability::noAdapter, "no Bluetooth adapter"};
    return {BluezAvailability::noAdapter, "no Bluetooth adapter " + options.adapter};
}

}  // namespace orvex::detail
