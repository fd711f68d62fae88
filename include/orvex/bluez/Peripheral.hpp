// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "orvex/sim/Export.hpp"
#include "orvex/sim/SimReader.hpp"

/// \file
/// The simulated reader as a real Bluetooth LE peripheral: a GATT application and an
/// advertisement registered with bluetoothd on one adapter, served from a thread of its own.
/// What `orvex peripheral` runs, for a host's own tests against the real BlueZ stack: start
/// a reader on one adapter, let the host under test find and connect to it on another,
/// and act as the person at the reader. Part of the orvex::sim library (link orvex::sim).
///
/// \code
/// orvex::bluez::PeripheralOptions options;
/// options.adapter = "hci1";
/// options.reader.name = "KX-BT4 TEST";
/// options.log = [](const std::string& line) { std::clog << "reader: " << line << '\n'; };
/// std::string why;
/// auto reader = orvex::bluez::servePeripheral(options, &why);
/// if (!reader) { std::cerr << why << '\n'; return 2; }
/// // ... the host under test connects on hci0 ...
/// reader->withReader([](orvex::sim::SimReader& r) { r.triggerReading(); });
/// reader->goAway();    // out of range: no advertising, the link dropped
/// reader->comeBack();  // advertising again
/// reader.reset();      // unregisters and ends the serving thread
/// \endcode

namespace orvex::bluez {

/// Where and what a served peripheral serves.
struct ORVEX_SIM_EXPORT PeripheralOptions {
    /// The D-Bus address of the bus bluetoothd lives on ("unix:path=..."). Absent: the
    /// system bus (DBUS_SYSTEM_BUS_ADDRESS is honoured).
    std::optional<std::string> busAddress;
    /// The adapter to serve on, such as "hci1". Empty: "hci0".
    std::string adapter = "hci0";
    /// The simulated reader's make-up: its advertised name (`reader.name`), GATT layout
    /// (`reader.service`), tags, stored readings, answer delay and faults.
    sim::SimReaderConfig reader;
    /// Whether the write characteristic also takes unacknowledged writes, which is what lets
    /// a BlueZ central acquire a socket for writing. Without it, a central writes every
    /// frame with an acknowledged WriteValue.
    bool writeWithoutResponse = true;
    /// Called on the serving thread with one line for each event: a central connected, the
    /// link dropped, advertising stopped or again, bluetoothd left or came back. Empty: the
    /// events are not reported.
    std::function<void(const std::string&)> log;
    /// Called once on the serving thread, with the reason, when serving ends by itself (the
    /// bus went away); not after stop(). Empty: nothing is called.
    std::function<void(const std::string&)> ended;
};

/// A simulated reader served on a BlueZ adapter, from a serving thread of its own. Every
/// member may be called from any thread; the reader, the D-Bus connection and the
/// callbacks of PeripheralOptions all live on the serving thread.
///
/// When bluetoothd restarts, the application and the advertisement are registered again
/// by themselves. Destroying it is stop(). It must not be destroyed on its serving thread
/// (in a callback or a withReader() action).
class ORVEX_SIM_EXPORT ServedPeripheral {
public:
    /// Unregisters and ends the serving thread, as stop() does.
    virtual ~ServedPeripheral();

    /// Runs `action` with the reader on the serving thread and returns when it has run,
    /// for a trigger reading, an export, a tag put in the field or taken out, or a look at
    /// its counters. An exception `action` throws is thrown here. Called on the serving
    /// thread itself (from a callback), it runs `action` at once.
    /// @return false, without running `action`, once serving has ended.
    virtual bool withReader(const std::function<void(sim::SimReader&)>& action) = 0;
    /// Out of range: the advertisement is unregistered and the link, if any, dropped from
    /// the reader's side. Returns when the calls have gone out to bluetoothd.
    virtual void goAway() = 0;
    /// In range again: the advertisement is registered again.
    virtual void comeBack() = 0;
    /// Drops the link to the central, if there is one, from the reader's side.
    virtual void disconnect() = 0;
    /// Whether a central is connected (it connected, or wrote or subscribed, and has not
    /// disconnected since).
    virtual bool isConnected() const = 0;
    /// Empty while serving. Once serving has ended, why: "the system bus went away" (or "the
    /// bus went away", on the bus of PeripheralOptions::busAddress) when it ended by itself,
    /// "stopped" after stop().
    virtual std::optional<std::string> ended() const = 0;
    /// Unregisters the advertisement and the application (waiting up to 3 s for
    /// bluetoothd's answers) and ends the serving thread. Does nothing once it has ended.
    /// Called on the serving thread, it asks the thread to end and returns at once.
    virtual void stop() = 0;

protected:
    /// Made by servePeripheral() only.
    ServedPeripheral() = default;
};

/// Serves the simulated reader described by `options` as a real Bluetooth LE peripheral:
/// registers the GATT application (GattManager1.RegisterApplication) and the advertisement
/// (LEAdvertisingManager1.RegisterAdvertisement) on the adapter, and returns once
/// bluetoothd has accepted both (waiting up to 30 s). It serves the GATT layout of
/// `options.reader.service` and advertises `options.reader.name` with the service's UUID.
///
/// Registering takes permission to do so on the bus (root, or a D-Bus policy that allows it).
/// When the bus cannot be reached, the adapter does not exist or bluetoothd refuses or does
/// not answer, it returns nullptr and, if `error` is given, one line for a person in
/// `*error`. A build without BlueZ support always returns nullptr.
ORVEX_SIM_EXPORT std::unique_ptr<ServedPeripheral> servePeripheral(const PeripheralOptions& options,
                                                                   std::string* error = nullptr);

}  // namespace orvex::bluez
