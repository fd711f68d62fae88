// SPDX-License-Identifier: Apache-2.0
#pragma once

/// @file
/// The link to the reader, ReaderInterface: what a host includes first.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "orvex/ReaderInterfaceDelegate.hpp"
#include "orvex/ScanResult.hpp"
#include "orvex/Status.hpp"
#include "orvex/Export.hpp"

/// Everything of the library a host uses.
namespace orvex {

namespace platform {
class Platform;
}
namespace detail {
class Link;
struct ReaderInterfaceFactory;
}  // namespace detail

/// The link to one handheld reader: it finds the reader by its advertised name, connects,
/// keeps the connection alive, delivers tag readings with the owner contact stored on
/// FDX-B tags, writes contacts, and keeps the reader's micro app current.
///
/// Most hosts use the process-wide link, reader(); create() makes further, independent
/// links (one per reader). The host sets its delegate, calls
/// initializeBluetooth(), waits for ReaderInterfaceDelegate::btReader() and calls
/// connectToReader(); see @ref index "the main page" for a whole session.
///
/// **Threading contract** (see also @ref threading):
/// - Every member function may be called from any thread, also from inside a delegate
///   call. The operations (initializeBluetooth(), connectToReader(),
///   disconnectFromReader(), scan(), writeContact(), setMicroAppImagePath()) hand their
///   work to the link's serial context and return at once, without blocking; they take
///   effect there in the order they were called. Their outcomes arrive later through the
///   delegate.
/// - The serial context is the platform's platform::Platform::linkQueue(): on BlueZ a
///   thread of the library's own; on sim::SimPlatform the thread that calls
///   sim::SimPlatform::runUntilIdle() or sim::SimPlatform::advance() (virtual time) or the
///   platform's own thread (real time). Platform callbacks, timer actions, message
///   handling and every delegate call run there, one at a time, never under a lock of the
///   library.
/// - isConnected(), isReady() and isScanning() may be read from any thread; they tell the
///   state as of the last event the link handled, which may change right after.
/// - The completion of writeContact() runs on platform::Platform::mainExecutor() (on
///   BlueZ another thread of the library's own, not the host's main thread; on
///   sim::SimPlatform its run loop).
///
/// **Failures** are never thrown or returned: every outcome arrives as a delegate call or
/// a completion call, and after any failure or disconnection the link is idle and not
/// connected. It never retries or reconnects by itself.
class ORVEX_EXPORT ReaderInterface {
public:
    /// The process-wide link, created on first use (once, also when several threads ask
    /// at the same time) and kept for the life of the process. It runs on the platform
    /// chosen with usePlatform() before that first use, or else on the default backend
    /// (BlueZ on Linux). When the build has no usable backend, the link stays not ready
    /// and its operations do nothing.
    static ReaderInterface& reader();

    /// Chooses the platform of the process-wide link: the simulator
    /// (sim::SimPlatform), or a host's own platform::Platform.
    /// @param platform the platform the link will run on.
    /// @return true when the choice was taken; false, changing nothing, once reader() has
    ///         created the link.
    static bool usePlatform(std::shared_ptr<platform::Platform> platform);

    /// Creates an independent link on `platform`, beside the process-wide one: it has its
    /// own delegate, its own central manager and its own reader. Several links may share
    /// one platform (on BlueZ they share its threads); bind each to its
    /// reader with setReaderAddress() so that they never take the same one. The link lets
    /// its reader go when the last reference to it is dropped.
    ///
    /// \code
    /// auto platform = orvex::bluez::makePlatform({});
    /// auto left = orvex::ReaderInterface::create(platform);
    /// left->setReaderAddress("C4:00:00:00:00:01");
    /// left->setDelegate(myDelegate);
    /// left->initializeBluetooth();
    /// \endcode
    static std::shared_ptr<ReaderInterface> create(std::shared_ptr<platform::Platform> platform);

    /// Whether `name` would select a reader by default: it holds one of the reader name
    /// fragments ("KX-BT4", "KESTRALON", ...). Matching is case-sensitive.
    static bool isReaderName(std::string_view name);

    /// Stops the link's timers and lets a connected reader go (or stops a search under
    /// way). The process-wide link is destroyed only at the end of the process.
    ///
    /// Teardown: once the destructor returns, no delegate call starts any more. A delegate
    /// call already under way on another thread is waited for before the destructor
    /// returns, so a host may free what its delegate uses right after. So is the platform's
    /// own work for the link under way on its link queue: the platform, when the link held
    /// its last reference, ends on the destroying thread. Destroying the link
    /// from inside one of its own delegate calls does not wait for that call (it returns
    /// first); a delegate call must therefore not wait for a thread that is destroying the
    /// link. Outcomes still owed at that moment are not reported.
    ~ReaderInterface();
    /// Not copyable: a link is shared through its handle.
    ReaderInterface(const ReaderInterface&) = delete;
    /// Not copyable: a link is shared through its handle.
    ReaderInterface& operator=(const ReaderInterface&) = delete;

    /// The delegate set with setDelegate(); empty before.
    std::shared_ptr<ReaderInterfaceDelegate> delegate() const;
    /// Sets (or, with an empty pointer, removes) the delegate, held strongly until it is
    /// replaced. Safe from any thread, also from inside a delegate call; a delegate call
    /// already under way finishes on the previous delegate. The progress calls of a
    /// micro-app upload under way (ReaderInterfaceDelegate::startUpdate() and
    /// ReaderInterfaceDelegate::updateStatus()) keep going to the delegate that was set
    /// when the upload began, while that delegate lives.
    /// @param delegate the host's callback object.
    void setDelegate(std::shared_ptr<ReaderInterfaceDelegate> delegate);

    /// Whether a reader is connected: true from ReaderInterfaceDelegate::readerConnected()
    /// until the connection ends.
    bool isConnected() const;
    /// Whether the adapter has reported powered on at least once (true from the first
    /// ReaderInterfaceDelegate::btReader() on; it does not go back to false).
    bool isReady() const;
    /// Whether the link is looking for a reader (between connectToReader() and the moment
    /// a reader is found or the search times out); false before initializeBluetooth().
    bool isScanning() const;

    /// Creates the platform's central manager. Its first state report follows: btReader()
    /// when the adapter is on, btError() when it cannot be used (nothing while it is
    /// resetting). Call it once, after setDelegate(); a
    /// second call replaces the central manager, dropping whatever the first was doing.
    void initializeBluetooth();

    /// Looks for a reader (an advertised name holding one of the reader name fragments,
    /// such as `"KX-BT4"`, or the one chosen with setReaderAddress()/setReaderName()),
    /// connects to the first one found and sets the link up.
    ///
    /// Reports connecting(), then exactly one outcome for the attempt: readerConnected() or
    /// one connectionFailed(); a search that finds nothing ends after 10 seconds. Before the
    /// adapter has ever reported powered on it reports only
    /// btError(OrvexBluetoothError::notReady). Called while connected, it reports
    /// readerConnected() at once and leaves the live link as it is. A second call before
    /// the outcome joins the attempt under way and restarts its time limit.
    void connectToReader();

    /// Ends the connection to the reader; ReaderInterfaceDelegate::readerDisconnected()
    /// (or, before the handshake, connectionFailed()) follows when the platform reports the
    /// end. With no reader found yet it changes nothing visible: a search under way goes on
    /// until its timer ends it with connectionFailed(OrvexConnectionError::connectionTimeout).
    void disconnectFromReader();

    /// Asks the reader for one tag reading. The outcome arrives through the delegate as
    /// exactly one final report: scanFailed(), or scanReceived() with `contactPending`
    /// false (after one with `contactPending` true when the tag's contact is being read).
    /// Refused at once with scanFailed() while the link is busy with another exchange (the
    /// set-up after connecting, a contact write, an upload). A lost connection gives the
    /// final report before readerDisconnected(). With no reader connected nothing is sent
    /// and scanFailed() follows after 21 seconds.
    void scan();

    /// Writes an owner contact to the tag `xpdrId`, after the reader has read the tag in its
    /// field and found that it is that one.
    ///
    /// Exactly one outcome reaches `completion`, on the platform's main executor:
    /// (true, success) or (false, the reason; see OrvexContactStatus). A write is refused
    /// with (false, protocolError) without a connected reader, while another write or a
    /// micro-app upload is under way, while a scan or its contact read still owes its final
    /// report, and while a message from the reader is half received; whatever was under way
    /// goes on undisturbed. A write in progress when the connection is lost ends at once
    /// with contactReadTimeout (the tag was not read yet) or writeOperationFailed (the
    /// contact was sent). The texts are not checked: they are fitted to the record as
    /// Contact::encode() does, and an `xpdrId` in another form ends in wrongChip.
    /// @param name the e-mail text of the contact.
    /// @param phone the telephone text of the contact.
    /// @param xpdrId the tag's identifier, in the form `"999 000000012345"` (country code,
    ///        a space, national number), as Transponder::id holds it.
    /// @param completion called once with the outcome; may be empty.
    void writeContact(std::string name, std::string phone, std::string xpdrId,
                      std::function<void(bool, OrvexContactStatus)> completion);

    /// A micro-app image starts with a head of this many bytes; the body that follows is
    /// sent in slices of MICRO_APP_SLICE_SIZE bytes (the last one may be shorter).
    static constexpr std::size_t MICRO_APP_HEAD_SIZE = 16;
    /// See MICRO_APP_HEAD_SIZE.
    static constexpr std::size_t MICRO_APP_SLICE_SIZE = 80;


    /// Restricts the link to the peripheral with this identifier (platform::Peripheral::
    /// identifier(), the Bluetooth address on BlueZ; compared without regard to case).
    /// Empty: no restriction. Set before connectToReader(); the search then passes over
    /// every other reader, and ends in connectionTimeout when this one is not around.
    void setReaderAddress(std::string address);
    /// Restricts the link to a peripheral advertising exactly this name. Empty (the
    /// default): a name holding one of the reader name fragments selects the reader (see
    /// isReaderName()). Set before connectToReader(). Combined with setReaderAddress(),
    /// both must match.
    void setReaderName(std::string name);

    /// Reads the micro-app image from this file when the reader asks for an update, in
    /// place of the platform's image and the image built into the library. The file is
    /// read at the moment of the update; when it cannot be read there is no image and the
    /// update ends with OrvexDeviceUpdateStatus::initializationError. Set it before
    /// connecting.
    /// @param path the image file.
    void setMicroAppImagePath(std::string path);

    /// Decodes one packed scan record: a lead byte, the type's raw value, the country code
    /// (2 bytes, most significant first, at most 999) and the national number (5 bytes,
    /// least significant first). Bytes after the ninth are ignored.
    /// @param buffer the record.
    /// @return the reading, dated now; both parts empty when `buffer` holds fewer than 9
    ///         bytes. A type outside 0 to 6 reads as 0.
    static ScanResult handleReceivedScan(const std::vector<std::uint8_t>& buffer);

private:
    friend struct detail::ReaderInterfaceFactory;
    ORVEX_NO_EXPORT explicit ReaderInterface(std::shared_ptr<detail::Link> link);
    std::shared_ptr<detail::Link> link_;
};

}  // namespace orvex
