// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>

#include <emscripten/val.h>

#include "orvex/sim/SimReader.hpp"

namespace orvex::web {

class PageDeviceContext;

// The simulated reader on its own, without a simulated platform: the far side of a
// connection some other Bluetooth stands in for (a browser's Bluetooth emulation in the
// tests). Writes go in through write(); every notification the reader sends comes out
// through the JavaScript function given, as a Uint8Array; its delays run on the page's timers.
class ReaderDevice {
public:
    ReaderDevice(const emscripten::val& config, emscripten::val onNotify);
    ~ReaderDevice();
    ReaderDevice(const ReaderDevice&) = delete;
    ReaderDevice& operator=(const ReaderDevice&) = delete;

    // The central connected and switched the reader's notifications on.
    void connect();
    void write(const emscripten::val& bytes, bool withResponse);
    void disconnect();
    // The contact record stored on tag `index` of the make-up, or null.
    emscripten::val storedContact(int index) const;

private:
    std::shared_ptr<PageDeviceContext> context_;
    std::shared_ptr<sim::SimReader> reader_;
    sim::SimService service_;
};

}  // namespace orvex::web
