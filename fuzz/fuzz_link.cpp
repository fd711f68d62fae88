// SPDX-License-Identifier: Apache-2.0
// libFuzzer entry point: the reader link on the simulated platform (see LinkDriver.hpp).

#include "LinkDriver.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return orvex::fuzz::fuzzLink(data, size);
}
