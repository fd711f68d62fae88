// SPDX-License-Identifier: Apache-2.0
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
#include "ReaderOptions.hpp"

#ifdef ORVEX_WITH_BLUEZ
#include "PeripheralServer.hpp"
#endif

// orvex peripheral: the simulated reader as a real BLE peripheral on a BlueZ adapter, for
// testing a phone or desktop app without the hardware. The person at the reader acts from
// the terminal (or by signals).

namespace orvex::cli {

namespace {

struct PeripheralArgs {
    std::string adapter = "hci0";
    std::string layout = "uart";
    SimKnobs knobs;
    bool noTag = false;
    bool noContact = false;
    bool readOnlyTag = false;
    unsigned battery = sim::SimReaderConfig{}.batteryRaw;
    std::size_t storedReadings = sim::SimReaderConfig::defaultStoredReadings().size();
    bool staleMicroApp = false;
    std::string version = sim::SimReaderConfig{}.version;
    bool ignorePings = false;
    std::size_t disconnectAtFrame = 0;
    std::size_t disconnectAtSlice = 0;
    bool disconnectOnContactWrite = false;
    std::uint64_t seed = 1;
    bool noWriteWithoutResponse = false;
};

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
    config.faults.randomStart = args.seed;
    return config;
}

#ifdef ORVEX_WITH_BLUEZ
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

int serve(const PeripheralArgs& args) {
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
#endif

}  // namespace

void addPeripheralCommand(CLI::App& app, CommandContext& ctx) {
    auto args = std::make_shared<PeripheralArgs>();
    auto* command = app.add_subcommand(
        "peripheral",
        "Be the reader: serve the simulated reader as a real Bluetooth LE peripheral on a BlueZ "
        "adapter, so that an app can find it, connect and talk to it without the hardware");
    command->footer(std::string(
        "While it runs, type at its terminal (one command a line):\n"
        "  trigger [text]   a reading on the reader's trigger (packed record, or text record)\n"
        "  export           send every stored reading\n"
        "  tag <n>|none     put configured tag n in the field, or empty it\n"
        "  away / back      out of range (no advertising, link dropped) / in range again\n"
        "  disconnect       drop the link from the reader's side\n"
        "  status           connection and counters\n"
        "  quit             unregister and end\n"
        "SIGUSR1 is a trigger reading, SIGUSR2 an export; SIGINT or SIGTERM unregister and "
        "end.\nNeeds bluetoothd and permission to register GATT applications (root, or the "
        "bluetooth group's policy)."));
    command->add_option("--adapter", args->adapter, "BlueZ adapter to serve on, e.g. hci1")
        ->capture_default_str();
    command
        ->add_option("--layout", args->layout,
                     "GATT layout: uart (128-bit transparent UART service) or serial16 (FFE0 "
                     "service, one FFE1 characteristic)")
        ->check(CLI::IsMember({"uart", "serial16"}))
        ->capture_default_str();
    command->add_flag("--no-write-without-response", args->noWriteWithoutResponse,
                      "The write characteristic takes only acknowledged writes (a central then "
                      "cannot acquire a write socket and falls back to WriteValue)");
    addSimKnobs(*command, args->knobs);
    const std::string group = "Simulated reader";
    command->add_flag("--sim-no-tag", args->noTag, "No tag in the reader's field")->group(group);
    command->add_flag("--no-contact", args->noContact, "The tag carries no owner contact")
        ->group(group);
    command->add_flag("--read-only-tag", args->readOnlyTag, "The tag refuses contact writes")
        ->group(group);
    command->add_option("--battery", args->battery, "Raw battery level byte (134 is full)")
        ->check(CLI::Range(0, 255))
        ->group(group)
        ->capture_default_str();
    command->add_option("--stored-readings", args->storedReadings, "Readings stored for an export")
        ->check(CLI::Range(0, 999))
        ->group(group)
        ->capture_default_str();
    command->add_flag("--stale-micro-app", args->staleMicroApp,
                      "The reader asks for a micro-app upload after connecting")
        ->group(group);
    command->add_option("--version-text", args->version, "The version text the reader answers")
        ->group(group)
        ->capture_default_str();
    command->add_flag("--ignore-pings", args->ignorePings, "Pings go unanswered")->group(group);
    command
        ->add_option("--disconnect-at-frame", args->disconnectAtFrame,
                     "Drop the link when the Nth frame arrives (once)")
        ->check(CLI::PositiveNumber)
        ->group(group);
    command
        ->add_option("--disconnect-at-slice", args->disconnectAtSlice,
                     "Drop the link when the Nth slice of a micro-app upload arrives (once)")
        ->check(CLI::PositiveNumber)
        ->group(group);
    command->add_flag("--disconnect-on-contact-write", args->disconnectOnContactWrite,
                      "Drop the link, storing nothing, when a contact write arrives (once)")
        ->group(group);
    command->add_option("--seed", args->seed, "Start value of the fault generator")
        ->group(group)
        ->capture_default_str();
    command->callback([args, &ctx] {
#ifdef ORVEX_WITH_BLUEZ
        ctx.exitCode = serve(*args);
#else
        printError("peripheral", "this build has no BlueZ support");
        ctx.exitCode = kExitFailed;
#endif
    });
}

}  // namespace orvex::cli
