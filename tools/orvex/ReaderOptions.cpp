// SPDX-License-Identifier: Apache-2.0
#include "ReaderOptions.hpp"

#include <algorithm>
#include <cctype>

#include <fmt/format.h>

namespace orvex::cli {

std::vector<CLI::Option*> addSimKnobs(CLI::App& command, SimKnobs& knobs) {
    const std::string group = "Simulated reader";
    std::vector<CLI::Option*> options;
    options.push_back(
        command
            .add_option("--sim-name", knobs.name,
                        "Advertised name of the simulated reader (it must hold a reader name "
                        "fragment such as KX-BT4 for the link to pick it)")
            ->group(group)
            ->capture_default_str());
    options.push_back(command
                          .add_option("--notification-size", knobs.notificationSize,
                                      "Largest notification of the simulated reader, in bytes")
                          ->check(numberFrom(6, 512))
                          ->group(group)
                          ->capture_default_str());
    options.push_back(command
                          .add_option("--delay", knobs.delay,
                                      "Seconds the simulated reader takes to answer a command")
                          ->check(numberFrom(0, 5))
                          ->group(group)
                          ->capture_default_str());
    options.push_back(
        command
            .add_option("--fault-rate", knobs.faultRate,
                        "Fraction of the simulated reader's answers that are dropped, doubled or "
                        "preceded by garbage")
            ->check(numberFrom(0, 1))
            ->group(group)
            ->capture_default_str());
    return options;
}

void applySimKnobs(const SimKnobs& knobs, sim::SimReaderConfig& config) {
    config.name = knobs.name;
    config.notificationSize = knobs.notificationSize;
    config.answerDelay = knobs.delay;
    config.faults.dropRate = knobs.faultRate / 3.0;
    config.faults.duplicateRate = knobs.faultRate / 3.0;
    config.faults.garbageRate = knobs.faultRate / 3.0;
}

CLI::Option* addReaderOptions(CLI::App& command, ReaderArgs& args, bool json,
                              bool severalReaders) {
    auto* sim =
        command.add_flag("--sim", args.sim, "Use the simulated reader instead of a real one");
    auto* address = command.add_option(
        "--address", args.addresses,
        severalReaders
            ? "Bluetooth address of a reader to watch, e.g. C4:00:00:00:00:01; repeat it to "
              "watch several readers at once, each line labelled with its reader (default: "
              "the first reader found; see orvex list). With --sim, one simulated reader per "
              "address"
            : "Bluetooth address of the reader, e.g. C4:00:00:00:00:01 (default: the first "
              "reader found; see orvex list). With --sim, the simulated reader's address");
    address->check(addressValidator())->type_name("ADDRESS");
    if (!severalReaders) address->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    command
        .add_option("--adapter", args.adapter,
                    "Bluetooth adapter of a real reader, e.g. hci0 (default: the first one)")
        ->excludes(sim);
    command
        .add_option("--micro-app-image", args.microAppImage,
                    "Micro-app image file to upload when a real reader asks for an update "
                    "(default: the one built into the library, if any)")
        ->check(CLI::ExistingFile)
        ->excludes(sim);
    command.add_option("--timeout", args.timeout, "Longest wait, in seconds, for each step")
        ->check(numberFrom(0.1, 3600))
        ->capture_default_str();
    if (json) command.add_flag("--json", args.json, "Print JSON instead of text");
    auto knobs = addSimKnobs(command, args.knobs);
    knobs.push_back(
        command.add_flag("--sim-no-tag", args.simNoTag, "No tag in the simulated reader's field")
            ->group("Simulated reader"));
    for (auto* option : knobs) option->needs(sim);
    return sim;
}

SessionOptions sessionOptions(const ReaderArgs& args) {
    SessionOptions options;
    options.sim = args.sim;
    options.adapter = args.adapter;
    if (!args.addresses.empty()) options.address = args.addresses.front();
    options.recordPath = args.recordPath;
    if (!args.microAppImage.empty()) options.microAppImage = args.microAppImage;
    options.timeout = args.timeout;
    applySimKnobs(args.knobs, options.simSetup.reader);
    if (args.simNoTag) options.simSetup.reader.tagInField.reset();
    return options;
}

CLI::Validator numberFrom(double low, double high) {
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            double value = 0;
            if (!CLI::detail::lexical_cast(text, value) || !(value >= low && value <= high)) {
                return fmt::format("must be a number from {:g} to {:g}", low, high);
            }
            return {};
        },
        fmt::format("{:g}..{:g}", low, high));
}

CLI::Validator addressValidator() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            bool ok = text.size() == 17;
            for (std::size_t i = 0; ok && i < text.size(); ++i) {
                ok = i % 3 == 2 ? text[i] == ':'
                                : std::isxdigit(static_cast<unsigned char>(text[i])) != 0;
            }
            return ok ? "" : "an address looks like C4:00:00:00:00:01 (six hex pairs and colons)";
        },
        "ADDRESS");
}

CLI::Validator tagIdValidator() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            const bool ok = text.size() == 16 && text[3] == ' ' &&
                            std::all_of(text.begin(), text.end(), [&, i = 0](char c) mutable {
                                return i++ == 3 || std::isdigit(static_cast<unsigned char>(c));
                            });
            return ok ? "" : "a tag looks like \"999 000000012345\" (3 digits, a space, 12 digits)";
        },
        "ID");
}

CLI::Validator phoneValidator() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            const std::string_view digits =
                std::string_view(text).substr(!text.empty() && text[0] == '+' ? 1 : 0);
            const bool ok = !digits.empty() && digits.size() <= 12 &&
                            std::all_of(digits.begin(), digits.end(), [](char c) {
                                return c == ' ' || std::isdigit(static_cast<unsigned char>(c));
                            });
            return ok ? "" : "a telephone number is an optional '+' and up to 12 digits or spaces";
        },
        "PHONE");
}

CLI::Validator emailValidator() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            const bool ok = !text.empty() && text.size() <= 25 &&
                            std::all_of(text.begin(), text.end(), [](char c) {
                                return std::isalnum(static_cast<unsigned char>(c)) ||
                                       std::string_view(" @._-+").find(c) != std::string_view::npos;
                            });
            return ok ? ""
                      : "an e-mail text has up to 25 letters, digits, spaces or the signs @ . _ - "
                        "+";
        },
        "EMAIL");
}

void printError(std::string_view command, std::string_view message) {
    fmt::print(stderr, "orvex: {}: {}\n", command, message);
}

int failedStep(std::string_view command, std::string_view message) {
    if (interruptRequested()) {
        printError(command, "interrupted");
        return kExitInterrupted;
    }
    printError(command, message);
    return kExitFailed;
}

std::unique_ptr<Session> connectReader(std::string_view command, const ReaderArgs& args,
                                       int& exitCode, const Session::Observer& observe) {
    installInterruptHandlers();
    std::string error;
    auto session = Session::open(sessionOptions(args), error);
    if (!session) {
        printError(command, error);
        exitCode = kExitUsage;
        return nullptr;
    }
    error = session->connect(observe);
    if (!error.empty()) {
        exitCode = failedStep(command, error);
        return nullptr;
    }
    return session;
}

}  // namespace orvex::cli
