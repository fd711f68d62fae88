// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Scripted conversations with the link: one fresh link on a virtual-time simulated
// platform, fed the events of a script, printing every observable effect as one line.
// Used by `orvex replay` and by the scenario tests.

namespace orvex::sim {

class SimPlatform;

class Replay {
public:
    // Receives every output line (without a line end), in the order things happen.
    using Sink = std::function<void(const std::string& line)>;

    explicit Replay(Sink out);
    ~Replay();
    Replay(const Replay&) = delete;
    Replay& operator=(const Replay&) = delete;

    // Runs one script line and then everything due. A line that cannot be read is not run
    // at all: the result is then the reason (without the line number).
    std::optional<std::string> runLine(std::string_view line);

    SimPlatform& platform();
    // Whether a line "---" ended the script (a scenario file's expected output follows).
    bool ended() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

// Runs a whole script line by line. Stops at the first line that cannot be read and
// returns "line N: reason" (N counted from 1); what ran before it has been printed.
std::optional<std::string> runScript(std::istream& script, const Replay::Sink& out);

}  // namespace orvex::sim
