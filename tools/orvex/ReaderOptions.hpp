// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "Session.hpp"

// Options shared by the commands that talk to a reader (and the demo's simulator knobs).

namespace orvex::cli {

// How the simulated reader behaves.
struct SimKnobs {
    std::string name = sim::SimReaderConfig{}.name;
    std::size_t notificationSize = sim::SimReaderConfig{}.notificationSize;
    double delay = sim::SimReaderConfig{}.answerDelay;
    // Fraction of the reader's answers that are disturbed: each one is dropped, sent twice
    // or preceded by garbage, in equal shares.
    double faultRate = 0.0;
};

// --sim-name, --notification-size, --delay, --fault-rate: the same names and defaults in
// every command that runs a simulated reader.
std::vector<CLI::Option*> addSimKnobs(CLI::App& command, SimKnobs& knobs);
// The reader configuration the knobs describe.
void applySimKnobs(const SimKnobs& knobs, sim::SimReaderConfig& config);

struct ReaderArgs {
    bool sim = false;
    std::string adapter;
    // --address: the readers to talk to (at most one, except for watch).
    std::vector<std::string> addresses;
    std::string microAppImage;
    // --record (watch only): the replay script to write.
    std::string recordPath;
    double timeout = 30.0;
    bool json = false;
    SimKnobs knobs;
    bool simNoTag = false;
};

// --sim, --adapter, --address (repeatable when `severalReaders`), --timeout, --json (when
// `json`), the simulator knobs and --sim-no-tag (which need --sim). Returns the --sim flag.
CLI::Option* addReaderOptions(CLI::App& command, ReaderArgs& args, bool json,
                              bool severalReaders = false);
// The session the options describe (bound to the first --address, if any).
SessionOptions sessionOptions(const ReaderArgs& args);
// Checks an address such as "C4:00:00:00:00:01".
CLI::Validator addressValidator();

// A number from `low` to `high` ("must be a number from 0 to 5").
CLI::Validator numberFrom(double low, double high);

// Checks of a tag identifier ("999 000000012345"), a telephone text (optional "+" and up
// to 12 digits or spaces) and an e-mail text (up to 25 letters, digits, spaces or "@._-+").
CLI::Validator tagIdValidator();
CLI::Validator phoneValidator();
CLI::Validator emailValidator();

// Prints "orvex: <command>: <message>" on standard error.
void printError(std::string_view command, std::string_view message);

inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130;

// Prints the one line of a failed step ("interrupted" after SIGINT/SIGTERM) and returns
// the exit code.
int failedStep(std::string_view command, std::string_view message);

// Opens the session the options describe and brings the link up (see Session::connect).
// On failure prints one line, sets `exitCode` and returns nothing.
std::unique_ptr<Session> connectReader(std::string_view command, const ReaderArgs& args,
                                       int& exitCode, const Session::Observer& observe = {});

}  // namespace orvex::cli
