// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/bluez/BusClient.hpp"
#include "platform/bluez/Values.hpp"

namespace orvex::detail::bluez {

// The pieces of one write stream, sent to a characteristic by WriteValue calls in order.
//
// At most `window` calls are in flight: 1 for write requests (BlueZ refuses a second
// request in flight with InProgress), more for write commands. The first pieces go out from
// the thread that calls start(); each reply is handled on the bus thread, which sends the
// next piece at once, so a stream of many pieces does not make a trip through the link
// queue between two of them. After the first failure no further piece is sent (the rest
// would only garble the stream). `ended` runs once, on the bus thread (or on the caller's,
// when the bus is already gone), when the last call has been answered; it gets the first
// error, if any.
//
// Sending stops too, without an error, once `alive` has expired: the writes it belonged to
// were dropped with the connection.
class WriteValueStream : public std::enable_shared_from_this<WriteValueStream> {
public:
    using Ended = std::function<void(const std::optional<CallError>& error)>;

    // `proxy` is the characteristic's, from client.proxyIfOpen() (nullptr: the bus is gone).
    WriteValueStream(BusClient& client, sdbus::IProxy* proxy, std::vector<Bytes> pieces,
                     bool withResponse, unsigned window, std::chrono::milliseconds timeout,
                     std::weak_ptr<const void> alive, Ended ended);

    void start() { pump(); }

private:
    void pump();
    void send(std::size_t index);
    void answered(const CallError* error);

    // The client outlives every reply handler it runs (they run on its loop thread), and
    // start() is called by an owner of the bus.
    BusClient& client_;
    sdbus::IProxy* const proxy_;
    const std::vector<Bytes> pieces_;
    const char* const type_;
    const unsigned window_;
    const std::chrono::milliseconds timeout_;
    const std::weak_ptr<const void> alive_;
    const Ended ended_;

    // Never held while calling into sd-bus: a reply handler runs under sd-bus's own lock.
    std::mutex mutex_;
    std::size_t next_ = 0;
    unsigned inFlight_ = 0;
    bool sending_ = false;  // one thread at a time sends, so the pieces leave in order
    bool stopped_ = false;
    bool reported_ = false;
    std::optional<CallError> error_;
};

}  // namespace orvex::detail::bluez
