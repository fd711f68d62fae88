// SPDX-License-Identifier: Apache-2.0
#pragma once

/// @file
/// A reading with its owner contact, ScanResult.

#include <memory>

#include "orvex/Contact.hpp"
#include "orvex/Scan.hpp"
#include "orvex/Export.hpp"

namespace orvex {

/// A reading together with the owner contact read from the tag, if any. A value: copies
/// share the Scan and the Contact, which the link does not change once reported.
struct ORVEX_EXPORT ScanResult {
    /// The reading; empty when nothing could be decoded.
    std::shared_ptr<Scan> scan;
    /// The owner contact read from the tag; empty when none was read (not yet, none
    /// stored, not readable, or a tag type that carries none).
    std::shared_ptr<Contact> contact;
};

}  // namespace orvex
