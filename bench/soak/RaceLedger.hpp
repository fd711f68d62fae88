// SPDX-License-Identifier: Apache-2.0
#pragma once

// The ledger of a session with race traffic: what the simulated reader put on the air
// (seen by its send tap) against what the host heard. Its rules:
//
// - Sent is what the reader put on the air while the host had notifications on. A message
//   a fault dropped was never sent; a fault's second copy and its garbage are not messages.
// - Every trigger reading and every host scan reads a tag of its own, so a reading is known
//   by its id. A reading of an FDX-B tag is reported exactly once with `contactPending`
//   true and exactly once with it false (a contact answer lost to a fault only delays the
//   final report until the contact timeout). While 32 FDX-B readings wait for their final
//   report (the link's bound on readings queued for a contact read), one more is reported
//   once, final, without its contact: counted apart ("queue full"), as reported. A reading
//   of another type ends in exactly one
//   final report: scanReceived() with its id, or scanFailed().
// - scanFailed() names no reading, so those are counted per session: one for every other
//   type's reading not reported by its id, and one for every host scan whose tag did not go
//   on the air (refused, no tag in the field, answer dropped, no connection).
// - A reading the host never heard of is excused when the connection ended at the moment it
//   went on the air, or the host had already asked to disconnect. One reported as pending is
//   never excused: the end of a connection ends what is outstanding with its final report.
// - While readings wait for their final report, one comes at least every 50 s (a host scan's
//   and a contact read's timeouts, 21 s each, with room to spare); a longer wait is a stall.
// - Every battery report on the air is reported once, with the same excuse. One equal to the
//   message the reader sent just before it, within a second, may be taken for a fault's
//   second copy of it and not reported: nothing tells the two apart, and it says nothing new.
// - Export records are counted by the export run and their number (see Ledger); those of a
//   run still unreported when the connection or the connection attempt ends are excused.
// - Invented: a version other than the reader's text (or "Connected" with no refusal on the
//   air), startUpdate() with no lock acknowledged, and the lock frame written to a reader
//   that did not ask for an upload on this connection.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Tally.hpp"

namespace orvex::soak {

class RaceLedger {
public:
    // A tag the session will put in the field for a trigger reading or a host scan.
    void expectTag(const std::string& id, bool fdxb);
    // A host scan, with the id of the tag in the field ("" for none).
    void hostScan(const std::string& id);

    // The reader's side (send tap). `now` is the virtual time.
    void readingOnAir(const std::string& id, double now);
    // `mayMerge`: equal to the message sent just before it, within a second.
    void batteryOnAir(double now, bool mayMerge);
    void readerConnected();  // a new connection: what the reader said before counts no more
    void uploadAsked() { uploadAsked_ = true; }
    void lockAcknowledged() { lockAcknowledged_ = true; }
    void refusalOnAir() { refusalOnAir_ = true; }

    // The host's side.
    void pending(const std::string& id, double now);
    // `id` "" for scanFailed() or a report without a reading.
    void final(const std::string& id, double now);
    void battery();
    void version(const std::string& text, const std::string& expected);
    void startUpdate();
    void lockFrameWritten();
    void hostLeaving() { hostLeaving_ = true; }
    void hostConnecting() { hostLeaving_ = false; }
    void connectionEnded(double now);

    void addTo(Tally& tally, std::uint64_t start) const;
    // What was invented, for the trace.
    const std::vector<std::string>& invented() const { return invented_; }

private:
    struct Reading {
        bool fdxb = false;
        bool onAir = false;
        bool excused = false;
        bool queueFull = false;  // reported final at once while the queue was full
        double sentAt = 0.0;
        int pending = 0;
        int finals = 0;
    };
    struct Battery {
        double sentAt = 0.0;
        bool excused = false;
    };
    bool excusedAt(double sentAt, double now) const;

    std::map<std::string, Reading> readings_;
    std::vector<std::string> hostScans_;
    std::vector<Battery> batteries_;
    long batteryReports_ = 0;
    long anonymousFinals_ = 0;
    long waitingForFinal_ = 0;  // readings reported pending and not yet final
    double lastProgress_ = 0.0;  // since when the first of them waits
    long stalls_ = 0;
    long strayReports_ = 0;  // pending or final for a reading never on the air
    std::vector<std::string> invented_;
    bool uploadAsked_ = false;
    bool lockAcknowledged_ = false;
    bool refusalOnAir_ = false;
    bool hostLeaving_ = false;
    double lastSend_ = -1.0;
};

}  // namespace orvex::soak
