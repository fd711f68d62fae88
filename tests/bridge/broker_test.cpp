// SPDX-License-Identifier: Apache-2.0
// The bridge as a process against a real mosquitto broker started by each test.
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "BridgeProcess.hpp"
#include "Spool.hpp"
#include "TestBroker.hpp"
#include "TestClient.hpp"

namespace orvex::test {
namespace {

using namespace std::chrono_literals;

constexpr double kWait = 20.0;

class BridgeAgainstBroker : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(broker.start()) << "mosquitto did not start"; }

    // The bridge on the simulated reader, publishing to the test's broker under gateway gw.
    std::vector<std::string> bridgeArgs(std::vector<std::string> extra = {}) const {
        std::vector<std::string> args{"--sim",          "--broker",        broker.url(),
                                      "--gateway",      "gw",              "--spool",
                                      dir.file("spool.db"), "--reconnect-max", "0.5"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    static std::vector<std::string> exportStream() {
        return {"--sim-export-every", "0.1", "--sim-stored", "5", "--sim-delay", "0.01"};
    }

    std::int64_t spooledMessages() {
        std::string error;
        auto spool = bridge::Spool::open(dir.file("spool.db"), 100000, false, error);
        return spool ? static_cast<std::int64_t>(spool->size()) : -1;
    }
    std::int64_t lastSequence() {
        std::string error;
        auto spool = bridge::Spool::open(dir.file("spool.db"), 100000, false, error);
        return spool ? spool->lastSequence("reader") : -1;
    }

    static auto countOn(const std::string& suffix, std::size_t n) {
        return [suffix, n](const std::vector<Received>& all) {
            std::size_t count = 0;
            for (const auto& m : all) count += m.topic.ends_with(suffix) ? 1 : 0;
            return count >= n;
        };
    }
    static auto seqReaches(std::int64_t last) {
        return [last](const std::vector<Received>& all) {
            const auto seqs = sequences(all);
            return !seqs.empty() && *seqs.rbegin() >= last;
        };
    }

    TempDir dir;
    TestBroker broker{dir};
};

TEST_F(BridgeAgainstBroker, readingsFromTheSimulatedReaderReachASubscriber) {
    TestClient consumer(broker.port(), "consumer", {"orvex/#"});
    ASSERT_TRUE(consumer.waitSubscribed(kWait));
    BridgeProcess bridge(bridgeArgs({"--sim-trigger-every", "0.3"}));

    ASSERT_TRUE(consumer.waitFor(countOn("/gw/reader/reading", 2), kWait)) << bridge.output();
    const auto all = consumer.received();
    const auto reading =
        std::find_if(all.begin(), all.end(), [](const Received& m) { return m.topic.ends_with("/reading"); });
    ASSERT_NE(reading, all.end());
    EXPECT_EQ(reading->topic, "orvex/gw/reader/reading");
    EXPECT_EQ(reading->body["tag"]["id"], "999 000000012345");
    EXPECT_EQ(reading->body["tag"]["type"], "FDXB");
    EXPECT_EQ(reading->body["source"], "trigger");
    EXPECT_TRUE(reading->body["tag"]["contact"].is_object()) << reading->payload;
    EXPECT_TRUE(reading->body["time"].get<std::string>().ends_with("Z"));
    EXPECT_TRUE(consumer.waitFor(
        [](const std::vector<Received>& m) {
            return std::any_of(m.begin(), m.end(), [](const Received& r) {
                return r.topic == "orvex/gw/reader/status" && r.body["state"] == "connected" &&
                       r.body["version"].is_string();
            });
        },
        kWait));

    // A clean stop: the reader's status says so and the gateway says offline itself.
    EXPECT_EQ(bridge.stop(SIGTERM), 0) << bridge.output();
    const auto after = consumer.received();
    EXPECT_TRUE(std::any_of(after.begin(), after.end(), [](const Received& r) {
        return r.topic == "orvex/gw/status" && r.body["state"] == "offline";
    }));
    EXPECT_TRUE(std::any_of(after.begin(), after.end(), [](const Received& r) {
        return r.topic == "orvex/gw/reader/status" && r.body["state"] == "stopped";
    }));
    EXPECT_TRUE(gapless(sequences(after)));
    EXPECT_EQ(spooledMessages(), 0);
}

TEST_F(BridgeAgainstBroker, commandsRoundTripWithAndWithoutAResponseTopic) {
    TestClient consumer(broker.port(), "consumer", {"orvex/#", "app/replies"});
    ASSERT_TRUE(consumer.waitSubscribed(kWait));
    BridgeProcess bridge(bridgeArgs());
    ASSERT_TRUE(bridge.waitForLine("reader reader: ready", kWait)) << bridge.output();

    struct Case {
        const char* name;
        const char* command;
        std::string payload;
        bool responseTopic;
        bool ok;
        std::string expect;  // a field of the reply that must hold, "key=value", or error text
    };
    const std::vector<Case> cases = {
        {"scan", "scan", R"({"id":"s1"})", true, true, "tag.id=999 000000012345"},
        {"write contact", "write-contact",
         R"({"id":"w1","tag":"999 000000012345","phone":"+44 7946 0002","email":"VET@EXAMPLE.ORG"})",
         true, true, "status=success"},
        {"export", "export", R"({"id":"e1"})", false, true, ""},
        {"write contact without a phone", "write-contact", R"({"id":"w2","tag":"999 000000012345","email":"X"})",
         false, false, "\"phone\" is missing"},
        {"unknown command", "dance", R"({"id":"d1"})", true, false, "unknown command 'dance'"},
        {"payload that is not JSON", "scan", "{not json", false, false, "not JSON"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string correlation = std::string("corr-") + c.name;
        const std::string replyTopic = c.responseTopic ? "app/replies" : "orvex/gw/reader/reply";
        ASSERT_TRUE(consumer.publish(std::string("orvex/gw/reader/cmd/") + c.command, c.payload,
                                     c.responseTopic ? "app/replies" : "", correlation));
        const auto isReply = [&](const Received& m) {
            return m.topic == replyTopic && m.correlation == correlation;
        };
        ASSERT_TRUE(consumer.waitFor(
            [&](const std::vector<Received>& all) { return std::any_of(all.begin(), all.end(), isReply); },
            kWait))
            << bridge.output();
        const auto all = consumer.received();
        const auto reply = *std::find_if(all.begin(), all.end(), isReply);
        EXPECT_EQ(reply.body["ok"], c.ok) << reply.payload;
        EXPECT_EQ(reply.body["command"], c.command);
        EXPECT_TRUE(reply.body["seq"].is_number_integer());
        if (c.ok && !c.expect.empty()) {
            const auto eq = c.expect.find('=');
            const std::string path = c.expect.substr(0, eq);
            const std::string value = c.expect.substr(eq + 1);
            const auto& field = path == "tag.id" ? reply.body["tag"]["id"] : reply.body[path];
            EXPECT_EQ(field, value) << reply.payload;
        } else if (!c.ok) {
            EXPECT_NE(reply.body["error"].get<std::string>().find(c.expect), std::string::npos)
                << reply.payload;
        }
    }
    // The export's records come on the export topic; the scan's reading on the reading topic.
    EXPECT_TRUE(consumer.waitFor(countOn("/gw/reader/export", 3), kWait));
    const auto all = consumer.received();
    EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](const Received& r) {
        return r.topic == "orvex/gw/reader/reading" && r.body["source"] == "host";
    }));
    EXPECT_TRUE(gapless(sequences(all)));
}

TEST_F(BridgeAgainstBroker, aBrokerOutageMidStreamLosesNoRecord) {
    TestClient consumer(broker.port(), "consumer", {"orvex/gw/reader/#"});
    ASSERT_TRUE(consumer.waitSubscribed(kWait));
    BridgeProcess bridge(bridgeArgs(exportStream()));
    ASSERT_TRUE(consumer.waitFor(countOn("/export", 20), kWait)) << bridge.output();

    broker.stop();
    ASSERT_TRUE(bridge.waitForLine("readings go to the spool", kWait)) << bridge.output();
    std::this_thread::sleep_for(2s);
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(bridge.waitForLine("delivering", kWait)) << bridge.output();

    // Everything numbered until a while after the restart arrives, with no number missing.
    const auto before = sequences(consumer.received());
    ASSERT_FALSE(before.empty());
    const std::int64_t target = *before.rbegin() + 60;
    ASSERT_TRUE(consumer.waitFor(seqReaches(target), kWait)) << bridge.output();
    EXPECT_TRUE(gapless(sequences(consumer.received())));
    EXPECT_EQ(bridge.stop(SIGTERM), 0);
    EXPECT_TRUE(gapless(sequences(consumer.received())));
}

TEST_F(BridgeAgainstBroker, readingsSpooledBeforeASigkillDuringAnOutageArriveAfterARestart) {
    TestClient consumer(broker.port(), "consumer", {"orvex/gw/reader/#"});
    ASSERT_TRUE(consumer.waitSubscribed(kWait));
    {
        BridgeProcess bridge(bridgeArgs(exportStream()));
        ASSERT_TRUE(consumer.waitFor(countOn("/export", 10), kWait)) << bridge.output();
        broker.stop();
        ASSERT_TRUE(bridge.waitForLine("readings go to the spool", kWait)) << bridge.output();
        std::this_thread::sleep_for(1500ms);
        EXPECT_EQ(bridge.stop(SIGKILL), -1);
    }
    const std::int64_t spooled = spooledMessages();
    const std::int64_t last = lastSequence();
    EXPECT_GT(spooled, 10) << "the outage should have filled the spool";

    ASSERT_TRUE(broker.start());
    BridgeProcess bridge(bridgeArgs());
    ASSERT_TRUE(consumer.waitFor(seqReaches(last), kWait)) << bridge.output();
    EXPECT_TRUE(gapless(sequences(consumer.received())));
    EXPECT_EQ(bridge.stop(SIGTERM), 0);
    // The numbers go on from where they stopped.
    EXPECT_GT(lastSequence(), last);
}

TEST_F(BridgeAgainstBroker, aFullSpoolRefusesNewReadingsAndSaysSo) {
    broker.stop();
    {
        BridgeProcess bridge(bridgeArgs({"--spool-limit", "12", "--sim-export-every", "0.1",
                                         "--sim-stored", "5"}));
        ASSERT_TRUE(bridge.waitForLine("the spool is full (12 messages)", kWait)) << bridge.output();
        std::this_thread::sleep_for(500ms);  // more records come, and are refused
        EXPECT_EQ(bridge.stop(SIGTERM), 0) << bridge.output();
    }
    // Twelve messages and the statuses telling of it, in the reserve above the limit.
    EXPECT_GT(spooledMessages(), 12);
    EXPECT_LT(spooledMessages(), 12 + 16 + 1);

    ASSERT_TRUE(broker.start());
    TestClient consumer(broker.port(), "consumer", {"orvex/gw/reader/#"});
    ASSERT_TRUE(consumer.waitSubscribed(kWait));
    const std::int64_t last = lastSequence();
    BridgeProcess bridge(bridgeArgs({"--once", "--timeout", "15"}));
    EXPECT_EQ(bridge.wait(), 0) << bridge.output();
    // The broker acknowledged everything; its copies reach the consumer a moment later.
    ASSERT_TRUE(consumer.waitFor(seqReaches(last), kWait));
    const auto all = consumer.received();
    // Refused readings took no number: what was kept arrives without a gap.
    EXPECT_TRUE(gapless(sequences(all)));
    EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](const Received& r) {
        return r.topic.ends_with("/status") && r.body["spool"]["full"] == true &&
               r.body["spool"]["refused"].get<int>() >= 1;
    }));
    EXPECT_EQ(spooledMessages(), 0);
}

TEST_F(BridgeAgainstBroker, theLastWillMarksAVanishedGatewayOffline) {
    TestClient consumer(broker.port(), "consumer", {"orvex/gw/status"});
    ASSERT_TRUE(consumer.waitSubscribed(kWait));
    BridgeProcess bridge(bridgeArgs());
    const auto state = [](const char* value) {
        return [value](const std::vector<Received>& all) {
            return !all.empty() && all.back().body["state"] == value;
        };
    };
    ASSERT_TRUE(consumer.waitFor(state("online"), kWait)) << bridge.output();
    bridge.stop(SIGKILL);
    EXPECT_TRUE(consumer.waitFor(state("offline"), kWait));

    // It is retained: a consumer that comes later learns it too.
    TestClient late(broker.port(), "late", {"orvex/gw/status"});
    EXPECT_TRUE(late.waitFor(
        [](const std::vector<Received>& all) {
            return !all.empty() && all.front().retained && all.front().body["state"] == "offline";
        },
        kWait));
}

}  // namespace
}  // namespace orvex::test
