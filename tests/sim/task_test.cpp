// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <utility>

#include "platform/sim/Task.hpp"

// The run loop's block type: small callables are kept in place, large ones on the heap;
// either way a task runs what it was given, moves, and releases what it holds exactly once.

namespace orvex::sim {
namespace {

// A callable of `Size` bytes and a little more that counts its calls and holds an object.
template <std::size_t Size>
struct Payload {
    std::shared_ptr<int> held;
    int* calls;
    std::array<char, Size> padding{};
    void operator()() { ++*calls; }
};
static_assert(sizeof(Payload<Task::kInlineSize - 24>) == Task::kInlineSize);

template <class T>
struct TaskKeeps : ::testing::Test {};

// A small one, the largest that fits in place, and one that does not.
using Sizes = ::testing::Types<Payload<8>, Payload<Task::kInlineSize - 24>, Payload<200>>;
struct SizeNames {
    template <class T>
    static std::string GetName(int) {
        return sizeof(T) <= Task::kInlineSize ? "InPlace" + std::to_string(sizeof(T))
                                              : "OnTheHeap" + std::to_string(sizeof(T));
    }
};
TYPED_TEST_SUITE(TaskKeeps, Sizes, SizeNames);

TYPED_TEST(TaskKeeps, ACallableThroughMovesAndReleasesItOnce) {
    int calls = 0;
    auto held = std::make_shared<int>(1);
    std::weak_ptr<int> watch = held;
    Task first(TypeParam{std::move(held), &calls});
    first();
    Task second(std::move(first));
    EXPECT_FALSE(static_cast<bool>(first));
    Task third;
    third = std::move(second);
    third();
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(watch.expired());
    third.reset();
    EXPECT_FALSE(static_cast<bool>(third));
    EXPECT_TRUE(watch.expired());
}

TEST(Task, AssigningOverAFullTaskReleasesWhatItHeld) {
    auto old = std::make_shared<int>(1);
    std::weak_ptr<int> watch = old;
    Task task([old = std::move(old)] {});
    int calls = 0;
    task = Task([&calls] { ++calls; });
    EXPECT_TRUE(watch.expired());
    task();
    EXPECT_EQ(calls, 1);
}

TEST(Task, TakesMoveOnlyCallables) {
    auto owned = std::make_unique<int>(41);
    int seen = 0;
    Task task([owned = std::move(owned), &seen] { seen = *owned + 1; });
    Task moved(std::move(task));
    moved();
    EXPECT_EQ(seen, 42);
}

}  // namespace
}  // namespace orvex::sim
