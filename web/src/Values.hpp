// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <vector>

#include <emscripten/val.h>

#include "orvex/ScanResult.hpp"

namespace orvex::web {

// A reading as JavaScript sees it: { id, type, typeName, date, contact: { phone, email } | null }.
emscripten::val toJs(const ScanResult& result);
// A Uint8Array holding a copy of the bytes.
emscripten::val toUint8Array(const std::vector<std::uint8_t>& bytes);
// The bytes of a Uint8Array, an ArrayBuffer, a DataView or an array of numbers.
std::vector<std::uint8_t> toBytes(const emscripten::val& bytes);

}  // namespace orvex::web
