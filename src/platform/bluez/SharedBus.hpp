// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/bluez/BluezOptions.hpp"
#include "platform/bluez/BusClient.hpp"
#include "platform/bluez/TaskLoop.hpp"

namespace orvex::detail::bluez {

// The bus connection of one BlueZ platform, shared by all of its central managers: one
// connection and one bus thread however many links the host makes.
//
// Every signal is copied once on the bus thread and handed to every listener on the link
// queue, in the order it came; each central takes what concerns its own devices.
//
// BlueZ keeps one discovery session (and one discovery filter) per bus client, so
// discovery is counted here over the centrals: StartDiscovery goes out when the first one
// wants it, StopDiscovery when the last one no longer does. All centrals of a platform
// ask for the same filter (LE only), sent with each StartDiscovery.
class SharedBus : public std::enable_shared_from_this<SharedBus> {
public:
    using Listener = std::function<void(const BusEvent&)>;
    // Runs on the link queue with the error, or nullptr on success.
    using Outcome = std::function<void(const CallError*)>;

    // Connects (see BusClient::open) and starts the bus thread. Throws sdbus::Error when
    // the bus cannot be reached.
    static std::shared_ptr<SharedBus> open(std::shared_ptr<TaskLoop> queue,
                                           const BluezOptions& options);
    SharedBus(std::shared_ptr<TaskLoop> queue, std::chrono::milliseconds callTimeout);
    ~SharedBus();  // stops the bus thread and closes the connection
    SharedBus(const SharedBus&) = delete;
    SharedBus& operator=(const SharedBus&) = delete;

    BusClient& client() { return *client_; }
    bool isClosed() const { return client_->isClosed(); }

    // From any thread. `listener` runs on the link queue for every bus event from now on,
    // until it is removed (one already under way may still run). The id also names the
    // listener's want of discovery.
    unsigned listen(Listener listener);
    void unlisten(unsigned id);

    // Sends a call; `done` (may be empty) runs on the link queue with its outcome. A
    // failure is logged there.
    void call(const std::string& path, const std::string& interface, const std::string& method,
              const std::function<void(sdbus::MethodCall&)>& arguments,
              std::chrono::milliseconds timeout, Outcome done);

    // Discovery, on the link queue only. `started` runs once the session runs (at once
    // when it already does), or with the error that kept it from starting; it never runs
    // when `who` drops its want first, or when BlueZ ends discovery meanwhile (the adapter
    // powered off or gone, the daemon gone): every want ends then, as the session does.
    void wantDiscovery(unsigned who, const std::string& adapterPath, Outcome started);
    void dropDiscovery(unsigned who);

private:
    void deliver(const BusEvent& event);
    void noteDiscoveryEnd(const BusEvent& event);
    void endDiscovery();
    void discoveryAnswered(unsigned round, const CallError* error);

    std::shared_ptr<TaskLoop> queue_;
    std::chrono::milliseconds callTimeout_;

    std::mutex listenersMutex_;
    unsigned nextListener_ = 0;
    std::map<unsigned, std::shared_ptr<const Listener>> listeners_;

    // Link queue only.
    enum class Discovery { off, starting, running };
    Discovery discovery_ = Discovery::off;
    unsigned discoveryRound_ = 0;  // tells a stale StartDiscovery reply
    std::string discoveryAdapter_;
    std::set<unsigned> discoveryWanted_;
    std::map<unsigned, Outcome> waitingForStart_;

    std::unique_ptr<BusClient> client_;  // last: its thread stops before the rest goes
};

}  // namespace orvex::detail::bluez
