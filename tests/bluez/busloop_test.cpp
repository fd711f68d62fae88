// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <sdbus-c++/sdbus-c++.h>

#include <thread>

#include "BluezHarness.hpp"
#include "platform/bluez/BusLoop.hpp"

// The bus loop on its own, between two connections on a private bus: nothing it has read
// is left waiting for more traffic.

namespace orvex::bluez_test {
namespace {

const char* const kPeer = "org.orvex.LoopPeer";
const char* const kInterface = "org.orvex.LoopPeer";

// A peer whose Ping sends a Tick signal just before its reply, so a blocking Ping from a
// thread other than the loop's reads the signal off the socket on that thread.
struct Peer {
    explicit Peer(const std::string& address)
        : connection(sdbus::createSessionBusConnectionWithAddress(address)), loop(*connection) {
        object = sdbus::createObject(*connection, "/peer");
        object->registerSignal("Tick").onInterface(kInterface).withParameters<std::uint32_t>();
        object->registerMethod("Ping")
            .onInterface(kInterface)
            .implementedAs([this](std::uint32_t n) {
                object->emitSignal("Tick").onInterface(kInterface).withArguments(n);
                return n;
            });
        // Hang never answers: its callers find out by their own timeouts.
        object->registerMethod("Hang").onInterface(kInterface).implementedAs(
            [this](sdbus::Result<>&& result) { hung.push_back(std::move(result)); });
        object->finishRegistration();
        loop.start(nullptr);
        connection->requestName(kPeer);
        loop.wake();
    }
    ~Peer() {
        loop.stop();
        object.reset();
    }
    std::unique_ptr<sdbus::IConnection> connection;
    BusLoop loop;
    std::unique_ptr<sdbus::IObject> object;
    std::vector<sdbus::Result<>> hung;  // bus thread only
};

// How a thread that has just used the connection lets the loop know.
struct Waking {
    const char* name;
    void (*after)(BusLoop&);
};

const Waking kWakings[] = {
    {"Always", [](BusLoop& loop) { loop.wake(); }},
    {"OnlyIfNeeded", [](BusLoop& loop) { loop.wakeIfNeeded(); }},
};

class BusLoopWaking : public ::testing::TestWithParam<Waking> {};

TEST_P(BusLoopWaking, ASignalReadByACallOnAnotherThreadIsDispatchedAfterTheWake) {
    PrivateBus bus;
    Peer peer(bus.address());
    auto connection = sdbus::createSessionBusConnectionWithAddress(bus.address());
    Log log;
    // Installed before the loop starts, as the backend does.
    auto match = connection->addMatch(std::string("type='signal',sender='") + kPeer +
                                          "',interface='" + kInterface + "',member='Tick'",
                                      [&log](sdbus::Message& msg) {
                                          try {
                                              std::uint32_t n = 0;
                                              msg >> n;
                                              log.add("tick " + std::to_string(n));
                                          } catch (...) {
                                          }
                                      });
    BusLoop loop(*connection);
    loop.start(nullptr);
    auto proxy = sdbus::createProxy(*connection, kPeer, "/peer");
    // Each round: the loop sleeps on a quiet bus while this thread's blocking call reads the
    // signal and then the reply; the wake alone must get the signal dispatched.
    for (std::uint32_t i = 1; i <= 20; ++i) {
        std::uint32_t echoed = 0;
        proxy->callMethod("Ping")
            .onInterface(kInterface)
            .withTimeout(std::chrono::seconds(3))
            .withArguments(i)
            .storeResultsTo(echoed);
        GetParam().after(loop);
        ASSERT_EQ(echoed, i);
        ASSERT_TRUE(log.waitFor("tick " + std::to_string(i), 1, std::chrono::seconds(3)))
            << "round " << i << "\n"
            << log.dump();
    }
    loop.stop();
}

INSTANTIATE_TEST_SUITE_P(Wakes, BusLoopWaking, ::testing::ValuesIn(kWakings),
                         [](const auto& info) { return std::string(info.param.name); });

// Calls sent from another thread with only the wakes they need: the loop must still notice
// each call's timeout in time, whether it slept with no timeout at all, with a later one
// (the new call's is earlier: it must be woken) or with an earlier one (it is not woken,
// and must take the new call's timeout into account when it wakes by itself).
TEST(BusLoop, CallTimeoutsAreNoticedInOrderWhenSendersWakeTheLoopOnlyIfNeeded) {
    PrivateBus bus;
    Peer peer(bus.address());
    auto connection = sdbus::createSessionBusConnectionWithAddress(bus.address());
    BusLoop loop(*connection);
    loop.start(nullptr);
    auto proxy = sdbus::createProxy(*connection, kPeer, "/peer");
    Log log;
    const auto hang = [&](const std::string& name, std::chrono::milliseconds timeout) {
        auto call = proxy->createMethodCall(kInterface, "Hang");
        (void)proxy->callMethod(
            call,
            [&log, name](sdbus::MethodReply&, const sdbus::Error* error) {
                log.add(name + (error ? " " + error->getName() : std::string(" answered")));
            },
            static_cast<std::uint64_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(timeout).count()));
        loop.wakeIfNeeded();
    };
    // First a round trip through the loop, so that what the bus sends a new connection is
    // dispatched and the loop sleeps on a quiet bus, with no timeout at all.
    {
        auto ping = proxy->createMethodCall(kInterface, "Ping");
        ping << std::uint32_t{0};
        (void)proxy->callMethod(
            ping, [&log](sdbus::MethodReply&, const sdbus::Error*) { log.add("ping"); },
            std::chrono::microseconds(std::chrono::seconds(5)).count());
        loop.wake();
        ASSERT_TRUE(log.waitFor("ping"));
    }
    const std::string noReply = " org.freedesktop.DBus.Error.NoReply";
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::chrono::milliseconds>> calls;  // sent in order
        std::vector<std::string> timedOut;                                     // in this order
    };
    const Case cases[] = {
        {"a call on a quiet bus", {{"only", std::chrono::milliseconds(200)}}, {"only"}},
        {"an earlier timeout sent after a later one",
         {{"later", std::chrono::milliseconds(1500)}, {"earlier", std::chrono::milliseconds(200)}},
         {"earlier", "later"}},
        {"a later timeout sent after an earlier one",
         {{"earlier", std::chrono::milliseconds(200)}, {"later", std::chrono::milliseconds(400)}},
         {"earlier", "later"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto before = log.lines().size();
        // The callback that ended the last case runs on the loop, which then works out its
        // next sleep: the calls are to find it asleep, not about to look again.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        for (const auto& [name, timeout] : c.calls) hang(name, timeout);
        ASSERT_TRUE(log.waitUntil([&](const auto& lines) {
            return lines.size() >= before + c.timedOut.size();
        })) << log.dump();
        std::vector<std::string> expected;
        for (const auto& name : c.timedOut) expected.push_back(name + noReply);
        const auto lines = log.lines();
        EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(before),
                                           lines.end()),
                  expected);
    }
    loop.stop();
}

}  // namespace
}  // namespace orvex::bluez_test
