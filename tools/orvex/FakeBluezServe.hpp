// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

#include "ReaderOptions.hpp"

namespace orvex::cli {

// What `orvex fake-bluez` was asked for.
struct FakeArgs {
    SimKnobs knobs;
    std::string service = "uart";
    std::string adapter = "hci0";
    unsigned mtu = 23;
    bool stale = false;
    std::string readerState = "advertising";
    bool noSockets = false;
};

// Serves the fake org.bluez until SIGINT or SIGTERM; the command's exit code. Defined with
// the BlueZ backend (FakeBluezServe.cpp) or, in the tool that leaves it to its helper, by
// running the helper (BluezHelper.cpp).
int serveFakeBluez(const FakeArgs& args);

}  // namespace orvex::cli
