// SPDX-License-Identifier: Apache-2.0
#include "Spool.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestBroker.hpp"

namespace orvex::bridge {
namespace {

using test::TempDir;

std::unique_ptr<Spool> openSpool(const TempDir& dir, std::size_t limit = 1000) {
    std::string error;
    auto spool = Spool::open(dir.file("spool.db"), limit, false, error);
    EXPECT_TRUE(spool) << error;
    return spool;
}

std::optional<std::int64_t> add(Spool& spool, const std::string& reader,
                                SpoolKind kind = SpoolKind::record) {
    return spool.append(reader, "orvex/gw/" + reader + "/reading", false, kind,
                        [&](std::int64_t seq) { return reader + "#" + std::to_string(seq); });
}

std::vector<std::string> payloads(Spool& spool) {
    std::vector<std::string> out;
    for (const auto& m : spool.after(0, 1000)) out.push_back(m.payload);
    return out;
}

TEST(Spool, numbersEachReaderOnItsOwnAndKeepsMessagesInOrderAcrossAReopen) {
    TempDir dir;
    {
        auto spool = openSpool(dir);
        EXPECT_EQ(add(*spool, "a"), 1);
        EXPECT_EQ(add(*spool, "b"), 1);
        EXPECT_EQ(add(*spool, "a"), 2);
        // Acknowledged messages go; their numbers are never given again.
        spool->remove(spool->after(0, 1).front().id);
    }
    auto spool = openSpool(dir);
    EXPECT_EQ(spool->size(), 2u);
    EXPECT_EQ(payloads(*spool), (std::vector<std::string>{"b#1", "a#2"}));
    EXPECT_EQ(add(*spool, "a"), 3);
    EXPECT_EQ(spool->lastSequence("b"), 1);
    EXPECT_EQ(spool->lastSequence("never"), 0);
}

TEST(Spool, aBatchIsCommittedWhole) {
    TempDir dir;
    {
        auto spool = openSpool(dir);
        spool->begin();
        for (int i = 0; i < 5; ++i) add(*spool, "a");
        spool->remove(spool->after(0, 1).front().id);
        EXPECT_TRUE(spool->commit());
    }
    auto spool = openSpool(dir);
    EXPECT_EQ(payloads(*spool), (std::vector<std::string>{"a#2", "a#3", "a#4", "a#5"}));
    // after() pages through in order.
    const auto page = spool->after(spool->after(0, 2).back().id, 10);
    ASSERT_EQ(page.size(), 2u);
    EXPECT_EQ(page.front().payload, "a#4");
}

TEST(Spool, whenFullRefusesRecordsWithoutUsingANumberAndKeepsAReserveForStatus) {
    TempDir dir;
    auto spool = openSpool(dir, 3);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(add(*spool, "a"));
    EXPECT_TRUE(spool->full());
    EXPECT_FALSE(add(*spool, "a"));
    // The status telling of it still fits, with the next number: no gap for consumers.
    EXPECT_EQ(add(*spool, "a", SpoolKind::control), 4);
    spool->remove(spool->after(0, 1).front().id);
    spool->remove(spool->after(0, 1).front().id);
    EXPECT_EQ(add(*spool, "a"), 5);
}

TEST(Spool, correlationDataAndRetainSurvive) {
    TempDir dir;
    auto spool = openSpool(dir);
    const std::string binary("\x00\x01\xff", 3);
    spool->append("a", "app/replies", true, SpoolKind::control,
                  [](std::int64_t) { return std::string("{}"); }, binary);
    const auto m = spool->after(0, 1).at(0);
    EXPECT_EQ(m.topic, "app/replies");
    EXPECT_TRUE(m.retain);
    EXPECT_EQ(m.correlation, binary);
}

TEST(Spool, isRefusedToASecondUserAndToAnUnusablePath) {
    TempDir dir;
    auto first = openSpool(dir);
    std::string error;
    EXPECT_FALSE(Spool::open(dir.file("spool.db"), 10, false, error));
    EXPECT_NE(error.find("locked"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(Spool::open(dir.file("no/such/dir/spool.db"), 10, false, error));
    EXPECT_NE(error.find("cannot open spool"), std::string::npos) << error;
}

}  // namespace
}  // namespace orvex::bridge
