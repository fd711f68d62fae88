// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>

#include "platform/bluez/TaskLoop.hpp"

namespace orvex::detail {
namespace {

using namespace std::chrono_literals;

// A block or a timer action that throws does not end the process: the loop reports it and
// goes on with what comes next.
TEST(TaskLoop, GoesOnAfterABlockOrTimerActionThrows) {
    TaskLoop loop("test");
    loop.post([] { throw std::runtime_error("a block failed"); });
    loop.post([] { throw 42; });
    loop.schedule(1ms, false, [] { throw std::runtime_error("a timer action failed"); });
    std::promise<void> later;
    loop.schedule(20ms, false, [&] { later.set_value(); });
    EXPECT_EQ(later.get_future().wait_for(5s), std::future_status::ready);
}

}  // namespace
}  // namespace orvex::detail
