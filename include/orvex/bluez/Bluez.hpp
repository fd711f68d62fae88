// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "orvex/platform/Platform.hpp"
#include "orvex/Export.hpp"

/// \file
/// The Linux backend: BlueZ (bluetoothd) over D-Bus, for a host that picks the adapter,
/// the bus or the time limits itself.
///
/// \code
/// orvex::bluez::Options options;
/// options.adapter = "hci1";
/// std::string why;
/// auto platform = orvex::bluez::makePlatform(options, &why);
/// if (!platform) { std::cerr << why << '\n'; return 2; }
/// orvex::ReaderInterface::usePlatform(platform);       // the process-wide link, or
/// auto link = orvex::ReaderInterface::create(platform);  // a link of its own
/// \endcode

namespace orvex::bluez {

/// How the backend reaches org.bluez and how long it waits for it.
struct ORVEX_EXPORT Options {
    /// The D-Bus address of the bus org.bluez lives on ("unix:path=..."). Absent: the
    /// system bus (DBUS_SYSTEM_BUS_ADDRESS is honoured).
    std::optional<std::string> busAddress;
    /// The adapter to use, such as "hci1". Empty: the first adapter BlueZ lists.
    std::string adapter;
    /// A micro-app image file offered to a reader that asks for an update. Absent: the
    /// image built into the library, if any. Nothing is ever made up.
    std::optional<std::string> microAppImagePath;

    /// Longest wait for discovery, notification and disconnection calls and tree reads.
    std::chrono::milliseconds callTimeout{5000};
    /// Longest wait for Device1.Connect.
    std::chrono::milliseconds connectTimeout{20000};
    /// Longest wait for one acknowledged GATT write.
    std::chrono::milliseconds writeTimeout{5000};
    /// Longest wait, after connecting, for the reader's services to be resolved.
    std::chrono::milliseconds resolveTimeout{8000};
    /// How long to wait for bluetoothd to come back after it left the bus.
    std::chrono::milliseconds restartGrace{2000};
};

/// Makes a BlueZ platform, for ReaderInterface::usePlatform() or ReaderInterface::create().
///
/// It asks org.bluez once (bounded by `options.callTimeout`) whether the backend can work:
/// the bus is reachable, bluetoothd answers and the adapter exists (powered or not). When
/// it cannot, it returns nullptr and, if `error` is given, one line for a person in
/// `*error` (such as "no Bluetooth adapter hci1" or "not allowed to talk to BlueZ
/// (org.bluez)"). A build without BlueZ support always returns nullptr.
///
/// Every link made on the returned platform shares its threads: one link queue thread and
/// one thread for contact-write completions, and one D-Bus connection with its own thread,
/// opened when the first link starts. BlueZ keeps one discovery session per connection: it
/// runs while any of the links searches and stops with the last one. All of them stop once
/// the last link and the last reference to the platform are gone.
ORVEX_EXPORT std::shared_ptr<platform::Platform> makePlatform(const Options& options,
                                                              std::string* error = nullptr);

}  // namespace orvex::bluez
