// SPDX-License-Identifier: Apache-2.0
// `orvex peripheral` serving: the simulated reader behind a real GATT server on a BlueZ
// adapter, driven from the terminal or by signals. Part of the tool with the BlueZ backend.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include <fmt/format.h>

#include "Commands.hpp"
#include "PeripheralServe.hpp"
#include "PeripheralServer.hpp"

namespace orvex::cli {

namespace {

constexpr const char* kCommands =
    "commands: trigger [text] | export | tag <n>|none | away | back | disconnect | status | quit";

sim::SimReaderConfig readerConfig(const PeripheralArgs& args) {
    sim::SimReaderConfig config;
    applySimKnobs(args.knobs, config);
    config.service = args.layout == "serial16" ? sim::SimService::serial16 : sim::SimService::uart;
    config.batteryRaw = static_cast<std::uint8_t>(args.battery);
    config.version = args.version;
    config.microAppCurrent = !args.staleMicroApp;
    for (auto& tag : config.tags) {
        if (args.noContact) tag.contact.reset();
        tag.writable = !args.readOnlyTag;
    }
    if (args.noTag) config.tagInField.reset();
    const auto defaults = sim::SimReaderConfig::defaultStoredReadings();
    config.storedReadings.clear();
    for (std::size_t i = 0; i < args.storedReadings; ++i) {
        auto reading = defaults[i % defaults.size()];
        reading.nationalNumber += i / defaults.size();
        config.storedReadings.push_back(reading);
    }
    config.faults.ignorePings = args.ignorePings;
    if (args.disconnectAtFrame) config.faults.disconnectAtFrame = args.disconnectAtFrame;
    if (args.disconnectAtSlice) config.faults.disconnectAtSlice = args.disconnectAtSlice;
    config.faults.disconnectOnContactWrite = args.disconnectOnContactWrite;
    config.faults.randomStart = args.randomStart;
    return config;
}

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// One line typed at the reader's terminal.
void act(PeripheralServer& server, RunLoop& loop, const std::string& line) {
    std::istringstream words(line);
    std::string verb, argument;
    words >> verb >> argument;
    auto& reader = server.reader();
    if (verb.empty()) return;
    if (verb == "trigger") {
        reader.triggerReading(argument == "text" ? sim::SimReadingFormat::text
                                                 : sim::SimReadingFormat::packed);
        say("trigger reading");
    } else if (verb == "export") {
        reader.exportReadings();
        say(fmt::format("export of {} readings", reader.config().storedReadings.size()));
    } else if (verb == "tag") {
        if (argument == "none") {
            reader.setTagInField(std::nullopt);
            say("no tag in the field");
        } else {
            const auto count = reader.config().tags.size();
            const auto index = std::strtoul(argument.c_str(), nullptr, 10);
            if (argument.empty() || index >= count) {
                say(fmt::format("tag: give none or a number below {}", count));
                return;
            }
            reader.setTagInField(index);
            say(fmt::format("tag {} in the field", index));
        }
    } else if (verb == "away") {
        server.goAway();
        say("out of range");
    } else if (verb == "back") {
        server.comeBack();
        say("in range");
    } else if (verb == "disconnect") {
        server.disconnect();
    } else if (verb == "status") {
        const auto config = reader.config();
        say(fmt::format("{}; {} frames received, {} messages sent, micro app {}, {} readings "
                        "stored",
                        server.isConnected() ? "connected" : "not connected",
                        reader.framesReceived(), reader.messagesSent(),
                        reader.microAppCurrent() ? "current" : "stale",
                        config.storedReadings.size()));
    } else if (verb == "quit") {
        loop.stop();
    } else {
        say(kCommands);
    }
}

}  // namespace

int servePeripheral(const PeripheralArgs& args) {
    // Signals arrive as readable data on one descriptor, handled between bus messages.
    sigset_t handled;
    sigemptyset(&handled);
    for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaddset(&handled, s);
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    const int signals = ::signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);

    RunLoop loop;
    PeripheralOptions options;
    options.adapter = args.adapter;
    options.reader = readerConfig(args);
    options.writeWithoutResponse = !args.noWriteWithoutResponse;
    auto server = std::make_shared<PeripheralServer>(loop, options, say);
    if (auto error = server->start()) {
        printError("peripheral", *error);
        return kExitFailed;
    }
    say(fmt::format("ready: {} advertising on {} ({} layout)", options.reader.name, args.adapter,
                    args.layout));

    loop.watch(signals, [&] {
        signalfd_siginfo info;
        while (::read(signals, &info, sizeof info) == sizeof info) {
            if (info.ssi_signo == SIGUSR1) {
                act(*server, loop, "trigger");
            } else if (info.ssi_signo == SIGUSR2) {
                act(*server, loop, "export");
            } else {
                loop.stop();
            }
        }
    });
    std::string pending;
    loop.watch(STDIN_FILENO, [&] {
        char buffer[256];
        const auto n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            // No terminal (or it closed): signals still act, serving goes on.
            loop.unwatch(STDIN_FILENO);
            return;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            act(*server, loop, pending.substr(0, end));
            pending.erase(0, end + 1);
        }
    });
    const bool busOk = loop.run();
    server->stop();
    say("unregistered");
    ::close(signals);
    if (!busOk) {
        printError("peripheral", "the system bus went away");
        return kExitFailed;
    }
    return 0;
}

}  // namespace orvex::cli
