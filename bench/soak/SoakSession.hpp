// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "Ledger.hpp"
#include "orvex/ReaderInterface.hpp"
#include "orvex/sim/SimPlatform.hpp"
#include "orvex/sim/SimReader.hpp"

namespace orvex::soak {

struct SoakOptions {
    double dropRate = 0.05;
    double duplicateRate = 0.05;
    double garbageRate = 0.05;
    // Contact writes issued shortly after scans, whatever the scan is doing.
    bool overlap = false;
    // Host activity per session, in virtual seconds (a settling time follows).
    double sessionSeconds = 120.0;
    // Prints every delegate call with its virtual time.
    bool trace = false;
};

// What the host hears, as the ledger needs it.
struct HostView {
    bool ready = false;
    bool connected = false;
    bool attemptOpen = false;
    bool batterySinceConnect = false;
    bool scanOpen = false;
    long exportRun = -1;  // the export run whose records may still arrive
    std::optional<std::string> version;
    long disconnections = 0;
};

// One whole session on virtual time: a simulated reader with the session's random timing,
// notification size and faults, a link, and a host that connects, scans, writes contacts,
// asks for exports and drops the link at random moments. Every outcome the host hears goes
// into the ledger.
class SoakSession {
public:
    SoakSession(const SoakOptions& options, std::uint64_t start,
                std::optional<sim::SimReaderConfig> fixedReader = std::nullopt);
    ~SoakSession();
    SoakSession(const SoakSession&) = delete;
    SoakSession& operator=(const SoakSession&) = delete;

    // The random session: host activity, then the host disconnects and everything settles.
    void play();
    // Connects and leaves the link alone for `seconds`.
    void connectAndIdle(double seconds);

    const Ledger& ledger() const { return ledger_; }
    const HostView& host() const { return view_; }
    std::uint64_t start() const { return start_; }

    // For the session's parts (delegate, tap, observer).
    Ledger& mutableLedger() { return ledger_; }
    HostView& mutableHost() { return view_; }
    void trace(const std::string& line) const;

private:
    void hostStep();
    void scan();
    void writeContact();
    void askForExport();
    void advance(double seconds);
    double uniform(double low, double high);
    bool chance(double p);

    SoakOptions options_;
    std::uint64_t start_;
    std::mt19937_64 random_;
    sim::SimReaderConfig readerConfig_;
    Ledger ledger_;
    HostView view_;
    long exportRuns_ = 0;
    std::shared_ptr<sim::SimPlatform> platform_;
    std::shared_ptr<sim::SimReader> reader_;
    std::shared_ptr<ReaderInterfaceDelegate> delegate_;
    std::unique_ptr<ReaderInterface> link_;
};

}  // namespace orvex::soak
