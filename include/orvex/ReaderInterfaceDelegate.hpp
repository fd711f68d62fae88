// SPDX-License-Identifier: Apache-2.0
#pragma once

/// @file
/// The host's callback interface, ReaderInterfaceDelegate.

#include <optional>
#include <string>
#include <string_view>

#include "orvex/ScanResult.hpp"
#include "orvex/Status.hpp"
#include "orvex/Export.hpp"

namespace orvex {

/// The `prefix` of ReaderInterfaceDelegate::bleDetected() for a device seen during the
/// search; `deviceName` is its advertised name, or BLE_UNNAMED.
inline constexpr std::string_view BLE_DETECTED_DEVICES = "--DETECTED DEVICES--";
/// The `deviceName` of a detected device that advertises no name.
inline constexpr std::string_view BLE_UNNAMED = "unnamed";
/// The `prefix` for each service found on the reader; `deviceName` is its UUID.
inline constexpr std::string_view BLE_DISCOVERED_SERVICES = "--DISCOVERED SERVICES--";
/// The `prefix` for each characteristic found on the reader; `deviceName` is its UUID.
inline constexpr std::string_view BLE_DISCOVERED_CHARACTERISTICS =
    "--DISCOVERED CHARACTERISTICS--";

/// The host's callback interface: every event and every outcome of the link reaches the
/// host through one of these 17 calls.
///
/// The ten pure virtual functions must be implemented; the seven with empty bodies
/// (btReader(), btPoweringDown(), bleDetected(), battery(), startUpdate(), updateStatus(),
/// endUpdate()) are optional.
///
/// **Thread.** Every call is made on the link's serial context (see @ref threading): one
/// call at a time, in the order the events happened, never under a lock of the library.
/// A callback may therefore call any member of ReaderInterface, including setDelegate(),
/// without deadlock; the call it makes is carried out after the callback returns. A
/// callback that blocks holds up the whole link (notifications, timers, every other
/// callback), so hand long work to a thread of your own. A host that updates a user
/// interface moves to its interface thread itself.
///
/// **Holding.** ReaderInterface keeps a strong reference to the delegate set with
/// ReaderInterface::setDelegate(). With no delegate set, every event is still handled
/// (state changes, timers, commands to the reader); only the calls are left out.
class ORVEX_EXPORT ReaderInterfaceDelegate {
public:
    virtual ~ReaderInterfaceDelegate() = default;

    /// The adapter reported powered on: ReaderInterface::isReady() is now true and
    /// ReaderInterface::isConnected() false. Called after ReaderInterface::initializeBluetooth()
    /// once the adapter's first state is known, and again on every later report of powered
    /// on. What follows: the host may call ReaderInterface::connectToReader().
    virtual void btReader() {}

    /// The adapter cannot be used, or a connection was asked for too early.
    ///
    /// Called when the adapter reports a state other than powered on (or resetting) while
    /// no reader is connected, and when ReaderInterface::connectToReader() is called before
    /// the adapter has ever reported powered on (OrvexBluetoothError::notReady). What
    /// follows: nothing; the link waits, and btReader() comes once the adapter is on.
    /// @param reason why the adapter cannot be used.
    virtual void btError(OrvexBluetoothError reason) = 0;

    /// Never called by the library; kept so that hosts written against it compile.
    virtual void btPoweringDown() {}

    /// A trace of discovery, for logs; nothing depends on it.
    ///
    /// While the link looks for the reader: once per peripheral seen, with prefix
    /// `"--DETECTED DEVICES--"` and the peripheral's advertised name, or `"unnamed"`.
    /// After service discovery: once with two empty texts, then once per service with
    /// `"--DISCOVERED SERVICES--"` and the service's UUID text (16-bit UUIDs in short
    /// form, such as `"FFE0"`). After characteristic discovery of each service: once with two empty
    /// texts, then once per characteristic with `"--DISCOVERED CHARACTERISTICS--"` and its UUID
    /// text.
    /// @param prefix which trace this is (see above), or empty.
    /// @param deviceName the name or UUID text traced, or empty.
    virtual void bleDetected(const std::string& prefix, const std::string& deviceName) {
        (void)prefix;
        (void)deviceName;
    }

    /// ReaderInterface::connectToReader() was called while the adapter is ready; the link
    /// is about to look for a reader by its advertised name. What follows: bleDetected()
    /// traces, then readerConnected() or connectionFailed() (at the latest when the
    /// 10-second connection timer runs out).
    virtual void connecting() = 0;

    /// A connection attempt failed. One attempt may report more than one failure (see
    /// OrvexConnectionError). The link is idle and not connected afterwards. What follows:
    /// nothing; the link never retries by itself, the host calls
    /// ReaderInterface::connectToReader() again when it wants to.
    /// @param error the step that failed.
    virtual void connectionFailed(OrvexConnectionError error) = 0;

    /// The reader answered the handshake: ReaderInterface::isConnected() is now true. What
    /// follows, in order: the link asks for the version (version()), then checks the
    /// reader's micro app and uploads an image if the reader asks for one (startUpdate(),
    /// updateStatus(), endUpdate()), then asks for the battery level (battery()). A scan()
    /// asked for before that set-up has finished is refused with scanFailed().
    virtual void readerConnected() = 0;

    /// An established connection ended: ReaderInterface::isConnected() is now false and
    /// the link idle. Called when the reader drops the connection, after
    /// ReaderInterface::disconnectFromReader(), when the link drops a reader that stopped
    /// answering, and when the adapter leaves the powered-on state. An upload under way is
    /// reported first, with endUpdate(OrvexDeviceUpdateStatus::failed). What follows:
    /// nothing; the link never reconnects by itself.
    /// @param cause why the connection ended.
    virtual void readerDisconnected(OrvexDisconnectionCause cause) = 0;

    /// A reading of an FDX-B tag, the only type that carries an owner contact.
    ///
    /// Called twice per reading, whether the host asked for it (ReaderInterface::scan())
    /// or the reader's trigger made it, whatever else the link is doing at the time: first
    /// with `contactPending` true as soon as the tag has been read; then with
    /// `contactPending` false once the contact has been read (set in `result->contact`),
    /// found missing or unreadable (contact empty), or not received within 21 seconds of
    /// being asked for, or when the connection ends first.
    ///
    /// Readings that come faster than their contacts can be read wait in turn: each is
    /// reported at once with `contactPending` true, and their final reports follow in the
    /// order the readings came. A contact is asked for once nothing else holds the link (the
    /// set-up after connecting, an upload, a contact write or the host's scan go first). Up
    /// to 32 readings wait; one more is reported once only, with `contactPending` false and
    /// no contact, and the log hook (orvex::setLogHandler(), level error) says so. A contact
    /// record the reader sends with no reading waiting is dropped.
    /// @param result the reading (`result->scan->xpdr->id` in the form `"999 000000012345"`)
    ///        and the contact, if any.
    /// @param contactPending true when the contact read is still to come.
    virtual void scanReceived(std::optional<ScanResult> result, bool contactPending) = 0;

    /// The reader reports that its own scan started (`active` true, for example on its
    /// trigger) or ended (false). A reading made meanwhile is reported with scanReceived()
    /// or scanFailed() as usual. An end reported while the link waits for a contact is not
    /// passed on.
    /// @param active whether the reader's antenna is now reading.
    virtual void readerScanning(bool active) = 0;

    /// One record of an export of the readings stored on the reader (an export started on
    /// the reader). Records arrive one call each, in order, whatever the tag type, with no
    /// contact.
    /// @param result the stored reading.
    /// @param number the record number at the start of the record, or -1 when it has none.
    virtual void exportReceived(std::optional<ScanResult> result, long number) = 0;

    /// A reading ended without an FDX-B reading to report. Called when scan() is refused
    /// because the link is busy with another exchange (setting up, reading, a contact read
    /// or write, an upload); when the reader reports no tag; when no answer arrived within
    /// 21 seconds (also when scan() was called with no reader connected: nothing is sent);
    /// and when the tag read is not FDX-B or could not be decoded. What follows: the link
    /// is idle.
    virtual void scanFailed() = 0;

    /// The reader's version text, after readerConnected(). The firmware name
    /// `"KESTRALON KX100 MOBILE"` is shortened to `"KX100-M"`; a reader that refuses the
    /// version request is reported as `"Connected"`. What follows: the micro-app check.
    /// @param text the version text (UTF-8).
    virtual void version(const std::string& text) = 0;

    /// The reader's battery level: answered once at the end of each connection's set-up,
    /// then every hundredth idle keep-alive tick (ticks are 2.5 seconds apart, so about
    /// every four minutes).
    /// @param level percent, 0 to 100.
    virtual void battery(long level) { (void)level; }

    /// The reader accepted the lock that opens a micro-app upload. What follows: one
    /// updateStatus() per accepted slice, then endUpdate().
    /// @param slices the number of whole 80-byte slices in the image body. A shorter last
    ///        slice is sent as well, so updateStatus() may report one slice more.
    virtual void startUpdate(long slices) { (void)slices; }

    /// The reader accepted a slice of the micro-app upload.
    /// @param slice index of the accepted slice, from 0.
    virtual void updateStatus(long slice) { (void)slice; }

    /// The micro-app update ended, successfully or not. Also called, with no startUpdate()
    /// before it, when the reader asked for an upload and there is no image
    /// (OrvexDeviceUpdateStatus::initializationError). What follows: the link asks for the
    /// battery level (battery()), unless the connection has ended
    /// (OrvexDeviceUpdateStatus::failed, followed by readerDisconnected()).
    /// @param status the outcome; always present.
    virtual void endUpdate(std::optional<OrvexDeviceUpdateStatus> status) { (void)status; }
};

}  // namespace orvex
