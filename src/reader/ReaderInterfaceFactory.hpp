// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>

#include "orvex/ReaderInterface.hpp"
#include "orvex/platform/Platform.hpp"

namespace orvex::detail {

// Builds a link on a given platform, outside the process-wide instance: for replay, the
// tests, the simulator and the tools. Not part of the installed headers.
struct ReaderInterfaceFactory {
    static std::unique_ptr<ReaderInterface> make(std::shared_ptr<platform::Platform> platform);
};

}  // namespace orvex::detail
