#include "platform/DefaultPlatform.hpp"

#ifdef ORVEX_WITH_BLUEZ
#include "platform/bluez/BluezPlatform.hpp"
#else
#include "orvex/sim/SimPlatform.hpp"
#endif

namespace orvex::detail {

std::shared_ptr<platform::Platform> makeDefaultPlatform() {
#ifdef ORVEX_WITH_BLUEZ
    // Linux: BlueZ on the system bus, its first adapter.
    return makeBluezPlatform();
#else
    // Without a hardware backend: a real-time simulated adapter with no reader nearby, so
    // the link works and a search ends in connectionTimeout.
    return std::make_shared<sim::SimPlatform>(sim::Clock::realTime);
#endif
}

}  // namespace orvex::detail
