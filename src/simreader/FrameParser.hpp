// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// Cuts the byte stream that the central writes to the reader into command frames.
//
// A frame is `FE 00`, its content, `FE 01`; inside a frame `FE FE` stands for one FE byte.
// A frame may arrive over several writes and one write may hold several frames. Bytes
// outside a frame are skipped. `FE 00` inside a frame abandons the partial frame and starts
// a new one; FE followed by any other byte abandons the frame. A frame whose content grows
// past the limit is dropped whole (its remaining bytes are skipped up to its end marker), so
// the parser never holds more than the limit.

namespace orvex::sim {

class FrameParser {
public:
    using Frame = std::vector<std::uint8_t>;
    using FrameHandler = std::function<void(const Frame&)>;

    static constexpr std::size_t kDefaultMaxContent = 512;

    explicit FrameParser(FrameHandler onFrame, std::size_t maxContent = kDefaultMaxContent);

    // Consumes one write. Complete frames are handed to the handler in order; a handler may
    // call reset() or feed more bytes only after this call has returned.
    void feed(const std::vector<std::uint8_t>& bytes);
    // Forgets any partial frame (for a new connection).
    void reset();

    std::size_t bufferedContent() const { return content_.size(); }
    std::size_t droppedFrames() const { return dropped_; }

private:
    enum class Where { outside, outsideFE, inside, insideFE, overlong, overlongFE };

    void byte(std::uint8_t b);
    void add(std::uint8_t b);

    FrameHandler onFrame_;
    std::size_t maxContent_;
    Where where_ = Where::outside;
    Frame content_;
    std::size_t dropped_ = 0;
};

}  // namespace orvex::sim
