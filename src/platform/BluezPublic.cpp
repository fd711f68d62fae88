// SPDX-License-Identifier: Apache-2.0
#include "orvex/bluez/Bluez.hpp"

#ifdef ORVEX_WITH_BLUEZ
#include "platform/bluez/BluezPlatform.hpp"
#endif

namespace orvex::bluez {

std::shared_ptr<platform::Platform> makePlatform(const Options& options, std::string* error) {
#ifdef ORVEX_WITH_BLUEZ
    detail::BluezOptions inner;
    inner.busAddress = options.busAddress;
    inner.adapter = options.adapter;
    inner.microAppImagePath = options.microAppImagePath;
    inner.callTimeout = options.callTimeout;
    inner.connectTimeout = options.connectTimeout;
    inner.writeTimeout = options.writeTimeout;
    inner.resolveTimeout = options.resolveTimeout;
    inner.restartGrace = options.restartGrace;
    const auto check = detail::checkBluez(inner, options.callTimeout);
    if (check.availability != detail::BluezAvailability::ready) {
        if (error) *error = check.message;
        return nullptr;
    }
    return detail::makeBluezPlatform(std::move(inner));
#else
    (void)options;
    if (error) *error = "this build has no BlueZ support";
    return nullptr;
#endif
}

}  // namespace orvex::bluez
