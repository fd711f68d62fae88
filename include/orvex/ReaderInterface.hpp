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
    void connectToReader();
    void disconnectFromReader();
    // Asks the reader for one tag reading; the outcome arrives through the delegate.
    void scan();
    // Writes a contact (phone, and `name` as the e-mail text) to the tag `xpdrId`
    // ("999 000000012345" form). `completion` runs once on the main executor with the
    // outcome. Without a connected reader nothing happens and the completion is not called.
    // While one write is under way a second one is refused: its completion gets
    // (false, protocolError) and the first write goes on undisturbed. A write asked for
    // during a micro-app upload is refused the same way.
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
