// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "orvex/platform/Platform.hpp"
#include "platform/bluez/BluezOptions.hpp"

// The Linux backend: BlueZ over D-Bus.
//
//   auto check = orvex::detail::checkBluez(options);          // optional, before use
//   if (check.availability != BluezAvailability::ready) { print check.message; exit 2; }
//   orvex::ReaderInterface::usePlatform(orvex::detail::makeBluezPlatform(options));

namespace orvex::detail {

// A platform whose central managers talk to org.bluez on `options.busAddress` (the system
// bus by default). It owns the link queue (a worker thread with steady-clock timers) and a
// main executor (another worker thread); now() is the wall clock; the micro-app image is
// the file named in the options, or nothing. Its central managers (one per link) share one
// bus connection with one bus thread, opened when the first of them is made and closed
// when the platform and all of them are gone.
std::shared_ptr<platform::Platform> makeBluezPlatform(BluezOptions options = {});

enum class BluezAvailability {
    ready,         // org.bluez answers and the adapter exists (powered or not)
    noBus,         // the bus cannot be reached
    noBluez,       // nobody owns org.bluez
    noAdapter,     // BlueZ runs but has no adapter (or not the one named)
    unauthorized,  // the bus policy refuses us
};

struct BluezCheck {
    BluezAvailability availability = BluezAvailability::noBus;
    std::string message;  // one line for a person, e.g. "no Bluetooth adapter hci1"
};

// Asks org.bluez once, synchronously, whether the backend can work. Bounded by `timeout`.
BluezCheck checkBluez(const BluezOptions& options,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

}  // namespace orvex::detail
