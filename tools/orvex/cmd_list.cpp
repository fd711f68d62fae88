// SPDX-License-Identifier: Apache-2.0
// orvex list: the Bluetooth LE devices nearby, with the readers among them marked, so that a
// user can pick one with --address.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "Backend.hpp"
#include "Commands.hpp"
#include "Events.hpp"
#include "ReaderOptions.hpp"
#include "orvex/ReaderInterface.hpp"
#include "orvex/platform/Platform.hpp"
#include "orvex/sim/SimPlatform.hpp"
#include "orvex/sim/SimReader.hpp"

namespace orvex::cli {

namespace {

struct ListArgs {
    bool sim = false;
    std::string adapter;
    double duration = 5.0;
    bool json = false;
    std::vector<std::string> simAddresses;
    SimKnobs knobs;
};

struct Sighting {
    std::string identifier;
    std::optional<std::string> name;
    std::optional<int> rssi;
};

// Collects what the central manager reports, on its queue, for the command's thread.
class Listener : public platform::CentralManagerDelegate {
public:
    void centralManagerDidUpdateState(platform::ManagerState state) override {
        std::lock_guard lock(mutex_);
        state_ = state;
        changed_.notify_all();
    }
    void didDiscover(const std::shared_ptr<platform::Peripheral>& peripheral) override {
        std::lock_guard lock(mutex_);
        seen_.push_back({peripheral->identifier(), peripheral->name(), peripheral->rssi()});
        changed_.notify_all();
    }
    void didConnect(const std::shared_ptr<platform::Peripheral>&) override {}
    void didFailToConnect(const std::shared_ptr<platform::Peripheral>&) override {}
    void didDisconnect(const std::shared_ptr<platform::Peripheral>&) override {}

    // Waits until `deadline` for a state other than unknown/resetting; returns the state.
    platform::ManagerState waitForState(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        changed_.wait_until(lock, deadline, [this] {
            return state_ != platform::ManagerState::unknown &&
                   state_ != platform::ManagerState::resetting;
        });
        return state_;
    }

    // The sightings so far that were not taken yet; waits a little for new ones.
    std::vector<Sighting> take(std::chrono::steady_clock::time_point until) {
        std::unique_lock lock(mutex_);
        changed_.wait_until(lock, until, [this] { return !seen_.empty(); });
        std::vector<Sighting> out(seen_.begin(), seen_.end());
        seen_.clear();
        return out;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    platform::ManagerState state_ = platform::ManagerState::unknown;
    std::deque<Sighting> seen_;
};

void print(const Sighting& s, bool json) {
    const bool reader = s.name && ReaderInterface::isReaderName(*s.name);
    if (json) {
        nlohmann::ordered_json out{{"address", s.identifier},
                                   {"name", s.name ? nlohmann::ordered_json(*s.name) : nullptr},
                                   {"rssi", s.rssi ? nlohmann::ordered_json(*s.rssi) : nullptr},
                                   {"reader", reader}};
        fmt::print("{}\n", out.dump());
    } else {
        fmt::print("{:<17}  {:>8}  {:<6}  {}\n", s.identifier,
                   s.rssi ? fmt::format("{} dBm", *s.rssi) : "?", reader ? "reader" : "-",
                   s.name ? *s.name : "(no name)");
    }
    std::fflush(stdout);
}

int runList(const ListArgs& args) {
    installInterruptHandlers();
    std::shared_ptr<platform::Platform> platform;
    std::shared_ptr<sim::SimPlatform> simPlatform;
    if (args.sim) {
        simPlatform = std::make_shared<sim::SimPlatform>(sim::Clock::realTime);
        sim::addNearbyPeripherals(*simPlatform);
        const std::vector<std::string> addresses =
            args.simAddresses.empty() ? std::vector<std::string>{""} : args.simAddresses;
        for (const auto& address : addresses) {
            sim::SimReaderConfig config;
            applySimKnobs(args.knobs, config);
            config.address = address;
            sim::SimReader::attach(*simPlatform, config);
        }
        platform = simPlatform;
    } else {
        std::string error;
        auto backend = openBluetoothBackend(args.adapter, std::nullopt, error);
        if (!backend) {
            printError("list", error);
            return kExitUsage;
        }
        platform = backend->platform;
    }

    auto listener = std::make_shared<Listener>();
    auto central = platform->createCentralManager(listener);
    const auto start = std::chrono::steady_clock::now();
    const auto state = listener->waitForState(start + std::chrono::seconds(10));
    int exitCode = 0;
    if (state != platform::ManagerState::poweredOn) {
        printError("list", state == platform::ManagerState::poweredOff
                               ? "the Bluetooth adapter is off"
                               : "the Bluetooth adapter is not usable");
        exitCode = kExitFailed;
    } else {
        if (!args.json) fmt::print("{:<17}  {:>8}  {:<6}  {}\n", "ADDRESS", "RSSI", "READER", "NAME");
        platform->linkQueue().post([central] { central->scanForPeripherals(); });
        const auto end =
            std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                   std::chrono::duration<double>(args.duration));
        while (std::chrono::steady_clock::now() < end && !interruptRequested()) {
            const auto step = std::min(end, std::chrono::steady_clock::now() +
                                                std::chrono::milliseconds(100));
            for (const auto& s : listener->take(step)) print(s, args.json);
        }
        platform->linkQueue().post([central] { central->stopScan(); });
    }
    // Stop the platform's threads before what they call into goes.
    if (simPlatform) simPlatform->shutdown();
    central.reset();
    return exitCode;
}

}  // namespace

void addListCommand(CLI::App& app, CommandContext& ctx) {
    auto args = std::make_shared<ListArgs>();
    auto* list = app.add_subcommand(
        "list",
        "List the Bluetooth LE devices nearby for a few seconds: address, signal strength, "
        "whether the link would take it for a reader by its name, and name");
    auto* sim = list->add_flag("--sim", args->sim, "List a simulated room instead of a real one");
    list->add_option("--adapter", args->adapter,
                     "Bluetooth adapter, e.g. hci0 (default: the first one)")
        ->excludes(sim);
    list->add_option("--duration", args->duration, "Seconds to listen")
        ->check(numberFrom(0.1, 3600))
        ->capture_default_str();
    list->add_flag("--json", args->json,
                   "One JSON object per device: {\"address\", \"name\", \"rssi\", \"reader\"}");
    list->add_option("--sim-address", args->simAddresses,
                     "Address of a simulated reader; repeat it for several readers")
        ->check(addressValidator())
        ->group("Simulated reader")
        ->needs(sim);
    for (auto* option : addSimKnobs(*list, args->knobs)) option->needs(sim);
    list->callback([args, &ctx] { ctx.exitCode = runList(*args); });
}

}  // namespace orvex::cli
