// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Events.hpp"
#include "orvex/ReaderInterface.hpp"
#include "orvex/platform/Platform.hpp"
#include "orvex/sim/SimPlatform.hpp"
#include "orvex/sim/SimReader.hpp"

// One conversation with a reader, real or simulated: the platform, the link made on it, and
// a delegate whose callbacks the command waits for with a time limit. The same code drives
// both kinds of reader; only the platform differs.

namespace orvex::cli {

// What the simulated reader and its surroundings are like.
struct SimSetup {
    sim::SimReaderConfig reader;
    sim::DeviceTiming timing;
    // The micro-app image the platform offers the link (absent: none).
    std::optional<platform::Bytes> microAppImage;
    // Other advertising devices around the reader.
    bool nearbyDevices = false;
};

struct SessionOptions {
    // The simulated reader (real time), or else the Bluetooth backend on `adapter`.
    bool sim = false;
    std::string adapter;
    // A micro-app image file for a real reader (the simulated one has `simSetup`).
    std::optional<std::string> microAppImage;
    // The reader's address (empty: the first reader whose name holds a reader name
    // fragment). With `sim`, the simulated reader gets this address.
    std::string address;
    // Records the session as a replay script to this file (empty: no recording).
    std::string recordPath;
    SimSetup simSetup;
    // Longest wait, in seconds, for each thing awaited (a connection, a reading, a write).
    double timeout = 30.0;
};

enum class WaitStatus { matched, timedOut, interrupted, linkLost };

struct Wait {
    WaitStatus status = WaitStatus::timedOut;
    // The matched event, or for linkLost the event that ended the link.
    Event event;
};

class Session {
public:
    using Observer = std::function<void(const Event&)>;
    using Match = std::function<bool(const Event&)>;

    // Builds the platform and the link. Nothing, with a one-line reason in `error`, when
    // the backend cannot be used.
    static std::unique_ptr<Session> open(const SessionOptions& options, std::string& error);
    // One session per address, each with a link of its own bound to that address, all on
    // one platform (with `sim`: one simulated reader per address). Empty, with a one-line
    // reason in `error`, when the backend cannot be used.
    static std::vector<std::unique_ptr<Session>> openSeveral(
        const SessionOptions& options, const std::vector<std::string>& addresses,
        std::string& error);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    ReaderInterface& reader() { return *reader_; }
    // The simulated reader (empty with a real one).
    const std::shared_ptr<sim::SimReader>& simReader() const { return simReader_; }
    double timeout() const { return options_.timeout; }
    // The name looked for (the simulated reader's), or empty for a real reader.
    std::string readerName() const;
    // The address the link is bound to (empty: none).
    const std::string& address() const { return options_.address; }

    // Waits up to `seconds` for an event that `match` accepts. Other events go to `observe`;
    // an event that ends the link (disconnection, failed connection, adapter error) ends
    // the wait with linkLost unless `match` accepts it.
    Wait waitFor(const Match& match, double seconds, const Observer& observe = {});
    // The same, with the session's timeout.
    Wait waitFor(const Match& match, const Observer& observe = {});
    // One line for a wait that did not match: "timed out after 30 s waiting for a reading".
    std::string explain(const Wait& wait, std::string_view awaited) const;

    // Brings the link up: the adapter ready, the reader found and connected, its version
    // read, its micro app checked (and updated if needed) and its battery level read, after
    // which the link is idle. Every event on the way goes to `observe`. Returns an empty
    // text on success, or else a one-line reason.
    std::string connect(const Observer& observe = {});

    // A completion for ReaderInterface::writeContact() that the waits see as an event.
    std::function<void(bool, OrvexContactStatus)> contactCompletion();

    // Disconnects (waiting a few seconds at most for the reader to confirm), then stops
    // the platform. Also done by the destructor.
    void close(const Observer& observe = {});

private:
    class LinkPlatform;

    explicit Session(SessionOptions options);
    // Makes the link on `platform` (shared with the other sessions of `owner`).
    // False, with a one-line reason in `error`, when the recording cannot be made.
    bool attach(std::shared_ptr<platform::Platform> platform, std::shared_ptr<void> owner,
                std::string& error);
    // Records what an event says about the link.
    void track(const Event& event);

    SessionOptions options_;
    std::shared_ptr<EventQueue> queue_;
    std::shared_ptr<EventDelegate> delegate_;
    std::shared_ptr<platform::Platform> platform_;
    std::shared_ptr<LinkPlatform> linkPlatform_;
    // Shared by the sessions of one platform: the last one to let go stops the platform's
    // threads (when the platform needs telling).
    std::shared_ptr<void> platformOwner_;
    bool ownerStops_ = false;
    std::shared_ptr<sim::SimReader> simReader_;
    std::shared_ptr<ReaderInterface> reader_;
    bool connecting_ = false;
    bool connected_ = false;
    bool closed_ = false;
};

}  // namespace orvex::cli
