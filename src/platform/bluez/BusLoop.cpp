// SPDX-License-Identifier: Apache-2.0
#include "platform/bluez/BusLoop.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <exception>

namespace orvex::detail {

BusLoop::BusLoop(sdbus::IConnection& connection, std::string name)
    : connection_(connection), name_(std::move(name)) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

BusLoop::~BusLoop() {
    stop();
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void BusLoop::start(std::function<void()> onClosed) {
    if (thread_.joinable()) return;
    onClosed_ = std::move(onClosed);
    thread_ = std::thread([this] { run(); });
}

void BusLoop::stop() {
    stopping_ = true;
    wake();
    if (thread_.joinable() && !isCurrent()) thread_.join();
}

void BusLoop::wake() {
    if (wakeFd_ < 0) return;
    std::uint64_t one = 1;
    ssize_t r;
    do {
        r = ::write(wakeFd_, &one, sizeof one);
    } while (r < 0 && errno == EINTR);
}

void BusLoop::wakeIfNeeded() {
    if (isCurrent()) return;  // the loop works out its next sleep after this dispatch
    try {
        const auto data = connection_.getEventLoopPollData();
        const auto until = sleepsUntil_.load();
        if (until > 1 && !(data.events & POLLOUT) && data.timeout_usec >= until) return;
    } catch (...) {
        // The connection broke: the loop finds out by itself, a wake does no harm.
    }
    wake();
}

void BusLoop::run() {
    ::pthread_setname_np(::pthread_self(), name_.substr(0, 15).c_str());
    try {
        while (!stopping_) {
            {
                // Dispatch everything already read (also what other threads' calls left queued).
                std::lock_guard hold(dispatchMutex_);
                while (!stopping_ && connection_.processPendingRequest()) {
                }
            }
            if (stopping_) break;
            // Marked first: a sender that finds the mark wakes the loop, one that finds the
            // time stored below compares its own against the time the loop really sleeps until.
            sleepsUntil_.store(0);
            auto data = connection_.getEventLoopPollData();
            sleepsUntil_.store(data.timeout_usec == 0 ? 1 : data.timeout_usec);
            pollfd fds[2] = {{data.fd, static_cast<short>(data.events), 0}, {wakeFd_, POLLIN, 0}};
            int r = ::poll(fds, 2, data.getPollTimeout());
            if (r < 0 && errno != EINTR) break;
            if (fds[1].revents & POLLIN) {
                std::uint64_t count;
                (void)!::read(wakeFd_, &count, sizeof count);
            }
        }
    } catch (...) {
        // The connection broke (the bus went away) or sd-bus failed: the loop ends here.
        closed_ = true;
        if (!stopping_ && onClosed_) {
            try {
                onClosed_();
            } catch (...) {
            }
        }
    }
}

}  // namespace orvex::detail
