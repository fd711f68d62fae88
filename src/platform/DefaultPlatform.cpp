#include "platform/DefaultPlatform.hpp"

namespace orvex::detail {

std::shared_ptr<platform::Platform> makeDefaultPlatform() {
    return nullptr;
}

}  // namespace orvex::detail
