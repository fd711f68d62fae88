// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "reader/Commands.hpp"

// The one framing rule of the receive path. The reader's messages carry no markers: each is
// known by its lead byte, and its length is fixed by that byte or, for the version text, ended
// by a zero byte. One message may span several notifications and one notification may hold
// several messages, so the byte stream is cut into whole messages here, before any state of
// the link decides what a message means.
//
//   lead  message                              whole when
//   10    contact record read from a tag       25 bytes
//   11    contact written                      1 byte
//   12    contact not written                  1 byte
//   55    status: 55 "QX,S" and a state byte   6 bytes (the four bytes after 55 are "QX,S")
//   55    text reading (any other 55)          31 bytes
//   7E    no result                            1 byte
//   7F    negative answer                      1 byte
//   80    acknowledgement                      1 byte
//   81    micro-app locked                     1 byte
//   82    micro-app slice taken                1 byte
//   83    micro-app unlocked                   1 byte
//   84    micro-app check answer               3 bytes
//   87    version text                         up to and with its zero byte (at most 128)
//   88    reading that was asked for           9 bytes
//   8E    battery level                        3 bytes
//   8F    reading                              9 bytes
//   AA    stored-reading export record         37 bytes
//
// Resynchronising: a byte that opens none of these is dropped, one byte at a time, until a
// byte that does; only then does a message start. A text reading (or an export record, whose
// tail is a text reading) that meets the status tag "UQX,S" inside itself was cut short: the
// reader never puts that tag inside a record, so the record is dropped and the status message
// starts at its own 55. A version text that finds no zero byte within 128 bytes is dropped.

namespace orvex::detail {

enum class MessageKind : std::uint8_t {
    contact,
    contactWritten,
    contactNotWritten,
    status,
    textReading,
    noResult,
    negative,
    ack,
    lockAck,
    sliceAck,
    unlockAck,
    microAppCheck,
    version,
    requestedReading,
    battery,
    reading,
    exportRecord,
};

// One whole message, lead byte included (for exportRecord: one or more records in a row). Its bytes lie in the notification or in the framer,
// and stay valid until the framer's next push.
struct Message {
    MessageKind kind;
    std::span<const std::uint8_t> bytes;
};

// The longest version text taken, zero byte included.
inline constexpr std::size_t VERSION_MAX_SIZE = 128;
// The longest message: a message not yet whole is always shorter.
inline constexpr std::size_t LONGEST_MESSAGE = VERSION_MAX_SIZE;

// How a byte sequence starts: with a whole message of `length` bytes, with a message not yet
// whole, with `length` bytes that start none (to be dropped), as classified below.
struct Framing {
    enum class Outcome : std::uint8_t { whole, partial, drop };
    Outcome outcome;
    MessageKind kind;
    std::size_t length;
};

// Classifies the start of `bytes` (not empty) by the table above.
Framing frameStart(std::span<const std::uint8_t> bytes);

// The bytes of the whole export records in a row at the start of `bytes`, which starts with
// one.
std::size_t exportRun(std::span<const std::uint8_t> bytes);

// Cuts the byte stream of one reader into whole messages. What a notification leaves
// unfinished waits here for the next one; it is never longer than the longest message.
class MessageFramer {
public:
    // Hands every whole message in `bytes`, and in what was left before them, to `sink` in
    // order. A sink that calls clear() ends the delivery: what is left is dropped.
    template <class Sink>
    void push(std::span<const std::uint8_t> bytes, Sink&& sink) {
        const unsigned long generation = generation_;
        if (partial_.empty()) {
            const std::size_t used = deliver(bytes, sink, generation);
            if (generation_ == generation && used < bytes.size()) {
                partial_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(used), bytes.end());
            }
            return;
        }
        // A message split over notifications: its start and what can complete it (no message
        // is longer than LONGEST_MESSAGE) are joined in a buffer of their own, so that the
        // sink may clear the framer meanwhile; the messages after it are read where they lie.
        const std::size_t kept = partial_.size();
        const std::size_t joined = std::min(bytes.size(), LONGEST_MESSAGE);
        work_.swap(partial_);
        partial_.clear();
        work_.insert(work_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(joined));
        const std::size_t used = deliver(work_, sink, generation, kept);
        if (generation_ != generation) return;
        if (used < kept) {
            // Still not whole: everything that came waits.
            partial_.assign(work_.begin() + static_cast<std::ptrdiff_t>(used), work_.end());
            partial_.insert(partial_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(joined),
                            bytes.end());
            return;
        }
        push(bytes.subspan(used - kept), sink);
    }

    // Drops the message under way, if any.
    void clear() {
        partial_.clear();
        ++generation_;
    }
    // Bytes of a message not yet whole.
    std::size_t buffered() const { return partial_.size(); }

private:
    // Delivers the messages that start before `until`; returns where the next one starts.
    template <class Sink>
    std::size_t deliver(std::span<const std::uint8_t> bytes, Sink& sink, unsigned long generation,
                        std::size_t until = static_cast<std::size_t>(-1)) {
        std::size_t at = 0;
        while (at < bytes.size() && at < until) {
            const Framing f = frameStart(bytes.subspan(at));
            if (f.outcome == Framing::Outcome::partial) break;
            std::size_t length = f.length;
            if (f.outcome == Framing::Outcome::whole) {
                // Export records that follow each other in one notification go together:
                // they share one reading of the clock and one entry into the host.
                if (f.kind == MessageKind::exportRecord) length = exportRun(bytes.subspan(at));
                sink(Message{f.kind, bytes.subspan(at, length)});
                if (generation_ != generation) return bytes.size();
            }
            at += length;
        }
        return at;
    }

    Bytes partial_;
    Bytes work_;  // kept for its capacity
    unsigned long generation_ = 0;
};

}  // namespace orvex::detail
