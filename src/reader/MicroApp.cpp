// SPDX-License-Identifier: Apache-2.0
// The micro-app check after each version exchange, and the upload that a ReaderUpdater
// carries out when the reader asks for one.

#include <fstream>
#include <iterator>
#include <utility>

#include "reader/Link.hpp"
#include "reader/ReaderUpdater.hpp"

namespace orvex::detail {

// The updater reports progress to a delegate of its own; this one passes each report on
// through the link, so that it follows the link's rules for delegate calls.
class Link::ProgressRelay : public ReaderInterfaceDelegate {
public:
    explicit ProgressRelay(std::weak_ptr<Link> link) : link_(std::move(link)) {}
    void btError(OrvexBluetoothError) override {}
    void connecting() override {}
    void connectionFailed(OrvexConnectionError) override {}
    void readerConnected() override {}
    void readerDisconnected(OrvexDisconnectionCause) override {}
    void scanReceived(std::optional<ScanResult>, bool) override {}
    void readerScanning(bool) override {}
    void exportReceived(std::optional<ScanResult>, long) override {}
    void scanFailed() override {}
    void version(const std::string&) override {}
    void startUpdate(long slices) override {
        if (auto link = link_.lock()) link->report([slices](auto& d) { d.startUpdate(slices); });
    }
    void updateStatus(long slice) override {
        if (auto link = link_.lock()) link->report([slice](auto& d) { d.updateStatus(slice); });
    }

private:
    std::weak_ptr<Link> link_;
};

namespace {

#ifdef ORVEX_HAVE_BUILTIN_IMAGE
// The image named when the library was built; the last element only closes the list.
const std::uint8_t kBuiltinImage[] = {
#include "MicroAppImage.inc"
    0x00};
#endif

std::optional<Bytes> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    Bytes data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) return std::nullopt;
    return data;
}

}  // namespace

void Link::checkMicroApp() {
    state = State::checkMicroApp;
    handshakeTicks = 0;
    writeData(CHECK_MICRO_APP_DATA);
}

// The image is never made up: a path set by the host wins (and an unreadable file means no
// image), then the platform's resource, then the image built into the library.
std::optional<Bytes> Link::loadMicroAppImage() {
    if (microAppImagePath_) return readFile(*microAppImagePath_);
    if (platform_) {
        if (auto image = platform_->microAppImage()) return image;
    }
#ifdef ORVEX_HAVE_BUILTIN_IMAGE
    return Bytes(std::begin(kBuiltinImage), std::end(kBuiltinImage) - 1);
#else
    return std::nullopt;
#endif
}

void Link::updateMicroApp(const Bytes& data) {
    if (!readerPeripheral || !readerCharacteristic) return;

    auto finish = [this](std::optional<OrvexDeviceUpdateStatus> status) {
        const auto outcome = status.value_or(OrvexDeviceUpdateStatus::successful);
        report([&](auto& d) { d.endUpdate(outcome); });
        readerUpdater.reset();
        state = State::waitingForBattery;
        writeData(BATTERY_DATA);
    };

    if (auto updater = readerUpdater) {
        updater->handleMessage(data, finish);
        return;
    }

    auto updater = ReaderUpdater::create(readerPeripheral, readerCharacteristic,
                                         characteristicWriteType, loadMicroAppImage());
    if (!updater) {
        finish(OrvexDeviceUpdateStatus::initializationError);
        return;
    }
    // The updater holds its progress delegate weakly: the link keeps the relay alive.
    progressRelay_ = std::make_shared<ProgressRelay>(weak_from_this());
    readerUpdater = updater;
    state = State::updatingMicroApp;
    uploadTicks = 0;
    if (!updater->startUpdate(progressRelay_)) finish(OrvexDeviceUpdateStatus::unableToStart);
}

// The connection ended with an upload under way: it is dropped and reported once.
void Link::endUpload(OrvexDeviceUpdateStatus status) {
    if (!readerUpdater) return;
    readerUpdater.reset();
    report([&](auto& d) { d.endUpdate(status); });
}

}  // namespace orvex::detail
