// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>

#include "orvex/platform/Platform.hpp"

namespace orvex::detail {

// The platform of the process-wide link when the host chose none with
// ReaderInterface::usePlatform(). May be empty when this build has no usable backend;
// the link then stays not ready and does nothing.
std::shared_ptr<platform::Platform> makeDefaultPlatform();

}  // namespace orvex::detail
