// SPDX-License-Identifier: Apache-2.0
// Credentials, TLS and the config file's permissions, against a real mosquitto broker.
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BridgeProcess.hpp"
#include "TestBroker.hpp"

namespace orvex::test {
namespace {

constexpr double kWait = 20.0;
constexpr const char* kPassword = "s3cret-Pw-42";
constexpr const char* kWrongPassword = "wrong-Pw-99";

bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

std::string writeConfig(const TempDir& dir, const std::string& name, const std::string& text,
                        mode_t mode) {
    const std::string path = dir.file(name);
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
    return path;
}

struct Outcome {
    bool connected = false;
    int exitCode = 0;
    std::string output;
};

// Runs the bridge until it connects (then stops it) or exits on its own.
Outcome runBridge(std::vector<std::string> args) {
    BridgeProcess bridge(std::move(args));
    Outcome outcome;
    if (bridge.waitForLine("connected to the broker", kWait)) {
        outcome.connected = true;
        outcome.exitCode = bridge.stop(SIGTERM);
    } else {
        outcome.exitCode = bridge.stop(SIGTERM);
    }
    outcome.output = bridge.output();
    return outcome;
}

TEST(BridgeCredentials, wrongOrMissingCredentialsEndTheBridgeWithAClearErrorAndNoSecretIsLogged) {
    TempDir dir;
    ASSERT_TRUE(run("mosquitto_passwd -c -b " + dir.file("passwd") + " farm " + kPassword));
    chmod(dir.file("passwd").c_str(), 0600);
    TestBroker broker(dir, {dir.file("passwd"), "", ""});
    ASSERT_TRUE(broker.start());
    const std::vector<std::string> common{"--sim", "--broker", broker.url(), "--gateway", "gw",
                                          "--spool", dir.file("spool.db")};

    struct Case {
        const char* name;
        std::string configText;  // empty: none
        mode_t mode;
        bool connects;
        int exitCode;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"right password in a private config file",
         std::string("username = farm\npassword = ") + kPassword + "\n", 0600, true, 0, ""},
        {"wrong password", std::string("username = farm\npassword = ") + kWrongPassword + "\n",
         0600, false, 1, "refused the connection: Not authorized (check username and password)"},
        {"no credentials", "", 0600, false, 1, "(check username and password)"},
        {"password in a config file others can read",
         std::string("username = farm\npassword = ") + kPassword + "\n", 0644, false, 2,
         "holds a password and others can read it"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto args = common;
        if (!c.configText.empty()) {
            args.push_back("--config");
            args.push_back(writeConfig(dir, "bridge" + std::to_string(++n) + ".conf", c.configText, c.mode));
        }
        const auto outcome = runBridge(args);
        EXPECT_EQ(outcome.connected, c.connects) << outcome.output;
        EXPECT_EQ(outcome.exitCode, c.exitCode) << outcome.output;
        EXPECT_NE(outcome.output.find(c.message), std::string::npos) << outcome.output;
        EXPECT_EQ(outcome.output.find(kPassword), std::string::npos) << outcome.output;
        EXPECT_EQ(outcome.output.find(kWrongPassword), std::string::npos) << outcome.output;
    }
}

TEST(BridgeTls, theBrokerCertificateMustChainToTheGivenCa) {
    TempDir dir;
    const auto f = [&](const char* name) { return dir.file(name); };
    std::ofstream(f("san.ext")) << "subjectAltName=IP:127.0.0.1\n";
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    ASSERT_TRUE(run("openssl req -x509" + key + " -keyout " + f("ca.key") + " -out " + f("ca.crt") +
                    " -days 2 -subj /CN=orvex-test-ca"));
    ASSERT_TRUE(run("openssl req -x509" + key + " -keyout " + f("other.key") + " -out " +
                    f("other.crt") + " -days 2 -subj /CN=orvex-other-ca"));
    ASSERT_TRUE(run("openssl req" + key + " -keyout " + f("server.key") + " -out " + f("server.csr") +
                    " -subj /CN=127.0.0.1"));
    ASSERT_TRUE(run("openssl x509 -req -in " + f("server.csr") + " -CA " + f("ca.crt") + " -CAkey " +
                    f("ca.key") + " -CAcreateserial -out " + f("server.crt") + " -days 2 -extfile " +
                    f("san.ext")));
    TestBroker broker(dir, {"", f("server.crt"), f("server.key")});
    ASSERT_TRUE(broker.start());

    struct Case {
        const char* name;
        std::string caFile;
        bool connects;
        int exitCode;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"the CA that signed the broker's certificate", f("ca.crt"), true, 0, "connected"},
        {"another CA", f("other.crt"), false, 1, "certificate verify failed"},
        {"a CA file that is not there", f("missing.crt"), false, 2, "cannot read"},
        {"a file that holds no certificate", f("san.ext"), false, 1, "TLS handshake with the broker"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto outcome = runBridge({"--sim", "--broker", broker.url("mqtts"), "--gateway", "gw",
                                        "--spool", f("spool.db"), "--ca-file", c.caFile});
        EXPECT_EQ(outcome.connected, c.connects) << outcome.output;
        EXPECT_EQ(outcome.exitCode, c.exitCode) << outcome.output;
        EXPECT_NE(outcome.output.find(c.message), std::string::npos) << outcome.output;
    }
}

}  // namespace
}  // namespace orvex::test
