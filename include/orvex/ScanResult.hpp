// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>

#include "orvex/Contact.hpp"
#include "orvex/Scan.hpp"

namespace orvex {

// A reading together with the owner contact read from the tag, if any.
struct ScanResult {
    std::shared_ptr<Scan> scan;
    std::shared_ptr<Contact> contact;
};

}  // namespace orvex
