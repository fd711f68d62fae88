// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "simreader/FrameParser.hpp"

using orvex::sim::FrameParser;
using Bytes = std::vector<std::uint8_t>;

namespace {

struct Collected {
    std::vector<Bytes> frames;
    FrameParser parser;

    explicit Collected(std::size_t max = FrameParser::kDefaultMaxContent)
        : parser([this](const Bytes& f) { frames.push_back(f); }, max) {}
};

struct Case {
    const char* what;
    std::vector<Bytes> writes;
    std::vector<Bytes> frames;
    std::size_t dropped;
};

TEST(SimReaderFrames, CutsTheWrittenStreamIntoFrames) {
    const Case cases[] = {
        {"ping", {{0xFE, 0x00, 0xFE, 0x01}}, {{}}, 0},
        {"one frame over three writes", {{0xFE}, {0x00, 0x07, 0xFE}, {0x01}}, {{0x07}}, 0},
        {"two frames in one write",
         {{0xFE, 0x00, 0x07, 0xFE, 0x01, 0xFE, 0x00, 0x0E, 0xFE, 0x01}},
         {{0x07}, {0x0E}},
         0},
        {"garbage outside frames is skipped",
         {{0x12, 0x34, 0x01, 0xFE, 0x00, 0x0E, 0xFE, 0x01, 0x55, 0xFE, 0x02, 0xFE, 0xFE, 0x00, 0xFE,
           0x01}},
         {{0x0E}, {}},
         0},
        {"FE FE inside a frame is one FE",
         {{0xFE, 0x00, 0x03, 0x11, 0x10, 0x7C, 0x01, 0xFE, 0xFE, 0x02, 0xFE, 0x01}},
         {{0x03, 0x11, 0x10, 0x7C, 0x01, 0xFE, 0x02}},
         0},
        {"escaped FE followed by 00 and 01 is data",
         {{0xFE, 0x00, 0x01, 0xFE, 0xFE, 0x00, 0xFE, 0xFE, 0x01, 0xFE, 0x01}},
         {{0x01, 0xFE, 0x00, 0xFE, 0x01}},
         0},
        {"an escape split between writes",
         {{0xFE, 0x00, 0x00, 0xFE}, {0xFE, 0x05}, {0xFE}, {0x01}},
         {{0x00, 0xFE, 0x05}},
         0},
        {"a new start marker abandons the partial frame",
         {{0xFE, 0x00, 0x07, 0x07, 0xFE, 0x00, 0x0E, 0xFE, 0x01}},
         {{0x0E}},
         1},
        {"FE and an unknown byte abandon the frame",
         {{0xFE, 0x00, 0x07, 0xFE, 0x02, 0x0E, 0xFE, 0x01, 0xFE, 0x00, 0x04, 0xFE, 0x01}},
         {{0x04}},
         1},
        {"an end marker without a start is skipped",
         {{0xFE, 0x01, 0xFE, 0x00, 0xFE, 0x01}},
         {{}},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Collected col;
        for (const Bytes& w : c.writes) col.parser.feed(w);
        EXPECT_EQ(col.frames, c.frames);
        EXPECT_EQ(col.parser.droppedFrames(), c.dropped);
        EXPECT_EQ(col.parser.bufferedContent(), 0u);
    }
}

TEST(SimReaderFrames, DropsAnOverlongFrameWholeAndResynchronises) {
    Collected col(8);
    Bytes w{0xFE, 0x00};
    for (int i = 0; i < 20; ++i) w.push_back(static_cast<std::uint8_t>(i));
    // An escaped FE and 01 inside the dropped frame must not be taken for its end.
    w.insert(w.end(), {0xFE, 0xFE, 0x01, 0x09, 0xFE, 0x01, 0x33, 0xFE, 0x00, 0x07, 0xFE, 0x01});
    col.parser.feed(w);
    EXPECT_EQ(col.frames, std::vector<Bytes>{{0x07}});
    EXPECT_EQ(col.parser.droppedFrames(), 1u);

    // Content of exactly the limit is still a frame.
    col.frames.clear();
    col.parser.feed({0xFE, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 0xFE, 0x01});
    EXPECT_EQ(col.frames, (std::vector<Bytes>{{1, 2, 3, 4, 5, 6, 7, 8}}));

    // A start marker inside an overlong frame begins a new frame.
    col.frames.clear();
    col.parser.feed({0xFE, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0xFE, 0x00, 0x0E, 0xFE, 0x01});
    EXPECT_EQ(col.frames, std::vector<Bytes>{{0x0E}});
}

TEST(SimReaderFrames, MemoryStaysBoundedOnEndlessInput) {
    Collected col(64);
    std::mt19937 gen(7);
    std::uniform_int_distribution<int> byte(0, 255);
    col.parser.feed({0xFE, 0x00});
    for (int round = 0; round < 2000; ++round) {
        Bytes w(100);
        // Never an FE, so the frame that was opened never ends.
        for (auto& b : w) b = static_cast<std::uint8_t>(byte(gen) % 0xFE);
        col.parser.feed(w);
        ASSERT_LE(col.parser.bufferedContent(), 64u);
    }
    EXPECT_TRUE(col.frames.empty());
    col.parser.feed({0xFE, 0x01, 0xFE, 0x00, 0x07, 0xFE, 0x01});
    EXPECT_EQ(col.frames, std::vector<Bytes>{{0x07}});
}

TEST(SimReaderFrames, ResetForgetsAPartialFrame) {
    Collected col;
    col.parser.feed({0xFE, 0x00, 0x07});
    col.parser.reset();
    col.parser.feed({0xFE, 0x01, 0xFE, 0x00, 0x0E, 0xFE, 0x01});
    EXPECT_EQ(col.frames, std::vector<Bytes>{{0x0E}});
}

}  // namespace
