// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>

#include <emscripten/val.h>

#include "Session.hpp"
#include "platform/web/WebPlatform.hpp"

namespace orvex::web {

// A session with a real reader through Web Bluetooth: the device the user picked, or one the
// site was granted before.
class WebSession : public Session {
public:
    WebSession(emscripten::val device, emscripten::val glue, emscripten::val onEvent);
    void setMicroAppImage(const emscripten::val& bytes);

private:
    std::shared_ptr<WebPlatform> web_;
};

}  // namespace orvex::web
