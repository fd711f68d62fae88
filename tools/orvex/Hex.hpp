// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvex::cli {

// Parses hex bytes such as "00 1E 89" or "001e89": white space may separate groups, each
// group holds an even number of hex digits (either case). Returns nothing for anything
// else (an odd group, a character that is not a hex digit) and sets `error` to a one-line
// reason when given. An empty or all-white text gives no bytes.
std::optional<std::vector<std::uint8_t>> parseHex(std::string_view text,
                                                  std::string* error = nullptr);

// The same over several arguments, read as if joined with spaces.
std::optional<std::vector<std::uint8_t>> parseHex(const std::vector<std::string>& args,
                                                  std::string* error = nullptr);

// Upper-case hex, bytes separated by single spaces ("00 1E 89").
std::string formatHex(std::span<const std::uint8_t> bytes);

}  // namespace orvex::cli
