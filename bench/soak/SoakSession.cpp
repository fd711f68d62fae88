// SPDX-License-Identifier: Apache-2.0
#include "SoakSession.hpp"

#include <fmt/format.h>

#include <utility>

#include "reader/ReaderInterfaceFactory.hpp"

namespace orvex::soak {

namespace {

using platform::Bytes;
using platform::Uuid;
using platform::WriteType;

const std::string kTagId = "999 000000012345";
const std::string kOtherTagId = "999 000000000001";

// Writes down every outcome the host hears.
class LedgerDelegate : public ReaderInterfaceDelegate {
public:
    explicit LedgerDelegate(SoakSession& session) : s_(session) {}

    void btError(OrvexBluetoothError reason) override {
        s_.trace(fmt::format("btError {}", static_cast<int>(reason)));
    }
    void btReader() override {
        s_.trace("btReader");
        view().ready = true;
    }
    void connecting() override {
        s_.trace("connecting");
        view().attemptOpen = true;
        ledger().open(Exchange::connection);
    }
    void connectionFailed(OrvexConnectionError error) override {
        s_.trace(fmt::format("connectionFailed {}", static_cast<int>(error)));
        view().attemptOpen = false;
        ledger().outcome(Exchange::connection);
    }
    void readerConnected() override {
        s_.trace("readerConnected");
        view().attemptOpen = false;
        view().connected = true;
        view().batterySinceConnect = false;
        ledger().outcome(Exchange::connection);
        ledger().open(Exchange::version);
        ledger().open(Exchange::disconnection);
    }
    void readerDisconnected(OrvexDisconnectionCause cause) override {
        s_.trace(fmt::format("readerDisconnected {}", static_cast<int>(cause)));
        view().connected = false;
        ++view().disconnections;
        // The loss of the link is the outcome of a version exchange still waiting.
        if (ledger().isOpen(Exchange::version)) ledger().outcome(Exchange::version);
        ledger().outcome(Exchange::disconnection);
        if (view().exportRun >= 0) ledger().forgetUnreportedExports(view().exportRun);
        view().exportRun = -1;
    }
    void scanReceived(std::optional<ScanResult>, bool contactPending) override {
        s_.trace(fmt::format("scanReceived pending={}", contactPending));
        if (contactPending) {
            if (!view().scanOpen) {
                // A reading the reader started on its own: an exchange of its own.
                ledger().open(Exchange::scan);
                view().scanOpen = true;
            }
            return;
        }
        finalScanReport();
    }
    void scanFailed() override {
        s_.trace("scanFailed");
        finalScanReport();
    }
    void exportReceived(std::optional<ScanResult>, long number) override {
        s_.trace(fmt::format("exportReceived {}", number));
        ledger().exportReported(view().exportRun, number);
    }
    void version(const std::string& text) override {
        s_.trace("version " + text);
        view().version = text;
        ledger().outcome(Exchange::version);
    }
    void battery(long level) override {
        s_.trace(fmt::format("battery {}", level));
        view().batterySinceConnect = true;
    }
    void startUpdate(long slices) override { s_.trace(fmt::format("startUpdate {}", slices)); }
    void updateStatus(long slice) override { s_.trace(fmt::format("updateStatus {}", slice)); }
    void endUpdate(std::optional<OrvexDeviceUpdateStatus> status) override {
        s_.trace(fmt::format("endUpdate {}", status ? static_cast<int>(*status) : -1));
        ledger().outcome(Exchange::upload);
    }
    void readerScanning(bool active) override { s_.trace(fmt::format("readerScanning {}", active)); }

private:
    void finalScanReport() {
        view().scanOpen = false;
        ledger().outcome(Exchange::scan);
    }
    Ledger& ledger() { return s_.mutableLedger(); }
    HostView& view() { return s_.mutableHost(); }
    SoakSession& s_;
};

// Sees the link's writes: the lock frame opens an upload.
class UploadObserver : public sim::SimObserver {
public:
    explicit UploadObserver(SoakSession& session) : s_(session) {}
    void onWrite(const std::shared_ptr<platform::Peripheral>&, const Bytes& bytes, const Uuid&,
                 WriteType) override {
        if (bytes == Bytes{0xFE, 0x00, 0x00}) s_.mutableLedger().open(Exchange::upload);
    }

private:
    SoakSession& s_;
};

// Passes the reader's notifications on and notes every export record that goes on the air
// (after the reader's own faults: a dropped record never shows here, a doubled one twice).
class TapContext : public sim::SimDeviceContext {
public:
    TapContext(std::shared_ptr<sim::SimDeviceContext> inner, SoakSession& session)
        : inner_(std::move(inner)), s_(session) {}
    void notify(const Uuid& characteristic, Bytes value) override {
        const long run = s_.host().exportRun;
        if (run >= 0 && value.size() >= 4 && value[0] == 0xAA) {
            const long number = (value[1] - '0') * 100 + (value[2] - '0') * 10 + (value[3] - '0');
            s_.mutableLedger().exportOnAir(run, number);
        }
        inner_->notify(characteristic, std::move(value));
    }
    void disconnect() override { inner_->disconnect(); }
    void setAdvertising(bool advertising) override { inner_->setAdvertising(advertising); }
    bool isConnected() const override { return inner_->isConnected(); }
    bool isNotifying(const Uuid& characteristic) const override {
        return inner_->isNotifying(characteristic);
    }
    std::shared_ptr<platform::Timer> schedule(double seconds,
                                              std::function<void()> action) override {
        return inner_->schedule(seconds, std::move(action));
    }
    void post(std::function<void()> action) override { inner_->post(std::move(action)); }
    double now() const override { return inner_->now(); }

private:
    std::shared_ptr<sim::SimDeviceContext> inner_;
    SoakSession& s_;
};

class TappedReader : public sim::SimDevice {
public:
    TappedReader(std::shared_ptr<sim::SimReader> reader, SoakSession& session)
        : reader_(std::move(reader)), s_(session) {}
    void attached(std::shared_ptr<sim::SimDeviceContext> context) override {
        reader_->attached(std::make_shared<TapContext>(std::move(context), s_));
    }
    void onConnect() override { reader_->onConnect(); }
    void onNotifyChanged(const Uuid& characteristic, bool enabled) override {
        reader_->onNotifyChanged(characteristic, enabled);
    }
    void onWrite(const Bytes& bytes, const Uuid& characteristic, WriteType type) override {
        reader_->onWrite(bytes, characteristic, type);
    }
    void onDisconnect() override { reader_->onDisconnect(); }

private:
    std::shared_ptr<sim::SimReader> reader_;
    SoakSession& s_;
};

Bytes uploadImage(std::size_t slices) {
    Bytes image(16 + 80 * slices);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 31);
    return image;
}

}  // namespace

SoakSession::SoakSession(const SoakOptions& options, std::uint64_t start,
                         std::optional<sim::SimReaderConfig> fixedReader)
    : options_(options), start_(start), random_(start * 0x9E3779B97F4A7C15ull + 1) {
    platform_ = std::make_shared<sim::SimPlatform>(sim::Clock::virtualTime);
    if (fixedReader) {
        readerConfig_ = *fixedReader;
    } else {
        readerConfig_.name = "KX-BT4 SOAK";
        readerConfig_.service = chance(0.5) ? sim::SimService::uart : sim::SimService::serial16;
        readerConfig_.notificationSize = static_cast<std::size_t>(uniform(6.0, 64.0));
        readerConfig_.answerDelay = uniform(0.01, 2.8);
        readerConfig_.triggerEndDelay = uniform(0.1, 1.0);
        readerConfig_.microAppCurrent = chance(0.7);
        readerConfig_.faults.dropRate = options.dropRate;
        readerConfig_.faults.duplicateRate = options.duplicateRate;
        readerConfig_.faults.garbageRate = options.garbageRate;
        readerConfig_.faults.randomStart = start;
        if (!readerConfig_.microAppCurrent) {
            platform_->setMicroAppImage(uploadImage(1 + random_() % 3));
        }
    }
    reader_ = std::make_shared<sim::SimReader>(readerConfig_);
    platform_->addDevicePeripheral(readerConfig_.name,
                                   sim::SimReader::gattLayout(readerConfig_.service),
                                   std::make_shared<TappedReader>(reader_, *this));
    platform_->setObserver(std::make_shared<UploadObserver>(*this));
    link_ = detail::ReaderInterfaceFactory::make(platform_);
    delegate_ = std::make_shared<LedgerDelegate>(*this);
    link_->setDelegate(delegate_);
}

SoakSession::~SoakSession() {
    link_.reset();
    platform_->runUntilIdle();
    platform_->setObserver(nullptr);
    platform_->shutdown();
}

void SoakSession::trace(const std::string& line) const {
    if (options_.trace) fmt::print("{:10.3f}  {}\n", platform_->now(), line);
}

double SoakSession::uniform(double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(random_);
}

bool SoakSession::chance(double p) {
    return uniform(0.0, 1.0) < p;
}

void SoakSession::advance(double seconds) {
    platform_->runUntilIdle();
    platform_->advance(seconds);
}

void SoakSession::play() {
    link_->initializeBluetooth();
    advance(0.0);
    const double end = platform_->now() + options_.sessionSeconds;
    while (platform_->now() < end) {
        hostStep();
        advance(uniform(0.2, 3.0));
    }
    // The host ends the session; whatever is still under way must end on its own.
    link_->disconnectFromReader();
    advance(60.0);
    link_->disconnectFromReader();
    advance(30.0);
}

void SoakSession::connectAndIdle(double seconds) {
    link_->initializeBluetooth();
    advance(0.0);
    link_->connectToReader();
    constexpr double kStep = 60.0;
    for (double waited = 0.0; waited < seconds; waited += kStep) advance(kStep);
}

void SoakSession::hostStep() {
    if (!view_.ready) return;
    if (!view_.connected) {
        // Hosts connect again after every failure and every loss of the link.
        if (!view_.attemptOpen) link_->connectToReader();
        return;
    }
    const double r = uniform(0.0, 1.0);
    if (r < 0.40) {
        if (!view_.scanOpen) scan();
    } else if (r < 0.55) {
        if (options_.overlap || !view_.scanOpen) writeContact();
    } else if (r < 0.65) {
        askForExport();
    } else if (r < 0.67) {
        link_->disconnectFromReader();
    } else if (r < 0.72) {
        reader_->setTagInField(chance(0.7) ? std::optional<std::size_t>(0) : std::nullopt);
    }
}

void SoakSession::scan() {
    ledger_.open(Exchange::scan);
    view_.scanOpen = true;
    trace("host scan");
    link_->scan();
    if (options_.overlap) {
        advance(uniform(0.0, 1.5));
        writeContact();
    }
}

void SoakSession::writeContact() {
    const std::size_t which = ledger_.open(Exchange::contactWrite);
    trace("host writeContact");
    link_->writeContact("OWNER@EXAMPLE.COM", "+44 7946 0001", chance(0.8) ? kTagId : kOtherTagId,
                        [this, which](bool success, OrvexContactStatus status) {
                            trace(fmt::format("completion {} {}", success,
                                              static_cast<int>(status)));
                            ledger_.outcomeOf(Exchange::contactWrite, which);
                        });
}

// Only while the link is quiet: the link drops export records that would cut into another
// exchange, by design. The host then leaves the link alone until the records are in.
void SoakSession::askForExport() {
    if (!view_.batterySinceConnect || view_.scanOpen ||
        ledger_.openCount(Exchange::contactWrite) > 0 || ledger_.isOpen(Exchange::upload)) {
        return;
    }
    view_.exportRun = exportRuns_++;
    trace("reader export");
    reader_->exportReadings();
    advance(readerConfig_.answerDelay + 1.0);
}

}  // namespace orvex::soak
