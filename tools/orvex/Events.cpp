// SPDX-License-Identifier: Apache-2.0
#include "Events.hpp"

#include <unistd.h>

#include <atomic>
#include <csignal>

namespace orvex::cli {

namespace {

std::atomic<bool> interruptFlag{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

extern "C" void onInterruptSignal(int) {
    if (interruptFlag.exchange(true)) _exit(130);
}

// How often a waiting command looks at the interruption flag.
constexpr auto kInterruptPoll = std::chrono::milliseconds(50);

Event make(Event::Kind kind, long code = 0, bool flag = false) {
    Event event{kind};
    event.code = code;
    event.flag = flag;
    return event;
}

}  // namespace

void installInterruptHandlers() {
    struct sigaction action {};
    action.sa_handler = onInterruptSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool interruptRequested() {
    return interruptFlag.load();
}

void EventQueue::push(Event event) {
    {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    ready_.notify_one();
}

std::optional<Event> EventQueue::next(std::chrono::steady_clock::time_point deadline,
                                      bool interruptible) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (interruptible && interruptRequested()) return std::nullopt;
        if (!events_.empty()) {
            Event event = std::move(events_.front());
            events_.pop_front();
            return event;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return std::nullopt;
        ready_.wait_until(lock, std::min(deadline, now + kInterruptPoll));
    }
}

void EventDelegate::btReader() {
    queue_->push(make(Event::Kind::btReady));
}

void EventDelegate::btError(OrvexBluetoothError reason) {
    queue_->push(make(Event::Kind::btError, static_cast<long>(reason)));
}

void EventDelegate::bleDetected(const std::string& prefix, const std::string& deviceName) {
    Event event = make(Event::Kind::detected);
    event.text = prefix;
    event.detail = deviceName;
    queue_->push(std::move(event));
}

void EventDelegate::connecting() {
    queue_->push(make(Event::Kind::connecting));
}

void EventDelegate::connectionFailed(OrvexConnectionError error) {
    queue_->push(make(Event::Kind::connectionFailed, static_cast<long>(error)));
}

void EventDelegate::readerConnected() {
    queue_->push(make(Event::Kind::connected));
}

void EventDelegate::readerDisconnected(OrvexDisconnectionCause cause) {
    queue_->push(make(Event::Kind::disconnected, static_cast<long>(cause)));
}

void EventDelegate::scanReceived(std::optional<ScanResult> result, bool contactPending) {
    Event event = make(Event::Kind::reading, 0, contactPending);
    event.result = std::move(result);
    queue_->push(std::move(event));
}

void EventDelegate::readerScanning(bool active) {
    queue_->push(make(Event::Kind::scanning, 0, active));
}

void EventDelegate::exportReceived(std::optional<ScanResult> result, long number) {
    Event event = make(Event::Kind::exportRecord, number);
    event.result = std::move(result);
    queue_->push(std::move(event));
}

void EventDelegate::scanFailed() {
    queue_->push(make(Event::Kind::scanFailed));
}

void EventDelegate::version(const std::string& text) {
    Event event = make(Event::Kind::version);
    event.text = text;
    queue_->push(std::move(event));
}

void EventDelegate::battery(long level) {
    queue_->push(make(Event::Kind::battery, level));
}

void EventDelegate::startUpdate(long slices) {
    queue_->push(make(Event::Kind::updateStarted, slices));
}

void EventDelegate::updateStatus(long slice) {
    queue_->push(make(Event::Kind::sliceAccepted, slice));
}

void EventDelegate::endUpdate(std::optional<OrvexDeviceUpdateStatus> status) {
    const auto value = status.value_or(OrvexDeviceUpdateStatus::successful);
    queue_->push(make(Event::Kind::updateEnded, static_cast<long>(value)));
}

std::function<void(bool, OrvexContactStatus)> EventDelegate::contactCompletion() {
    return [queue = queue_](bool success, OrvexContactStatus status) {
        queue->push(make(Event::Kind::contactWritten, static_cast<long>(status), success));
    };
}

}  // namespace orvex::cli
