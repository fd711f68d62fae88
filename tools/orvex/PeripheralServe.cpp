// SPDX-License-Identifier: Apache-2.0
// `orvex peripheral` serving: the simulated reader behind a real GATT server on a BlueZ
// adapter (orvex::bluez::servePeripheral, on its own thread), driven from the terminal or by
// signals on this one. Part of the tool with the BlueZ backend.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <orvex/bluez/Peripheral.hpp>

#include "Commands.hpp"
#include "PeripheralServe.hpp"

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

// One line typed at the reader's terminal; false when it asks to end.
bool act(bluez::ServedPeripheral& peripheral, const std::string& line) {
    std::istringstream words(line);
    std::string verb, argument;
    words >> verb >> argument;
    if (verb.empty()) return true;
    if (verb == "trigger") {
        const auto format =
            argument == "text" ? sim::SimReadingFormat::text : sim::SimReadingFormat::packed;
        peripheral.withReader([&](sim::SimReader& reader) { reader.triggerReading(format); });
        say("trigger reading");
    } else if (verb == "export") {
        std::size_t stored = 0;
        peripheral.withReader([&](sim::SimReader& reader) {
            reader.exportReadings();
            stored = reader.config().storedReadings.size();
        });
        say(fmt::format("export of {} readings", stored));
    } else if (verb == "tag") {
        if (argument == "none") {
            peripheral.withReader(
                [](sim::SimReader& reader) { reader.setTagInField(std::nullopt); });
            say("no tag in the field");
        } else {
            const auto index = std::strtoul(argument.c_str(), nullptr, 10);
            std::size_t count = 0;
            peripheral.withReader([&](sim::SimReader& reader) {
                count = reader.config().tags.size();
                if (!argument.empty() && index < count) reader.setTagInField(index);
            });
            if (argument.empty() || index >= count) {
                say(fmt::format("tag: give none or a number below {}", count));
                return true;
            }
            say(fmt::format("tag {} in the field", index));
        }
    } else if (verb == "away") {
        peripheral.goAway();
        say("out of range");
    } else if (verb == "back") {
        peripheral.comeBack();
        say("in range");
    } else if (verb == "disconnect") {
        peripheral.disconnect();
    } else if (verb == "status") {
        const bool connected = peripheral.isConnected();
        std::string counters;
        peripheral.withReader([&](sim::SimReader& reader) {
            counters = fmt::format(
                "{} frames received, {} messages sent, micro app {}, {} "
                "readings stored",
                reader.framesReceived(), reader.messagesSent(),
                reader.microAppCurrent() ? "current" : "stale",
                reader.config().storedReadings.size());
        });
        say(fmt::format("{}; {}", connected ? "connected" : "not connected", counters));
    } else if (verb == "quit") {
        return false;
    } else {
        say(kCommands);
    }
    return true;
}

}  // namespace

int servePeripheral(const PeripheralArgs& args) {
    // Signals arrive as readable data on one descriptor. Blocked before the serving thread
    // starts, so that it inherits the mask and none is delivered there.
    sigset_t handled;
    sigemptyset(&handled);
    for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaddset(&handled, s);
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    const int signals = ::signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
    // Readable once serving has ended by itself (the bus went away).
    const int endedFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    bluez::PeripheralOptions options;
    options.adapter = args.adapter;
    options.reader = readerConfig(args);
    options.writeWithoutResponse = !args.noWriteWithoutResponse;
    options.log = say;
    options.ended = [endedFd](const std::string&) {
        std::uint64_t one = 1;
        (void)!::write(endedFd, &one, sizeof one);
    };
    std::string error;
    auto peripheral = bluez::servePeripheral(options, &error);
    if (!peripheral) {
        printError("peripheral", error);
        ::close(signals);
        ::close(endedFd);
        return kExitFailed;
    }
    say(fmt::format("ready: {} advertising on {} ({} layout)", options.reader.name, args.adapter,
                    args.layout));

    bool serving = true;
    bool endedByItself = false;
    // No terminal (or it closed): signals still act, serving goes on.
    bool terminal = true;
    std::string pending;
    while (serving) {
        std::vector<pollfd> fds{{endedFd, POLLIN, 0}, {signals, POLLIN, 0}};
        if (terminal) fds.push_back({STDIN_FILENO, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents & POLLIN) {
            endedByItself = true;
            break;
        }
        if (fds[1].revents & POLLIN) {
            signalfd_siginfo info;
            while (::read(signals, &info, sizeof info) == sizeof info) {
                if (info.ssi_signo == SIGUSR1) {
                    act(*peripheral, "trigger");
                } else if (info.ssi_signo == SIGUSR2) {
                    act(*peripheral, "export");
                } else {
                    serving = false;
                }
            }
        }
        if (terminal && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            char buffer[256];
            const auto n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n <= 0) {
                terminal = false;
                continue;
            }
            pending.append(buffer, static_cast<std::size_t>(n));
            for (auto end = pending.find('\n'); serving && end != std::string::npos;
                 end = pending.find('\n')) {
                serving = act(*peripheral, pending.substr(0, end));
                pending.erase(0, end + 1);
            }
        }
    }
    peripheral->stop();
    say("unregistered");
    ::close(signals);
    ::close(endedFd);
    if (endedByItself) {
        printError("peripheral", peripheral->ended().value_or("serving ended"));
        return kExitFailed;
    }
    return 0;
}

}  // namespace orvex::cli
