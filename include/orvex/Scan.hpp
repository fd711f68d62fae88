// SPDX-License-Identifier: Apache-2.0
#pragma once

/// @file
/// One reading, Scan.

#include <memory>

#include "orvex/Transponder.hpp"
#include "orvex/Export.hpp"

namespace orvex {

/// One reading: the transponder read and the moment it was decoded. The link does not
/// change it after handing it to the host.
class ORVEX_EXPORT Scan {
public:
    /// The transponder read; empty when the reading could not be decoded.
    std::shared_ptr<Transponder> xpdr;
    /// When the reading was decoded: seconds since the Unix epoch (on the simulated
    /// platform in virtual time, seconds on its clock).
    double date = 0.0;
};

}  // namespace orvex
