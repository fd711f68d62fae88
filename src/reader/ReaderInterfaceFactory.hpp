// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>

#include "orvex/ReaderInterface.hpp"
#include "orvex/platform/Platform.hpp"

namespace orvex::detail {

class Link;

// Builds a link on a given platform, outside the process-wide instance: for replay, the
// tests, the simulator and the tools. Not part of the installed headers.
struct ReaderInterfaceFactory {
    static std::unique_ptr<ReaderInterface> make(std::shared_ptr<platform::Platform> platform);

    // Drops a handle's reference to a closed link so that the link, and a platform that only
    // the link holds, end on the calling thread. A block on the link queue may still hold the
    // link for a moment; it is waited for, for a bounded time. Were the platform released by
    // that block instead, it would end on one of its own threads, which cannot join itself,
    // and the process could exit while that thread still ran. Not waited for when called
    // from inside one of the link's own delegate calls, which holds the link itself.
    static void release(std::shared_ptr<Link> link);
};

}  // namespace orvex::detail
