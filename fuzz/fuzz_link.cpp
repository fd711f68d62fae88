// SPDX-License-Identifier: Apache-2.0
// libFuzzer entry point: the reader link on the simulated platform (see LinkDriver.hpp).

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>

#include "LinkDriver.hpp"

namespace {

// libFuzzer's own memory limit runs on a thread of its own, and a second thread costs this
// target much: every reference count and lock of the simulated platform becomes an atomic
// operation. scripts/fuzz.sh turns that thread off (-rss_limit_mb=0) and the same limit,
// on the same figure (the peak resident size), is checked here after each input.
constexpr long kRssLimitMb = 2048;

void checkMemory() {
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) return;
    const long peakMb = usage.ru_maxrss / 1024;
    if (peakMb > kRssLimitMb) {
        std::fprintf(stderr, "fuzz_link: out of memory: peak resident size %ld MB exceeds %ld MB\n",
                     peakMb, kRssLimitMb);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int result = orvex::fuzz::fuzzLink(data, size);
    checkMemory();
    return result;
}
