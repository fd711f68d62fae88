// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

#include "platform/bluez/BusLoop.hpp"
#include "platform/bluez/Values.hpp"

namespace orvex::detail::bluez {

// One change seen on the bus, already copied out of the D-Bus message.
struct BusEvent {
    enum class Kind { interfacesAdded, interfacesRemoved, propertiesChanged, ownerChanged, closed };
    Kind kind = Kind::closed;
    std::string path;
    InterfaceMap added;                    // interfacesAdded
    std::vector<std::string> removed;      // interfacesRemoved
    std::string interface;                 // propertiesChanged
    PropMap changed;                       // propertiesChanged
    std::vector<std::string> invalidated;  // propertiesChanged
    std::string newOwner;                  // ownerChanged: empty when org.bluez left the bus
};

// The outcome of a method call: an error name (empty on success) and the reply.
struct CallError {
    std::string name;
    std::string message;
};

// A client connection to the bus that org.bluez lives on, with the signal subscriptions
// this backend needs and its own loop thread.
//
// The subscriptions are installed in open(), before the loop starts. Every signal and
// reply handler runs on the loop thread, copies what it needs and hands it on; none blocks
// and none lets an exception escape into sdbus-c++.
class BusClient {
public:
    using EventSink = std::function<void(BusEvent)>;
    // Runs on the loop thread with the reply (empty on error) or the error.
    using ReplyHandler = std::function<void(sdbus::MethodReply* reply, const CallError* error)>;

    // Connects to `address`, or to the system bus (DBUS_SYSTEM_BUS_ADDRESS honoured).
    // Throws sdbus::Error when the bus cannot be reached.
    static std::unique_ptr<BusClient> open(const std::optional<std::string>& address,
                                           EventSink sink);
    ~BusClient();  // stops the loop, cancels pending calls, closes the connection
    BusClient(const BusClient&) = delete;
    BusClient& operator=(const BusClient&) = delete;

    void start();

    // Sends a call to org.bluez without waiting; `done` runs once on the loop thread (or at
    // once, on the caller's thread, when the call cannot be sent).
    void call(const std::string& path, const std::string& interface, const std::string& method,
              const std::function<void(sdbus::MethodCall&)>& arguments,
              std::chrono::milliseconds timeout, ReplyHandler done);

    // The same through a proxy from proxyFor(). Reply handlers that send again call this
    // one: they run under sd-bus's lock, and proxyFor() takes a lock that is held while a
    // proxy is made (which takes sd-bus's).
    void call(sdbus::IProxy* proxy, const std::string& interface, const std::string& method,
              const std::function<void(sdbus::MethodCall&)>& arguments,
              std::chrono::milliseconds timeout, ReplyHandler done);
    // The proxy of an object of org.bluez, kept until the client goes. Throws sdbus::Error.
    sdbus::IProxy& proxyFor(const std::string& path);
    // proxyFor(), or nullptr when the bus is closed or the proxy cannot be made (a call
    // through nullptr then fails as on a closed bus).
    sdbus::IProxy* proxyIfOpen(const std::string& path) noexcept;

    bool isClosed() const { return loop_.isClosed(); }

private:
    BusClient(std::unique_ptr<sdbus::IConnection> connection, EventSink sink);
    void subscribe();
    void emit(BusEvent event) noexcept;

    std::unique_ptr<sdbus::IConnection> connection_;
    EventSink sink_;
    BusLoop loop_;
    std::vector<sdbus::Slot> matches_;
    std::mutex proxiesMutex_;
    std::map<std::string, std::unique_ptr<sdbus::IProxy>> proxies_;
};

}  // namespace orvex::detail::bluez
