// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <orvex/sim/SimReader.hpp>

#include "ReaderOptions.hpp"

namespace orvex::cli {

// What `orvex peripheral` was asked for.
struct PeripheralArgs {
    std::string adapter = "hci0";
    std::string layout = "uart";
    SimKnobs knobs;
    bool noTag = false;
    bool noContact = false;
    bool readOnlyTag = false;
    unsigned battery = sim::SimReaderConfig{}.batteryRaw;
    std::size_t storedReadings = sim::SimReaderConfig::defaultStoredReadings().size();
    bool staleMicroApp = false;
    std::string version = sim::SimReaderConfig{}.version;
    bool ignorePings = false;
    std::size_t disconnectAtFrame = 0;
    std::size_t disconnectAtSlice = 0;
    bool disconnectOnContactWrite = false;
    std::uint64_t randomStart = 1;
    bool noWriteWithoutResponse = false;
};

// Serves the simulated reader as a BLE peripheral until SIGINT or SIGTERM; the command's exit
// code. Defined with the BlueZ backend (PeripheralServe.cpp) or, in the tool that leaves BlueZ
// to its helper, by running the helper (BluezHelper.cpp).
int servePeripheral(const PeripheralArgs& args);

}  // namespace orvex::cli
