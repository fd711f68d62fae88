// SPDX-License-Identifier: Apache-2.0
#pragma once

// std::from_chars for a double, also where the standard library has only the integer
// overloads (Emscripten's libc++): there the text is read with strtod in the "C" locale the
// library never changes. Same contract as std::from_chars for the plain decimal form.

#include <charconv>
#include <cstdlib>
#include <string>
#include <system_error>

namespace orvex::compat {

inline std::from_chars_result fromChars(const char* first, const char* last, double& value) {
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
    return std::from_chars(first, last, value);
#else
    const std::string text(first, last);
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (end == text.c_str()) return {first, std::errc::invalid_argument};
    value = parsed;
    return {first + (end - text.c_str()), std::errc()};
#endif
}

}  // namespace orvex::compat
