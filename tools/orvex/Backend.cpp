// SPDX-License-Identifier: Apache-2.0
#include "Backend.hpp"

#include <algorithm>

#include "orvex/bluez/Bluez.hpp"

namespace orvex::cli {

std::optional<Backend> openBluetoothBackend(const std::string& adapter,
                                            const std::optional<std::string>& microAppImage,
                                            std::string& error) {
    bluez::Options options;  // the system bus (DBUS_SYSTEM_BUS_ADDRESS is honoured)
    options.adapter = adapter;
    options.microAppImagePath = microAppImage;
    std::string why;
    auto platform = bluez::makePlatform(options, &why);
    if (!platform) {
        error = "BlueZ backend not available: " + why + " (use --sim for the simulated reader)";
        std::replace(error.begin(), error.end(), '\n', ' ');
        return std::nullopt;
    }
    // Its threads stop when the last reference goes, from whichever thread that is.
    return Backend{std::move(platform), {}};
}

}  // namespace orvex::cli
