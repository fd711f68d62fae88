// SPDX-License-Identifier: Apache-2.0
// libFuzzer entry point: the contact codec and the reader message decoders (see
// CodecsDriver.hpp).

#include "CodecsDriver.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return orvex::fuzz::fuzzCodecs(data, size);
}
