// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Log.hpp"

// What the bridge is told: by a config file of `key = value` lines and by command-line
// flags of the same names (a flag wins over the file).

namespace orvex::bridge {

struct BrokerAddress {
    bool tls = false;
    std::string host = "127.0.0.1";
    int port = 1883;
};

// "mqtt://host[:port]" (port 1883) or "mqtts://host[:port]" (TLS, port 8883); a bare
// "host[:port]" means mqtt://. Nothing, with a one-line reason in `error`, otherwise.
std::optional<BrokerAddress> parseBrokerUrl(std::string_view url, std::string& error);

// One reader the bridge holds: the topic level it publishes under, and the peripheral it
// links to (empty: the first reader found).
struct ReaderSpec {
    std::string name;
    std::string address;
};

struct BridgeConfig {
    std::string gateway;  // default: this machine's host name
    std::string prefix = "orvex";
    BrokerAddress broker;
    std::string clientId;  // default: "orvex-bridge-<gateway>"
    std::string username;
    std::string password;
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    int keepalive = 30;

    std::string spoolPath = "orvex-bridge-spool.db";
    std::size_t spoolLimit = 100000;
    // false: the spool's commits reach the disk at checkpoints only (survives a crash of
    // the bridge, not of the machine).
    bool spoolSyncFull = true;

    // Backoff between connection attempts, to the broker and to a reader (seconds).
    double reconnectMin = 0.5;
    double reconnectMax = 30.0;

    std::vector<ReaderSpec> readers;  // empty: one reader called "reader"

    // The simulated reader in place of Bluetooth, and what it does on its own.
    bool sim = false;
    double simTriggerEvery = 0.0;  // a trigger reading every so many seconds (0: none)
    double simExportEvery = 0.0;   // an export of the stored readings every so many seconds
    std::size_t simStored = 3;     // stored readings the simulated reader exports
    double simDelay = 0.05;        // its answer delay (seconds)

    // Deliver what the spool holds, then stop (`timeout` bounds the wait for the broker).
    bool once = false;
    double timeout = 30.0;

    LogLevel logLevel = LogLevel::info;
};

// One setting that may come from the file or from a flag.
struct ConfigKey {
    std::string name;         // "broker": flag --broker, file key broker
    std::string description;  // help text
    bool repeatable = false;  // may be given several times (reader)
    bool isFlag = false;      // takes no value on the command line ("true"/"false" in the file)
    // Stores the value; returns a one-line reason when it is not acceptable.
    std::function<std::string(BridgeConfig&, const std::string&)> apply;
};

// Every setting, in the order the help lists them.
const std::vector<ConfigKey>& configKeys();

// The lines of a config file: key = value, '#' starts a comment line, blank lines are
// skipped, values may be quoted with "...". Fills `values` (key -> values in file order).
// Returns a one-line reason when the file cannot be read, has an unknown key or a line
// that is not key = value, or holds a password while others may read it.
std::string readConfigFile(const std::string& path,
                           std::map<std::string, std::vector<std::string>>& values);

// The defaults that depend on other settings (gateway, client id, reader list); a
// one-line reason when the settings do not fit together.
std::string finishConfig(BridgeConfig& config);

// Whether `level` is usable as one topic level (not empty, no '/', '+', '#').
bool isTopicLevel(std::string_view level);

}  // namespace orvex::bridge
