// SPDX-License-Identifier: Apache-2.0
#include "reader/ReaderInterfaceFactory.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "reader/Link.hpp"
#include "reader/Logging.hpp"

namespace orvex::detail {

namespace {

// Long enough for any block of the link queue (none of them blocks); a bound all the same,
// so that a host that lets go from an unexpected place still gets its thread back.
constexpr auto RELEASE_WAIT = std::chrono::seconds(5);

// Heard when the link has been destroyed, on whichever thread dropped it last.
struct LinkEnd {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
};

// Destroys the link, then tells a handle waiting in release() that it is gone.
struct LinkDeleter {
    std::shared_ptr<LinkEnd> end;

    void operator()(Link* link) const {
        delete link;
        std::lock_guard lock(end->mutex);
        end->done = true;
        end->ended.notify_all();
    }
};

}  // namespace

std::unique_ptr<ReaderInterface> ReaderInterfaceFactory::make(
    std::shared_ptr<platform::Platform> platform) {
    std::shared_ptr<Link> link(new Link(std::move(platform)),
                               LinkDeleter{std::make_shared<LinkEnd>()});
    return std::unique_ptr<ReaderInterface>(new ReaderInterface(std::move(link)));
}

void ReaderInterfaceFactory::release(std::shared_ptr<Link> link) {
    if (!link) return;
    const auto* deleter = std::get_deleter<LinkDeleter>(link);
    const auto end = deleter ? deleter->end : nullptr;
    const bool inOwnCall = link->inDelegateCallOnThisThread();
    // The platform is let go last, here, once the link is gone.
    auto platform = link->platform();
    link.reset();
    if (end && !inOwnCall) {
        std::unique_lock lock(end->mutex);
        if (!end->ended.wait_for(lock, RELEASE_WAIT, [&] { return end->done; })) {
            logText(LogLevel::error,
                    "the link is still held on the link queue; it ends there, later");
        }
    }
    platform.reset();
}

}  // namespace orvex::detail
