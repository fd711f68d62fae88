// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <optional>

#include <emscripten/val.h>

#include "orvex/platform/Platform.hpp"

// The Web Bluetooth platform: the platform seam on a browser's navigator.bluetooth, for the
// WebAssembly build. The link, the executors and the timers all run on the page's event
// loop; the Bluetooth calls go through a thin JavaScript glue (web/lib/bluetooth.js), which
// answers through webBluetoothEvent().
namespace orvex::web {

class WebCore;

class WebPlatform : public platform::Platform {
public:
    // `device`: the BluetoothDevice the user picked (requestDevice) or the site was granted
    // before (getDevices). `glue`: the object of web/lib/bluetooth.js that talks to it.
    WebPlatform(emscripten::val device, emscripten::val glue);
    ~WebPlatform() override;

    std::shared_ptr<platform::CentralManager> createCentralManager(
        std::weak_ptr<platform::CentralManagerDelegate> delegate) override;
    platform::Executor& linkQueue() override;
    platform::Executor& mainExecutor() override;
    std::shared_ptr<platform::Timer> scheduleTimer(double seconds, bool repeats,
                                                   std::function<void()> action) override;
    double now() const override;
    std::optional<platform::Bytes> microAppImage() override;

    void setMicroAppImage(std::optional<platform::Bytes> image);

private:
    std::shared_ptr<WebCore> core_;
};

// What the glue reports: `peripheral` is the number the glue was handed with the request,
// `event` one of "connected", "connectFailed", "disconnected", "services", "characteristics",
// "value", and `details` the event's payload.
void webBluetoothEvent(int peripheral, const std::string& event, emscripten::val details);

}  // namespace orvex::web
