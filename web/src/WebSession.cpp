// SPDX-License-Identifier: Apache-2.0
#include "WebSession.hpp"

#include <utility>

#include "Values.hpp"

namespace orvex::web {

using emscripten::val;

WebSession::WebSession(val device, val glue, val onEvent)
    : Session(std::make_shared<WebPlatform>(std::move(device), std::move(glue)), std::move(onEvent)),
      web_(std::static_pointer_cast<WebPlatform>(platform_)) {}

void WebSession::setMicroAppImage(const val& bytes) {
    if (bytes.isUndefined() || bytes.isNull()) {
        web_->setMicroAppImage(std::nullopt);
    } else {
        web_->setMicroAppImage(toBytes(bytes));
    }
}

}  // namespace orvex::web
