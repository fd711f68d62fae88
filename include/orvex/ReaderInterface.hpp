// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "orvex/ReaderInterfaceDelegate.hpp"
#include "orvex/ScanResult.hpp"
#include "orvex/Status.hpp"

namespace orvex {

namespace platform {
class Platform;
}
namespace detail {
class Link;
struct ReaderInterfaceFactory;
}  // namespace detail

// The link to one handheld reader.
//
// Threading: every operation may be called from any thread, also from inside a delegate
// call; it hands its work to the link's serial context and returns at once. Delegate calls
// are made on that serial context, one at a time, never under a lock held by the library.
// The contact-write completion is delivered on the platform's main executor.
class ReaderInterface {
public:
    // The process-wide link, created on first use. It runs on the platform chosen with
    // usePlatform() before that first use, or else on the default backend (BlueZ on Linux).
    static ReaderInterface& reader();
    // Chooses the platform of the process-wide link; returns false (and changes nothing)
    // once reader() has created it.
    static bool usePlatform(std::shared_ptr<platform::Platform> platform);

    // Teardown: once the destructor returns, no delegate call starts any more. A delegate
    // call already under way on another thread is waited for before the destructor
    // returns, so a host may free what its delegate uses right after. Destroying the link
    // from inside one of its own delegate calls does not wait for that call (it returns
    // first); a delegate call must therefore not wait for a thread that is destroying the
    // link. Outcomes still owed at that moment are not reported.
    ~ReaderInterface();
    ReaderInterface(const ReaderInterface&) = delete;
    ReaderInterface& operator=(const ReaderInterface&) = delete;

    std::shared_ptr<ReaderInterfaceDelegate> delegate() const;
    void setDelegate(std::shared_ptr<ReaderInterfaceDelegate> delegate);

    bool isConnected() const;
    bool isReady() const;
    // Whether the central manager is looking for peripherals; false before initializeBluetooth().
    bool isScanning() const;

    void initializeBluetooth();
    // Reports connecting(), then exactly one outcome for the attempt: readerConnected() or
    // one connectionFailed(). Called while connected, it reports readerConnected() at once
    // and leaves the live link as it is. A second call before the outcome joins the attempt
    // under way and restarts its time limit.
    void connectToReader();
    void disconnectFromReader();
    // Asks the reader for one tag reading. The outcome arrives through the delegate as
    // exactly one final report: scanFailed(), or scanReceived() with contactPending false
    // (after one with contactPending true when the tag's contact is being read). A lost
    // connection gives that report before readerDisconnected().
    void scan();
    // Writes a contact (phone, and `name` as the e-mail text) to the tag `xpdrId`
    // ("999 000000012345" form). `completion` runs once on the main executor with the
    // outcome. A write is refused, its completion getting (false, protocolError), without a
    // connected reader, while another write or a micro-app upload is under way, while a
    // scan or its contact read still owes its final report, and while a message from the
    // reader is half received; whatever was under way goes on undisturbed. A write in
    // progress when the connection is lost ends at once with contactReadTimeout (the tag
    // was not read yet) or writeOperationFailed (the contact was sent).
    void writeContact(std::string name, std::string phone, std::string xpdrId,
                      std::function<void(bool, OrvexContactStatus)> completion);

    // Reads the micro-app image from this file when the reader asks for an update
    // (in place of the image built into the library, if any). Set before connecting.
    void setMicroAppImagePath(std::string path);

    // Decodes one packed scan record (lead byte, type, country, national number).
    static ScanResult handleReceivedScan(const std::vector<std::uint8_t>& buffer);

private:
    friend struct detail::ReaderInterfaceFactory;
    explicit ReaderInterface(std::shared_ptr<detail::Link> link);
    std::shared_ptr<detail::Link> link_;
};

}  // namespace orvex
