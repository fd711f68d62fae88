// SPDX-License-Identifier: Apache-2.0
#include "Backend.hpp"

#include <algorithm>

#ifdef ORVEX_WITH_BLUEZ
#include "platform/bluez/BluezPlatform.hpp"
#endif

namespace orvex::cli {

std::optional<Backend> openBluetoothBackend(const std::string& adapter,
                                            const std::optional<std::string>& microAppImage,
                                            std::string& error) {
#ifdef ORVEX_WITH_BLUEZ
    detail::BluezOptions options;  // the system bus (DBUS_SYSTEM_BUS_ADDRESS is honoured)
    options.adapter = adapter;
    options.microAppImagePath = microAppImage;
    const auto check = detail::checkBluez(options);
    if (check.availability != detail::BluezAvailability::ready) {
        error = "BlueZ backend not available: " + check.message +
                " (use --sim for the simulated reader)";
        std::replace(error.begin(), error.end(), '\n', ' ');
        return std::nullopt;
    }
    // Its threads stop when the last reference goes, from whichever thread that is.
    return Backend{detail::makeBluezPlatform(std::move(options)), {}};
#else
    (void)adapter;
    (void)microAppImage;
    error =
        "BlueZ backend not available: this build has none (use --sim for the simulated "
        "reader)";
    return std::nullopt;
#endif
}

}  // namespace orvex::cli
