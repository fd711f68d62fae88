#include "platform/DefaultPlatform.hpp"

#include "orvex/sim/SimPlatform.hpp"

namespace orvex::detail {

// Until a hardware backend is chosen here, the default is a real-time simulated adapter
// with no reader nearby: the link works, and a search ends in connectionTimeout.
std::shared_ptr<platform::Platform> makeDefaultPlatform() {
    return std::make_shared<sim::SimPlatform>(sim::Clock::realTime);
}

}  // namespace orvex::detail
