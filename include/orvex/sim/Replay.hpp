// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "orvex/sim/Export.hpp"

/// @file
/// Replay of recorded or hand-written sessions: the engine behind `orvex replay`.

namespace orvex::sim {

class SimPlatform;

/// A scripted conversation with a link: one fresh link on a virtual-time simulated
/// platform, fed the events of a script (what the platform delivers, what the host calls,
/// waits), printing every observable effect (platform calls, writes, delegate calls) as
/// one line. The script format is the one `orvex replay` reads and that
/// orvex::record::recordTo() writes, so a session recorded in the field can be run again
/// here, deterministically, for example in a host's own tests.
///
/// Everything runs on the calling thread; a Replay is not shared between threads.
class ORVEX_SIM_EXPORT Replay {
public:
    /// Receives every output line (without a line end), in the order things happen.
    using Sink = std::function<void(const std::string& line)>;

    /// Makes the platform and the link and runs what they do at start (nothing printed
    /// yet is lost: the first lines go to `out`).
    explicit Replay(Sink out);
    /// Tears the link and the platform down; what that makes happen is not printed.
    ~Replay();
    Replay(const Replay&) = delete;
    Replay& operator=(const Replay&) = delete;

    /// Runs one script line and then everything due at the current virtual time.
    /// @return nothing when the line ran (or was blank or a comment); otherwise the reason
    ///         it cannot be read (without a line number), and the line has not run at all.
    std::optional<std::string> runLine(std::string_view line);

    /// The simulated platform the link runs on (for its virtual time and observers).
    SimPlatform& platform();
    /// Whether a line "---" ended the script: in a scenario file, the expected output
    /// follows it and is not run.
    bool ended() const;

    /// The replay's parts (platform, link, delegate, output); opaque to hosts.
    struct State;

private:
    std::unique_ptr<State> state_;
};

/// Runs a whole script, line by line, on a new Replay.
/// @param script the script text.
/// @param out receives every output line.
/// @return nothing when every line ran, or "line N: reason" (N counted from 1) for the
///         first line that cannot be read; what ran before it has been printed.
ORVEX_SIM_EXPORT std::optional<std::string> runScript(std::istream& script,
                                                      const Replay::Sink& out);

}  // namespace orvex::sim
