// SPDX-License-Identifier: Apache-2.0
#include "orvex/Version.hpp"

namespace orvex {

// Compiled into the library, so these report the library's version even when a program
// was built against other headers.
const char* version() noexcept { return ORVEX_VERSION_STRING; }

int versionNumber() noexcept { return ORVEX_VERSION_NUMBER; }

}  // namespace orvex
