// SPDX-License-Identifier: Apache-2.0
#include "RunLoop.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>

#include <sdbus-c++/IConnection.h>

namespace orvex::detail::bluez {

using Clock = std::chrono::steady_clock;

struct RunLoop::Timer : platform::Timer {
    explicit Timer(std::function<void()> a) : action(std::move(a)) {}
    void invalidate() override { valid = false; }
    std::function<void()> action;
    std::atomic<bool> valid{true};
};

RunLoop::RunLoop() { wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

RunLoop::~RunLoop() {
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void RunLoop::post(std::function<void()> action) {
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(action));
    }
    std::uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
}

std::shared_ptr<platform::Timer> RunLoop::schedule(double seconds, std::function<void()> action) {
    auto timer = std::make_shared<Timer>(std::move(action));
    const auto due = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(std::max(seconds, 0.0)));
    {
        std::lock_guard lock(mutex_);
        timers_.emplace(due, timer);
    }
    std::uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
    return timer;
}

double RunLoop::now() const {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

bool RunLoop::run() {
    while (!stopping_ && !broken_) turn(Clock::time_point::max());
    return !broken_;
}

bool RunLoop::runUntil(const std::function<bool()>& done, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    while (!done()) {
        if (broken_ || Clock::now() >= deadline) return false;
        turn(deadline);
    }
    return true;
}

bool RunLoop::turn(Clock::time_point deadline) {
    // What is due now: posted actions, then timers, then the bus's queued messages.
    std::vector<std::function<void()>> posted;
    {
        std::lock_guard lock(mutex_);
        posted.swap(posted_);
    }
    for (auto& action : posted) action();
    // Work done in this turn may be what a caller of runUntil() waits for: it checks before
    // the loop sleeps.
    bool worked = !posted.empty();
    for (;;) {
        std::shared_ptr<Timer> timer;
        {
            std::lock_guard lock(mutex_);
            if (timers_.empty() || timers_.begin()->first > Clock::now()) break;
            timer = timers_.begin()->second;
            timers_.erase(timers_.begin());
        }
        if (timer->valid) timer->action();
        worked = true;
    }
    try {
        if (bus_) {
            while (bus_->processPendingRequest()) worked = true;
        }
    } catch (...) {
        broken_ = true;
        return false;
    }
    if (worked) return true;
    // Then sleep until something happens, the next timer or the deadline.
    auto until = deadline;
    {
        std::lock_guard lock(mutex_);
        if (!posted_.empty()) return true;
        if (!timers_.empty()) until = std::min(until, timers_.begin()->first);
    }
    std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}};
    int timeout = -1;
    if (bus_) {
        const auto data = bus_->getEventLoopPollData();
        fds.push_back({data.fd, static_cast<short>(data.events), 0});
        timeout = data.getPollTimeout();
    }
    if (until != Clock::time_point::max()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        const int ms = static_cast<int>(std::max<long long>(0, left.count()));
        timeout = timeout < 0 ? ms : std::min(timeout, ms);
    }
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return false;
    if (fds[0].revents & POLLIN) {
        std::uint64_t count;
        (void)!::read(wakeFd_, &count, sizeof count);
    }
    return true;
}

}  // namespace orvex::detail::bluez
