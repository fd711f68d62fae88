// SPDX-License-Identifier: Apache-2.0
#include "platform/bluez/WriteValueStream.hpp"

#include <algorithm>

namespace orvex::detail::bluez {

WriteValueStream::WriteValueStream(BusClient& client, sdbus::IProxy* proxy,
                                   std::vector<Bytes> pieces,
                                   bool withResponse, unsigned window,
                                   std::chrono::milliseconds timeout,
                                   std::weak_ptr<const void> alive, Ended ended)
    : client_(client),
      proxy_(proxy),
      pieces_(std::move(pieces)),
      type_(withResponse ? "request" : "command"),
      window_(std::max(1u, window)),
      timeout_(timeout),
      alive_(std::move(alive)),
      ended_(std::move(ended)) {}

void WriteValueStream::pump() {
    std::unique_lock lock(mutex_);
    // Another thread is sending: it takes up the room this answer made before it stops.
    if (sending_) return;
    for (;;) {
        if (!stopped_ && alive_.expired()) stopped_ = true;
        if (stopped_ || next_ >= pieces_.size() || inFlight_ >= window_) break;
        const std::size_t index = next_++;
        ++inFlight_;
        sending_ = true;
        lock.unlock();
        send(index);
        lock.lock();
        sending_ = false;
    }
    // Nothing in flight and nothing more to send: the stream is over.
    if (inFlight_ > 0 || reported_) return;
    reported_ = true;
    const auto error = error_;
    lock.unlock();
    if (ended_) ended_(error);
}

void WriteValueStream::send(std::size_t index) {
    const Bytes& piece = pieces_[index];
    client_.call(
        proxy_, GATT_CHARACTERISTIC, "WriteValue",
        [&](sdbus::MethodCall& m) {
            // The options (a{sv}: {"type": <s>}) are written directly: an sdbus::Variant
            // would build and copy a message of its own for every piece.
            m << piece;
            m.openContainer("{sv}");
            m.openDictEntry("sv");
            m << "type";
            m.openVariant("s");
            m << type_;
            m.closeVariant();
            m.closeDictEntry();
            m.closeContainer();
        },
        timeout_,
        [self = shared_from_this()](sdbus::MethodReply*, const CallError* error) {
            self->answered(error);
        });
}

void WriteValueStream::answered(const CallError* error) {
    {
        std::lock_guard lock(mutex_);
        if (inFlight_ > 0) --inFlight_;
        if (error && !error_) {
            error_ = *error;
            stopped_ = true;
        }
    }
    pump();
}

}  // namespace orvex::detail::bluez
