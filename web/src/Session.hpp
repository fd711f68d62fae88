// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <emscripten/val.h>

#include "orvex/ReaderInterface.hpp"
#include "orvex/platform/Platform.hpp"

namespace orvex::web {

class EventForwarder;

// One link on one platform, seen from JavaScript: the operations of ReaderInterface, and every
// delegate call handed to one JavaScript function as (name, details). The JavaScript side
// (web/lib) turns those events into promises and async iterators.
class Session {
public:
    Session(std::shared_ptr<platform::Platform> platform, emscripten::val onEvent);
    virtual ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // initializeBluetooth(), then connectToReader() once the adapter is usable.
    void open();
    void disconnect();
    void scan();
    // Ends with the event "contactWritten" carrying `token`, whatever the outcome.
    void writeContact(const std::string& tag, const std::string& phone, const std::string& email,
                      int token);
    bool isConnected() const;

protected:
    // Lets the platform's queue run what the last call posted (the simulator's virtual-time
    // loop needs it; a browser platform runs by itself).
    virtual void settle() {}
    std::shared_ptr<platform::Platform> platform_;

private:
    std::shared_ptr<EventForwarder> forwarder_;
    std::shared_ptr<ReaderInterface> link_;
};

}  // namespace orvex::web
