// SPDX-License-Identifier: Apache-2.0
#include "platform/DefaultPlatform.hpp"

#ifdef ORVEX_WITH_BLUEZ
#include "platform/bluez/BluezPlatform.hpp"
#endif

namespace orvex::detail {

std::shared_ptr<platform::Platform> makeDefaultPlatform() {
#ifdef ORVEX_WITH_BLUEZ
    // Linux: BlueZ on the system bus, its first adapter.
    return makeBluezPlatform();
#else
    // Without a hardware backend there is nothing to talk to; a host that wants the
    // simulator links orvex::sim and passes its platform to ReaderInterface::usePlatform().
    return nullptr;
#endif
}

}  // namespace orvex::detail
