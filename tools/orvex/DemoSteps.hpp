// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "Session.hpp"
#include "Terminal.hpp"

// The steps of `orvex demo`, each shown as one line on the terminal.

namespace orvex::cli {

// The parts a person can pick; discovery, connection, version and disconnection always run.
struct DemoParts {
    bool update = true;       // micro-app update with a progress bar
    bool battery = true;      // battery level
    bool scan = true;         // host-started reading with its owner contact
    bool write = true;        // contact write and read-back
    bool trigger = true;      // reading on the reader's trigger
    bool exportTable = true;  // export of the stored readings
};

// A micro-app image for the simulated reader: a 16-byte head and `slices` slices of 80
// bytes, with made-up contents (it never leaves the simulator).
platform::Bytes demoMicroAppImage(long slices);

class DemoSteps {
public:
    DemoSteps(Session& session, Terminal& term, const DemoParts& parts)
        : session_(session), term_(term), parts_(parts) {}

    // Returns false when the demo cannot go on.
    bool connect();
    // Whether the micro-app update (part of the connection) failed.
    bool updateFailed() const { return updateFailed_; }
    // Each returns false when the step failed (the demo may go on).
    bool scan();
    bool writeContact();
    bool trigger();
    bool exportReadings();
    void disconnect();

    // A short pause between steps on a terminal, so that a person can follow.
    void pause() const;
    // The reason the last wait failed (interrupted, link lost).
    bool linkLost() const { return linkLost_; }

private:
    // Observes the connection set-up and draws it.
    void onConnectEvent(const Event& e);
    // Waits for the end of a reading (with its contact, or failed) and shows it under
    // `label`. Returns the final event, or nothing after showing the failure.
    std::optional<Event> awaitReading(const std::string& label);
    bool failedWait(const std::string& label, const Wait& wait, std::string_view awaited);

    Session& session_;
    Terminal& term_;
    DemoParts parts_;
    bool linkLost_ = false;

    // What discovery saw.
    std::vector<std::string> devices_;
    std::vector<std::string> services_;
    std::size_t characteristics_ = 0;
    // The micro-app upload under way.
    long slices_ = 0;
    std::chrono::steady_clock::time_point updateStart_;
    bool updateFailed_ = false;
    // The tag of the host-started reading.
    std::string tagId_;
};

}  // namespace orvex::cli
