// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>

#include "orvex/Transponder.hpp"

namespace orvex {

// One reading: the transponder read and the moment it was decoded.
class Scan {
public:
    std::shared_ptr<Transponder> xpdr;
    // Seconds since the Unix epoch (on the simulated platform: its clock).
    double date = 0.0;
};

}  // namespace orvex
