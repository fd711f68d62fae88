// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orvex/sim/SimReader.hpp"

// A stand-in for bluetoothd: owns org.bluez on a bus and answers like BlueZ 5.66 does for
// one adapter, a few nearby LE devices and one reader whose serial characteristic is
// played by the simulated reader. Tests and `orvex fake-bluez` use it; the backend under
// test talks to it over real D-Bus.

namespace orvex::detail::bluez {

struct FakeDeviceConfig {
    std::string address;              // "C4:00:00:00:00:01"
    std::optional<std::string> name;  // advertised name; absent: a nameless device
    bool nameLater = false;  // the name arrives in a second change after the first sighting
    bool cached = false;     // already in the tree before discovery (heard: RSSI change only)
    std::int16_t rssi = -60;
    // Already in the tree with an RSSI that never changes: another client's discovery, with
    // a filter equal to ours, heard it before we started ours.
    bool heardElsewhere = false;
};

enum class FakeConnect {
    accept,  // Connect succeeds after the connect delay
    refuse,  // Connect fails with org.bluez.Error.Failed (le-connection-abort-by-local)
    hang,    // Connect never answers (until Disconnect cancels it)
};

struct FakeReaderConfig {
    FakeDeviceConfig device{"C4:00:00:00:00:01", "KX-BT4 SIM"};
    sim::SimReaderConfig reader;  // name, service layout and knobs of the simulated reader
    std::uint16_t mtu = 23;
    FakeConnect connect = FakeConnect::accept;
    std::chrono::milliseconds connectDelay{5};
    std::chrono::milliseconds resolveDelay{10};
    bool resolve = true;  // false: ServicesResolved never turns true
    // Connected (and resolved) when the fake starts, as a process that ended left it: the
    // reader does not advertise.
    bool connectedAtStart = false;
    // How long StartNotify takes (the CCC write): Notifying turns true, and StartNotify
    // replies, only then.
    std::chrono::milliseconds notifyDelay{0};
    // A reader whose answers go nowhere until its notifications are on: what it is sent
    // before then is dropped unanswered (see ignoredWrites()).
    bool ignoreWritesBeforeNotify = false;
    // AcquireWrite / AcquireNotify hand out sockets; false: they answer NotSupported (as
    // BlueZ versions and characteristics without them do), leaving WriteValue/StartNotify.
    bool sockets = true;
};

struct FakeConfig {
    std::string adapter = "hci0";
    bool powered = true;
    std::vector<FakeDeviceConfig> nearby = defaultNearby();
    std::optional<FakeReaderConfig> reader = FakeReaderConfig{};
    // Further readers, each with its own address (they accept every connection at once;
    // the knobs of `connect`, `resolve` and the write reply delay apply to `reader` only).
    std::vector<FakeReaderConfig> moreReaders;
    // Time between two sightings after StartDiscovery, and between repeated sightings
    // while discovery runs.
    std::chrono::milliseconds advertiseInterval{5};
    std::chrono::milliseconds readvertiseInterval{300};

    // A handful of LE devices that are no readers: named, nameless, one named late, one
    // cached, one with a reader name fragment in lower case.
    static std::vector<FakeDeviceConfig> defaultNearby();
};

// One WriteValue as the fake received it.
struct FakeWrite {
    std::vector<std::uint8_t> bytes;
    std::string type;  // the `type` option: "request", "command", empty; "socket": AcquireWrite
};

class FakeBluez {
public:
    // Connects to the bus at `busAddress`, builds the object tree and owns org.bluez
    // (owning the name means ready). Throws std::runtime_error when that fails.
    FakeBluez(std::string busAddress, FakeConfig config = {});
    ~FakeBluez();
    FakeBluez(const FakeBluez&) = delete;
    FakeBluez& operator=(const FakeBluez&) = delete;

    static std::string readerPath(const FakeConfig& config);

    // --- driving the fake (any thread but the fake's own; each returns once done)
    void setPowered(bool powered);  // off: the link drops, discovery ends, Powered false
    void removeAdapter();           // the adapter and everything under it vanish
    void dropConnection();          // the reader ends the link (Connected false)
    void removeReaderDevice();      // the reader's Device1 object vanishes
    void setConnectBehaviour(FakeConnect connect);
    // How long a WriteValue of type request waits for the reader's response. Meanwhile
    // every other WriteValue is turned down with InProgress, as BlueZ does.
    void setWriteReplyDelay(std::chrono::milliseconds delay);
    // The `nth` WriteValue from now (1 for the next one) to the reader's write
    // characteristic fails with org.bluez.Error.Failed, as a peripheral's error response
    // does; its bytes do not reach the reader.
    void failWriteValue(std::size_t nth);
    // One notification of the reader's notify characteristic, as if the reader sent it
    // (dropped unless connected with notifications on).
    void notify(std::vector<std::uint8_t> value);
    // bluetoothd leaves the bus (its connection closes) / comes back with a fresh tree.
    void stopService();
    void startService();

    // --- looking at it
    std::shared_ptr<sim::SimReader> reader() const;  // absent without a reader
    // Reader `index`: 0 is `reader`, 1 and on are `moreReaders` (absent past the end).
    std::shared_ptr<sim::SimReader> reader(std::size_t index) const;
    // Reader `index` ends its link (as dropConnection() does for reader 0).
    void dropConnection(std::size_t index);
    // Every write received, in order (WriteValue and socket packets), but for the
    // WriteValue calls turned down before reaching the reader (see refusedWrites()).
    std::vector<FakeWrite> writes() const;
    std::vector<std::string> calls() const;          // method names received, in order
    std::size_t ignoredWrites() const;  // writes the reader dropped (ignoreWritesBeforeNotify)
    // WriteValue calls turned down with InProgress because a write request was still in
    // flight (see setWriteReplyDelay()).
    std::size_t refusedWrites() const;
    // The acquired sockets the fake holds whose other end is still open (0, 1 or 2).
    int acquiredSockets() const;
    bool isConnected() const;
    bool isNotifying() const;
    // How many bus clients hold a discovery session now (BlueZ keeps one per client).
    std::size_t discoveryClients() const;
    // Whether the bus has gone away under the fake; it serves nobody from then on.
    bool busLost() const;
    // Timestamps (steady clock) of the notifications emitted, for measurements.
    std::vector<std::chrono::steady_clock::time_point> notificationTimes() const;

    struct Impl;  // internal (FakeImpl.hpp)

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace orvex::detail::bluez
