// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>

#include "Ledger.hpp"
#include "RaceLedger.hpp"
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
    // The reader talks by itself at race pace: trigger readings of every tag type every
    // 0.3-2 s, battery reports and exports, all checked by the race ledger.
    bool race = false;
    // Seconds between two trigger readings, drawn evenly from this range.
    double paceLow = 0.3;
    double paceHigh = 2.0;
    // The host only connects (no scans, contact writes or disconnections).
    bool quietHost = false;
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
    const RaceLedger& raceLedger() const { return race_; }
    bool race() const { return options_.race; }
    const std::string& expectedVersion() const { return expectedVersion_; }
    double now() const;
    const HostView& host() const { return view_; }
    std::uint64_t start() const { return start_; }

    // For the session's parts (delegate, tap, observer).
    Ledger& mutableLedger() { return ledger_; }
    RaceLedger& mutableRace() { return race_; }
    // The reader's side of the race ledger: one message the reader sent.
    void sent(const platform::Bytes& message);
    void setDeviceContext(std::shared_ptr<sim::SimDeviceContext> context) {
        deviceContext_ = std::move(context);
    }
    HostView& mutableHost() { return view_; }
    void trace(const std::string& line) const;

private:
    void hostStep();
    void playRace();
    void addRaceTags();
    void triggerReading();
    void disconnect();
    void connect();
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
    RaceLedger race_;
    std::string expectedVersion_;
    std::size_t firstAnimal_ = 0;
    std::size_t animals_ = 0;
    std::size_t nextAnimal_ = 0;
    std::size_t firstHostTag_ = 0;
    std::size_t hostTags_ = 0;
    std::size_t nextHostTag_ = 0;
    std::shared_ptr<sim::SimDeviceContext> deviceContext_;
    platform::Bytes lastSent_;  // the reader's latest message on the air, and when
    double lastSentAt_ = -1.0;
    HostView view_;
    long exportRuns_ = 0;
    std::shared_ptr<sim::SimPlatform> platform_;
    std::shared_ptr<sim::SimReader> reader_;
    std::shared_ptr<ReaderInterfaceDelegate> delegate_;
    std::shared_ptr<ReaderInterface> link_;
};

}  // namespace orvex::soak
