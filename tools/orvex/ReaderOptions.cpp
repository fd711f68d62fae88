// SPDX-License-Identifier: Apache-2.0
#include "ReaderOptions.hpp"

#include <algorithm>
#include <cctype>

#include <fmt/format.h>

namespace orvex::cli {

std::vector<CLI::Option*> addSimKnobs(CLI::App& command, SimKnobs& knobs, bool prefixed) {
    const std::string group = "Simulated reader";
    std::vector<CLI::Option*> options;
    options.push_back(
        command
            .add_option(prefixed ? "--sim-name" : "--name", knobs.name,
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

CLI::Option* addReaderOptions(CLI::App& command, ReaderArgs& args, bool json) {
    auto* sim =
        command.add_flag("--sim", args.sim, "Use the simulated reader instead of a real one");
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
    auto knobs = addSimKnobs(command, args.knobs, /*prefixed=*/true);
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
