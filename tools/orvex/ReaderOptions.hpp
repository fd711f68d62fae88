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

// --sim-name (--name when not `prefixed`), --notification-size, --delay, --fault-rate.
std::vector<CLI::Option*> addSimKnobs(CLI::App& command, SimKnobs& knobs, bool prefixed);
// The reader configuration the knobs describe.
void applySimKnobs(const SimKnobs& knobs, sim::SimReaderConfig& config);

struct ReaderArgs {
    bool sim = false;
    std::string adapter;
    std::string microAppImage;
    double timeout = 30.0;
    bool json = false;
    SimKnobs knobs;
    bool simNoTag = false;
};

// --sim, --adapter, --timeout, --json (when `json`), the simulator knobs and --sim-no-tag
// (which need --sim). Returns the --sim flag.
CLI::Option* addReaderOptions(CLI::App& command, ReaderArgs& args, bool json);
// The session the options describe.
SessionOptions sessionOptions(const ReaderArgs& args);

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
