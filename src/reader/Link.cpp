// SPDX-License-Identifier: Apache-2.0
#include "reader/Link.hpp"

#include <algorithm>
#include <utility>

#include "reader/Logging.hpp"

namespace orvex::detail {

Link::Link(std::shared_ptr<platform::Platform> platform) : platform_(std::move(platform)) {}

// Teardown: no timer of this link fires again; a connected reader is let go, or else a
// search still under way is stopped. Blocks still queued for this link find it gone.
Link::~Link() {
    stopTimer(connectionTimer, true);
    stopTimer(watchdogTimer, true);
    stopTimer(scanTimer, true);
    stopTimer(contactTimer, true);
    if (isConnected_.load() && readerPeripheral && btCentralManager) {
        btCentralManager->cancelPeripheralConnection(readerPeripheral);
    } else if (btCentralManager && btCentralManager->isScanning()) {
        btCentralManager->stopScan();
    }
}

std::shared_ptr<ReaderInterfaceDelegate> Link::delegate() const {
    std::lock_guard lock(delegateMutex_);
    return delegate_;
}

void Link::setDelegate(std::shared_ptr<ReaderInterfaceDelegate> delegate) {
    std::unique_lock lock(delegateMutex_);
    auto previous = std::exchange(delegate_, std::move(delegate));
    if (!closed_) callable_.store(delegate_.get(), std::memory_order_release);
    delegateVersion_.fetch_add(1);
    if (!previous) return;
    // A call counted before the store above may have read the previous delegate; one not
    // counted yet reads the new one. With calls under way, the last one to end releases it.
    retired_.push_back(std::move(previous));
    callEndsHeard_.store(true, std::memory_order_relaxed);
    delegateFence_.heavy();
    if (delegateCalls_.load(std::memory_order_acquire) == 0) releaseRetiredDelegates(lock);
}

void Link::releaseRetiredDelegates(std::unique_lock<std::mutex>& lock) {
    if (retired_.empty()) return;
    auto released = std::exchange(retired_, {});
    if (!closed_) callEndsHeard_.store(false, std::memory_order_relaxed);
    ++releasingRetired_;
    lock.unlock();
    released.clear();
    lock.lock();
    --releasingRetired_;
    delegateCallsDone_.notify_all();
}

// On the link queue, which alone changes the count.
void Link::delegateCallEnded() {
    std::unique_lock lock(delegateMutex_);
    if (delegateCalls_.load(std::memory_order_relaxed) == 0) releaseRetiredDelegates(lock);
    delegateCallsDone_.notify_all();
}

void Link::tellPlatform(std::string_view operation, const std::vector<std::string>& arguments) {
    if (platform_) platform_->hostOperation(operation, arguments);
}

// The delegate calls this thread is inside, innermost first, each entry naming the one it
// is inside. A list through the entries themselves, so that entering costs no allocation,
// and a plain pointer, so that reaching it needs no per-thread set-up.
constinit thread_local const Link::DelegateEntry* Link::DelegateEntry::innermost_ = nullptr;

std::uint64_t Link::DelegateEntry::countOnThisThread(const Link& link) {
    std::uint64_t count = 0;
    for (const DelegateEntry* entry = innermost_; entry; entry = entry->outer_) {
        if (&entry->link_ == &link) ++count;
    }
    return count;
}

void Link::DelegateEntry::reenter() {
    leave();
    enter();
}

// Waits for the calls under way on other threads and, unless called from inside a call,
// for the release of the delegates they retired (their destructors run before close()
// returns, as they would have at the end of the call).
void Link::close() {
    std::unique_lock lock(delegateMutex_);
    closed_ = true;
    callable_.store(nullptr, std::memory_order_release);
    delegateVersion_.fetch_add(1);
    callEndsHeard_.store(true, std::memory_order_relaxed);
    delegateFence_.heavy();
    const auto own = DelegateEntry::countOnThisThread(*this);
    delegateCallsDone_.wait(lock, [&] {
        return delegateCalls_.load(std::memory_order_acquire) == own &&
               (own != 0 || (retired_.empty() && releasingRetired_ == 0));
    });
}

bool Link::inDelegateCallOnThisThread() const {
    return DelegateEntry::countOnThisThread(*this) != 0;
}

void Link::initializeBluetooth() {
    onQueue([](Link& link) {
        link.tellPlatform("initializeBluetooth");
        link.doInitializeBluetooth();
    });
}

void Link::connectToReader() {
    onQueue([](Link& link) {
        link.tellPlatform("connectToReader");
        link.doConnectToReader();
    });
}

void Link::disconnectFromReader() {
    onQueue([](Link& link) {
        link.tellPlatform("disconnectFromReader");
        link.doDisconnectFromReader();
    });
}

void Link::scan() {
    onQueue([](Link& link) {
        link.tellPlatform("scan");
        link.doScan();
    });
}

void Link::writeContact(std::string name, std::string phone, std::string xpdrId,
                        std::function<void(bool, OrvexContactStatus)> completion) {
    onQueue([name = std::move(name), phone = std::move(phone), xpdrId = std::move(xpdrId),
             completion = std::move(completion)](Link& link) mutable {
        link.tellPlatform("writeContact", {name, phone, xpdrId});
        link.doWriteContact(std::move(name), std::move(phone), std::move(xpdrId),
                            std::move(completion));
    });
}

void Link::setMicroAppImagePath(std::string path) {
    onQueue([path = std::move(path)](Link& link) mutable {
        link.tellPlatform("setMicroAppImagePath", {path});
        link.microAppImagePath_ = std::move(path);
    });
}

void Link::setReaderAddress(std::string address) {
    onQueue([address = std::move(address)](Link& link) mutable {
        link.tellPlatform("setReaderAddress", {address});
        link.readerAddress_ = std::move(address);
    });
}

void Link::setReaderName(std::string name) {
    onQueue([name = std::move(name)](Link& link) mutable {
        link.tellPlatform("setReaderName", {name});
        link.readerName_ = std::move(name);
    });
}

void Link::onQueue(std::function<void(Link&)> f) {
    if (!platform_) return;
    platform_->linkQueue().post([weak = weak_from_this(), f = std::move(f)] {
        if (auto self = weak.lock()) f(*self);
    });
}

std::shared_ptr<platform::Timer> Link::schedule(double seconds, bool repeats,
                                                void (Link::*action)()) {
    if (!platform_) return nullptr;
    log(LogLevel::debug, "timer armed: {:g} s{}", seconds, repeats ? ", repeating" : "");
    return platform_->scheduleTimer(seconds, repeats, [weak = weak_from_this(), action, seconds] {
        auto self = weak.lock();
        if (!self) return;
        log(LogLevel::debug, "timer of {:g} s fired", seconds);
        ((*self).*action)();
    });
}

void Link::stopTimer(std::shared_ptr<platform::Timer>& timer, bool clear) {
    if (timer) timer->invalidate();
    if (clear) timer.reset();
}

void Link::syncScanning() {
    isScanning_.store(btCentralManager && btCentralManager->isScanning());
}

}  // namespace orvex::detail
