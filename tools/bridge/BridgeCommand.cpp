// SPDX-License-Identifier: Apache-2.0
#include "BridgeCommand.hpp"

#include <pthread.h>
#include <signal.h>

#include <map>
#include <memory>
#include <thread>

#include <fmt/format.h>

#include "Bridge.hpp"
#include "BridgeConfig.hpp"
#include "Log.hpp"

namespace orvex::bridge {

namespace {

struct CommandState {
    BridgeConfig config;
    std::string configFile;
    // The flags given, by key, in order (a flag wins over the file).
    std::map<std::string, std::vector<std::string>> flags;
};

// SIGTERM and SIGINT are taken by a thread of their own (blocked everywhere else, before
// any other thread starts), which asks the bridge to stop cleanly.
class SignalWatch {
public:
    SignalWatch() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGUSR1);  // wakes the watcher at the end
        pthread_sigmask(SIG_BLOCK, &set_, &previous_);
    }
    ~SignalWatch() {
        finish();
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    // Ends the watcher; once this returns, it no longer touches the bridge, which may then
    // go (a signal taken just before has finished its stop() by then).
    void finish() {
        if (thread_.joinable()) {
            pthread_kill(thread_.native_handle(), SIGUSR1);
            thread_.join();
        }
    }
    void watch(Bridge& bridge) {
        thread_ = std::thread([this, &bridge] {
            int signal = 0;
            while (sigwait(&set_, &signal) == 0) {
                if (signal == SIGUSR1) return;
                logInfo(fmt::format("{} received: stopping", signal == SIGTERM ? "SIGTERM" : "SIGINT"));
                bridge.stop();
            }
        });
    }

private:
    sigset_t set_{};
    sigset_t previous_{};
    std::thread thread_;
};

int runBridge(CommandState& state) {
    BridgeConfig& config = state.config;
    std::map<std::string, std::vector<std::string>> values;
    if (!state.configFile.empty()) {
        const std::string error = readConfigFile(state.configFile, values);
        if (!error.empty()) {
            logError(error);
            return 2;
        }
    }
    for (const auto& [key, given] : state.flags) values[key] = given;
    for (const auto& key : configKeys()) {
        const auto it = values.find(key.name);
        if (it == values.end()) continue;
        for (const auto& value : it->second) {
            const std::string error = key.apply(config, value);
            if (!error.empty()) {
                logError(fmt::format("{}: {}", key.name, error));
                return 2;
            }
        }
    }
    if (const std::string error = finishConfig(config); !error.empty()) {
        logError(error);
        return 2;
    }
    setLogLevel(config.logLevel);
    SignalWatch signals;
    Bridge bridge(config);
    signals.watch(bridge);
    const int code = bridge.run();
    signals.finish();
    return code;
}

}  // namespace

void addBridgeOptions(CLI::App& app, int& exitCode) {
    auto state = std::make_shared<CommandState>();
    auto* command = &app;
    command->add_option("-c,--config", state->configFile,
                        "Config file of key = value lines (keys as the options below)")
        ->check(CLI::ExistingFile);
    for (const auto& key : configKeys()) {
        const std::string name = "--" + key.name;
        const std::string keyName = key.name;
        if (key.isFlag) {
            command->add_flag_callback(
                name, [state, keyName] { state->flags[keyName] = {"true"}; }, key.description);
            continue;
        }
        auto* option = command->add_option_function<std::vector<std::string>>(
            name,
            [state, keyName](const std::vector<std::string>& values) {
                state->flags[keyName] = values;
            },
            key.description);
        option->type_name("TEXT");
        if (key.repeatable) {
            option->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
        } else {
            option->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        }
    }
    command->callback([state, &exitCode] { exitCode = runBridge(*state); });
}

}  // namespace orvex::bridge
