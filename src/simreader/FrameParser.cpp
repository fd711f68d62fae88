// SPDX-License-Identifier: Apache-2.0
#include "simreader/FrameParser.hpp"

#include <utility>

namespace orvex::sim {

namespace {
constexpr std::uint8_t kEscape = 0xFE;
constexpr std::uint8_t kStart = 0x00;
constexpr std::uint8_t kEnd = 0x01;
}  // namespace

FrameParser::FrameParser(FrameHandler onFrame, std::size_t maxContent)
    : onFrame_(std::move(onFrame)), maxContent_(maxContent) {}

void FrameParser::feed(const std::vector<std::uint8_t>& bytes) {
    for (std::uint8_t b : bytes) byte(b);
}

void FrameParser::reset() {
    where_ = Where::outside;
    content_.clear();
}

void FrameParser::add(std::uint8_t b) {
    if (content_.size() >= maxContent_) {
        content_.clear();
        content_.shrink_to_fit();
        ++dropped_;
        where_ = Where::overlong;
        return;
    }
    content_.push_back(b);
    where_ = Where::inside;
}

void FrameParser::byte(std::uint8_t b) {
    switch (where_) {
        case Where::outside:
            if (b == kEscape) where_ = Where::outsideFE;
            return;
        case Where::outsideFE:
            if (b == kStart) {
                content_.clear();
                where_ = Where::inside;
            } else if (b != kEscape) {
                where_ = Where::outside;
            }
            return;
        case Where::inside:
            if (b == kEscape) {
                where_ = Where::insideFE;
            } else {
                add(b);
            }
            return;
        case Where::insideFE:
            if (b == kEscape) {
                add(kEscape);
            } else if (b == kEnd) {
                where_ = Where::outside;
                Frame frame;
                frame.swap(content_);
                onFrame_(frame);
            } else if (b == kStart) {
                // A new start marker: the partial frame is abandoned.
                ++dropped_;
                content_.clear();
                where_ = Where::inside;
            } else {
                ++dropped_;
                content_.clear();
                where_ = Where::outside;
            }
            return;
        case Where::overlong:
            if (b == kEscape) where_ = Where::overlongFE;
            return;
        case Where::overlongFE:
            if (b == kEnd) {
                where_ = Where::outside;
            } else if (b == kStart) {
                content_.clear();
                where_ = Where::inside;
            } else if (b == kEscape) {
                where_ = Where::overlong;
            } else {
                where_ = Where::outside;
            }
            return;
    }
}

}  // namespace orvex::sim
