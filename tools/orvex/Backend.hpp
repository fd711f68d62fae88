// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "orvex/platform/Platform.hpp"

// The platform of a real reader, chosen at run time.

namespace orvex::cli {

struct Backend {
    std::shared_ptr<platform::Platform> platform;
    // Stops the platform's threads, if it needs telling; called once, before the link is
    // dropped.
    std::function<void()> shutdown;
};

// The Bluetooth backend on `adapter` ("hci0"; empty: the first adapter), offering the
// micro-app image in `microAppImage` (a file) if given. Nothing, with a one-line reason in
// `error`, when it cannot be used on this machine.
std::optional<Backend> openBluetoothBackend(const std::string& adapter,
                                            const std::optional<std::string>& microAppImage,
                                            std::string& error);

}  // namespace orvex::cli
