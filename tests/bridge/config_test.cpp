// SPDX-License-Identifier: Apache-2.0
#include "BridgeConfig.hpp"

#include <sys/stat.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "TestBroker.hpp"
#include "Topics.hpp"

namespace orvex::bridge {
namespace {

using test::TempDir;

struct UrlCase {
    const char* name;
    const char* url;
    bool ok;
    bool tls;
    const char* host;
    int port;
};

void PrintTo(const UrlCase& c, std::ostream* os) {
    *os << c.url;
}

class BrokerUrl : public ::testing::TestWithParam<UrlCase> {};

TEST_P(BrokerUrl, isReadOrRefusedWithAReason) {
    const auto& c = GetParam();
    std::string error;
    const auto address = parseBrokerUrl(c.url, error);
    ASSERT_EQ(address.has_value(), c.ok) << error;
    if (!c.ok) {
        EXPECT_NE(error.find(c.url), std::string::npos) << error;
        return;
    }
    EXPECT_EQ(address->tls, c.tls);
    EXPECT_EQ(address->host, c.host);
    EXPECT_EQ(address->port, c.port);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BrokerUrl,
    ::testing::Values(UrlCase{"plain", "mqtt://broker.farm:1884", true, false, "broker.farm", 1884},
                      UrlCase{"plainDefaultPort", "mqtt://broker.farm", true, false, "broker.farm", 1883},
                      UrlCase{"tlsDefaultPort", "mqtts://broker.farm/", true, true, "broker.farm", 8883},
                      UrlCase{"bareHost", "10.0.0.5:1999", true, false, "10.0.0.5", 1999},
                      UrlCase{"ipv6", "mqtt://[::1]:1885", true, false, "::1", 1885},
                      UrlCase{"otherScheme", "http://broker:80", false, false, "", 0},
                      UrlCase{"portZero", "mqtt://broker:0", false, false, "", 0},
                      UrlCase{"portNotANumber", "mqtt://broker:x1", false, false, "", 0},
                      UrlCase{"emptyPort", "mqtt://broker:", false, false, "", 0},
                      UrlCase{"noHost", "mqtt://:1883", false, false, "", 0},
                      UrlCase{"credentialsInTheUrl", "mqtt://user:pw@broker", false, false, "", 0}),
    [](const auto& info) { return std::string(info.param.name); });

std::string writeFile(const TempDir& dir, const std::string& text, mode_t mode) {
    const std::string path = dir.file("bridge.conf");
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
    return path;
}

TEST(ConfigFile, readsKeyValueLinesWithCommentsQuotesAndRepeatedReaders) {
    TempDir dir;
    const auto path = writeFile(dir,
                                "# the chute gateway\n"
                                "broker = mqtts://broker.farm\n"
                                "  gateway=chute-3  \n"
                                "\n"
                                "password = \"two words\"\n"
                                "reader = left\n"
                                "reader = right\n",
                                0600);
    std::map<std::string, std::vector<std::string>> values;
    ASSERT_EQ(readConfigFile(path, values), "");
    EXPECT_EQ(values["gateway"], std::vector<std::string>{"chute-3"});
    EXPECT_EQ(values["password"], std::vector<std::string>{"two words"});
    EXPECT_EQ(values["reader"], (std::vector<std::string>{"left", "right"}));
}

TEST(ConfigFile, refusesUnknownKeysBadLinesAndAReadablePassword) {
    TempDir dir;
    const struct {
        const char* text;
        mode_t mode;
        const char* reason;
    } cases[] = {
        {"brokr = mqtt://x\n", 0600, ":1: unknown key 'brokr'"},
        {"# fine\nbroker mqtt://x\n", 0600, ":2: expected key = value"},
        {"password = pw\n", 0644, "holds a password and others can read it"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::map<std::string, std::vector<std::string>> values;
        EXPECT_NE(readConfigFile(writeFile(dir, c.text, c.mode), values).find(c.reason),
                  std::string::npos);
    }
    // Readable by others but with no password in it: nothing secret to guard.
    std::map<std::string, std::vector<std::string>> values;
    EXPECT_EQ(readConfigFile(writeFile(dir, "username = farm\n", 0644), values), "");
}

TEST(ConfigValues, areCheckedWhenApplied) {
    const auto apply = [](const std::string& key, const std::string& value) {
        BridgeConfig config;
        for (const auto& k : configKeys())
            if (k.name == key) return k.apply(config, value);
        return std::string("no such key");
    };
    EXPECT_EQ(apply("spool-limit", "250"), "");
    EXPECT_NE(apply("spool-limit", "0"), "");
    EXPECT_NE(apply("spool-limit", "2.5"), "");
    EXPECT_NE(apply("gateway", "a/b"), "");
    EXPECT_NE(apply("prefix", "farm+"), "");
    EXPECT_NE(apply("reader", "#=AA:BB"), "");
    EXPECT_NE(apply("spool-sync", "sometimes"), "");
    EXPECT_NE(apply("reconnect-max", "-1"), "");

    BridgeConfig config;
    config.gateway = "gw";
    config.certFile = "client.crt";
    EXPECT_EQ(finishConfig(config), "cert-file and key-file go together");
    BridgeConfig plain;
    plain.gateway = "gw";
    plain.caFile = "ca.crt";
    EXPECT_NE(finishConfig(plain).find("mqtts://"), std::string::npos);
    BridgeConfig defaults;
    defaults.gateway = "gw";
    EXPECT_EQ(finishConfig(defaults), "");
    EXPECT_EQ(defaults.clientId, "orvex-bridge-gw");
    ASSERT_EQ(defaults.readers.size(), 1u);
    EXPECT_EQ(defaults.readers[0].name, "reader");
}

TEST(CommandTopics, areRecognisedOnlyUnderThisGateway) {
    const Topics topics("orvex", "gw");
    const auto scan = topics.parseCommand("orvex/gw/chute/cmd/scan");
    ASSERT_TRUE(scan);
    EXPECT_EQ(scan->reader, "chute");
    EXPECT_EQ(scan->command, "scan");
    for (const char* other : {"orvex/gw2/chute/cmd/scan", "orvex/gw/chute/reading",
                              "orvex/gw/chute/cmd/", "orvex/gw/chute/cmd/scan/x", "orvex/gw//cmd/scan"}) {
        EXPECT_FALSE(topics.parseCommand(other)) << other;
    }
    EXPECT_EQ(topics.commandFilter(), "orvex/gw/+/cmd/+");
    EXPECT_EQ(topics.status("chute"), "orvex/gw/chute/status");
    EXPECT_EQ(topics.gatewayStatus(), "orvex/gw/status");
}

}  // namespace
}  // namespace orvex::bridge
