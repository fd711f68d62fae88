// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace orvex::detail {

// How the BlueZ backend reaches org.bluez and how long it waits for it.
struct BluezOptions {
    // The bus that org.bluez lives on; absent: the system bus (DBUS_SYSTEM_BUS_ADDRESS
    // is honoured).
    std::optional<std::string> busAddress;
    // The adapter to use ("hci0"); empty: the first adapter found.
    std::string adapter;
    // A micro-app image file the integrator supplies; absent: the image built into the
    // library, if any. Nothing is ever made up.
    std::optional<std::string> microAppImagePath;

    // Time limits, so that no call waits for ever.
    std::chrono::milliseconds callTimeout{5000};      // discovery, notify, disconnect, tree reads
    std::chrono::milliseconds connectTimeout{20000};  // Device1.Connect
    std::chrono::milliseconds writeTimeout{5000};     // one WriteValue
    std::chrono::milliseconds resolveTimeout{8000};   // ServicesResolved after connecting
    std::chrono::milliseconds restartGrace{2000};     // org.bluez gone: wait this long for it
};

}  // namespace orvex::detail
