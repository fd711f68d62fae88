// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <emscripten/val.h>

#include "orvex/sim/SimReader.hpp"

namespace orvex::web {

// A simulated reader's make-up from the package's SimOptions (web/lib/index.d.ts); what
// is left out keeps the simulator's default.
sim::SimReaderConfig simReaderConfig(const emscripten::val& options);

}  // namespace orvex::web
