// SPDX-License-Identifier: Apache-2.0
#include "SoakSession.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <cmath>
#include <string_view>
#include <utility>

#include "orvex/Contact.hpp"

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
        if (s_.race()) {
            // Records that came while the link was still probing end with the attempt, as
            // with a disconnection.
            s_.mutableRace().connectionEnded(s_.now());
            if (view().exportRun >= 0) ledger().forgetUnreportedExports(view().exportRun);
        }
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
        if (s_.race()) s_.mutableRace().connectionEnded(s_.now());
        // The loss of the link is the outcome of a version exchange still waiting.
        if (ledger().isOpen(Exchange::version)) ledger().outcome(Exchange::version);
        ledger().outcome(Exchange::disconnection);
        if (view().exportRun >= 0) ledger().forgetUnreportedExports(view().exportRun);
        view().exportRun = -1;
    }
    void scanReceived(std::optional<ScanResult> result, bool contactPending) override {
        std::string id;
        if (result && result->scan && result->scan->xpdr) id = result->scan->xpdr->id;
        s_.trace(fmt::format("scanReceived {} pending={}", id.empty() ? "-" : id, contactPending));
        if (s_.race()) {
            if (contactPending) {
                s_.mutableRace().pending(id, s_.now());
            } else {
                s_.mutableRace().final(id, s_.now());
            }
            return;
        }
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
        if (s_.race()) {
            s_.mutableRace().final("", s_.now());
            return;
        }
        finalScanReport();
    }
    void exportReceived(std::optional<ScanResult>, long number) override {
        s_.trace(fmt::format("exportReceived {}", number));
        ledger().exportReported(view().exportRun, number);
    }
    void version(const std::string& text) override {
        s_.trace("version " + text);
        view().version = text;
        if (s_.race()) s_.mutableRace().version(text, s_.expectedVersion());
        ledger().outcome(Exchange::version);
    }
    void battery(long level) override {
        s_.trace(fmt::format("battery {}", level));
        view().batterySinceConnect = true;
        if (s_.race()) s_.mutableRace().battery();
    }
    void startUpdate(long slices) override {
        s_.trace(fmt::format("startUpdate {}", slices));
        if (s_.race()) s_.mutableRace().startUpdate();
    }
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
        s_.trace(fmt::format("link writes {:02X}", fmt::join(bytes, " ")));
        if (bytes.size() >= 3 && bytes[0] == 0xFE && bytes[1] == 0x00 && bytes[2] == 0x00) {
            if (bytes.size() == 3) s_.mutableLedger().open(Exchange::upload);
            if (s_.race()) s_.mutableRace().lockFrameWritten();
        }
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
        // With race traffic the send tap counts the records, whole (see SoakSession::sent).
        if (!s_.race() && run >= 0 && value.size() >= 4 && value[0] == 0xAA) {
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
        s_.setDeviceContext(context);
        reader_->attached(std::make_shared<TapContext>(std::move(context), s_));
    }
    void onConnect() override {
        s_.mutableRace().readerConnected();
        reader_->onConnect();
    }
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

// The id of the reading in a packed (88, 8F) or text (55) record, as SimTag::id() prints it;
// empty for any other message.
std::string readingId(const Bytes& m) {
    if ((m[0] == 0x88 || m[0] == 0x8F) && m.size() == 9) {
        sim::SimTag tag;
        tag.country = static_cast<std::uint16_t>(m[2] << 8 | m[3]);
        tag.nationalNumber = 0;
        for (int i = 4; i >= 0; --i) tag.nationalNumber = tag.nationalNumber << 8 | m[4 + i];
        return tag.id();
    }
    if (m[0] == 0x55 && m.size() == 31) {
        std::string id(m.begin() + 9, m.begin() + 25);
        id.erase(id.find_last_not_of(' ') + 1);
        return id;
    }
    return {};
}

// The firmware name as the link shortens it.
std::string shortVersion(std::string text) {
    constexpr std::string_view kLong = "KESTRALON KX100 MOBILE";
    if (const auto at = text.find(kLong); at != std::string::npos) {
        text.replace(at, kLong.size(), "KX100-M");
    }
    return text;
}

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
    if (options_.race) addRaceTags();
    expectedVersion_ = shortVersion(readerConfig_.version);
    reader_ = std::make_shared<sim::SimReader>(readerConfig_);
    if (options_.race) {
        reader_->setSendTap([this](const Bytes& message, sim::SimSendKind kind) {
            if (kind == sim::SimSendKind::message) {
                sent(message);
            } else {
                trace(fmt::format("reader sends {} {:02X}",
                                  kind == sim::SimSendKind::repeat ? "a fault's copy" : "garbage",
                                  fmt::join(message, " ")));
            }
        });
    }
    platform_->addDevicePeripheral(readerConfig_.name,
                                   sim::SimReader::gattLayout(readerConfig_.service),
                                   std::make_shared<TappedReader>(reader_, *this));
    platform_->setObserver(std::make_shared<UploadObserver>(*this));
    link_ = ReaderInterface::create(platform_);
    delegate_ = std::make_shared<LedgerDelegate>(*this);
    link_->setDelegate(delegate_);
}

SoakSession::~SoakSession() {
    link_.reset();
    platform_->runUntilIdle();
    platform_->setObserver(nullptr);
    platform_->shutdown();
}

double SoakSession::now() const {
    return platform_->now();
}

// Trigger animals of every type, with and without a contact, then the tags of host scans
// (all FDX-B): each read once, so that a report names the reading it belongs to.
void SoakSession::addRaceTags() {
    const auto contact = sim::SimReaderConfig::defaultTags().front().contact;
    auto& tags = readerConfig_.tags;
    firstAnimal_ = tags.size();
    animals_ = static_cast<std::size_t>(options_.sessionSeconds / options_.paceLow) + 8;
    for (std::size_t i = 0; i < animals_; ++i) {
        sim::SimTag tag;
        const double r = uniform(0.0, 1.0);
        tag.type = r < 0.6 ? 4 : r < 0.75 ? 1 : r < 0.85 ? 3 : 6;  // FDX-B, HDX, FDX-A, EM4102
        tag.country = tag.type == 4 ? 999 : tag.type == 1 ? 124 : tag.type == 3 ? 250 : 0;
        tag.nationalNumber = 100000 + i;
        if (tag.type == 4 && chance(0.7)) tag.contact = contact;
        tags.push_back(tag);
    }
    firstHostTag_ = tags.size();
    hostTags_ = static_cast<std::size_t>(options_.sessionSeconds / 0.2) + 8;
    for (std::size_t i = 0; i < hostTags_; ++i) {
        sim::SimTag tag;
        tag.nationalNumber = 500000 + i;
        if (chance(0.5)) tag.contact = contact;
        tags.push_back(tag);
    }
}

void SoakSession::sent(const Bytes& message) {
    if (message.empty()) return;
    if (deviceContext_ && (!deviceContext_->isConnected() ||
                           !deviceContext_->isNotifying(
                               sim::SimReader::notifyCharacteristic(readerConfig_.service)))) {
        return;  // the host cannot hear it
    }
    const double t = platform_->now();
    // The link takes a message equal to the one just before it, within a second, for a
    // fault's second copy (see RaceLedger).
    const bool repeatsLast = message == lastSent_ && t - lastSentAt_ < 1.0;
    lastSent_ = message;
    lastSentAt_ = t;
    if (const std::string id = readingId(message); !id.empty()) {
        trace("reader sends reading " + id);
        race_.readingOnAir(id, t);
        return;
    }
    if (message[0] != 0xAA) trace(fmt::format("reader sends {:02X}", fmt::join(message, " ")));
    switch (message[0]) {
        case 0xAA:
            if (view_.exportRun >= 0 && message.size() >= 4) {
                const long number =
                    (message[1] - '0') * 100 + (message[2] - '0') * 10 + (message[3] - '0');
                if (number == 1) trace("reader sends export records");
                ledger_.exportOnAir(view_.exportRun, number);
            }
            break;
        case 0x8E:
            trace("reader sends battery");
            race_.batteryOnAir(t, repeatsLast);
            break;
        case 0x84:
            if (message.size() == 3 && message[2] == 0x02) race_.uploadAsked();
            break;
        case 0x81:
            race_.lockAcknowledged();
            break;
        case 0x7F:
            race_.refusalOnAir();
            break;
        default:
            break;
    }
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
    if (options_.race) {
        playRace();
        return;
    }
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

void SoakSession::connect() {
    race_.hostConnecting();
    link_->connectToReader();
}

void SoakSession::disconnect() {
    race_.hostLeaving();
    link_->disconnectFromReader();
}

// The host's steps as in play(), and the reader's own traffic on clocks of its own.
void SoakSession::playRace() {
    link_->initializeBluetooth();
    advance(0.0);
    const double end = platform_->now() + options_.sessionSeconds;
    double nextHost = platform_->now();
    double nextTrigger = nextHost + uniform(options_.paceLow, options_.paceHigh);
    double nextBattery = nextHost + uniform(5.0, 30.0);
    double nextExport = nextHost + uniform(10.0, 60.0);
    while (platform_->now() < end) {
        const double next = std::min({nextHost, nextTrigger, nextBattery, nextExport});
        advance(std::max(0.0, next - platform_->now()));
        // The clock's sum may fall a hair short of `next`.
        const double t = platform_->now() + 1e-9;
        if (t >= nextTrigger) {
            triggerReading();
            nextTrigger = t + uniform(options_.paceLow, options_.paceHigh);
        }
        if (t >= nextBattery) {
            trace("reader reports battery");
            reader_->reportBattery();
            nextBattery = t + uniform(5.0, 30.0);
        }
        if (t >= nextExport) {
            view_.exportRun = exportRuns_++;
            trace("reader export");
            reader_->exportReadings();
            nextExport = t + uniform(10.0, 60.0);
        }
        if (t >= nextHost) {
            hostStep();
            nextHost = platform_->now() + uniform(0.2, 3.0);
        }
    }
    disconnect();
    advance(60.0);
    disconnect();
    advance(30.0);
}

void SoakSession::triggerReading() {
    if (nextAnimal_ == animals_) return;
    const std::size_t index = firstAnimal_ + nextAnimal_++;
    const auto& tag = readerConfig_.tags[index];
    race_.expectTag(tag.id(), tag.type == 4);
    const bool text = chance(0.5);
    trace(fmt::format("reader trigger {} type {} {}", tag.id(), tag.type, text ? "text" : "packed"));
    reader_->setTagInField(index);
    reader_->triggerReading(text ? sim::SimReadingFormat::text : sim::SimReadingFormat::packed);
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
        if (!view_.attemptOpen) connect();
        return;
    }
    if (options_.quietHost) return;
    const double r = uniform(0.0, 1.0);
    if (r < 0.40) {
        if (!view_.scanOpen) scan();
    } else if (r < 0.55) {
        if (options_.overlap || !view_.scanOpen) writeContact();
    } else if (r < 0.65) {
        if (!options_.race) askForExport();  // with race traffic the reader exports by itself
    } else if (r < 0.67) {
        disconnect();
    } else if (r < 0.72 && !options_.race) {
        reader_->setTagInField(chance(0.7) ? std::optional<std::size_t>(0) : std::nullopt);
    }
}

void SoakSession::scan() {
    if (options_.race) {
        // A tag of its own for every host scan, or none.
        std::optional<std::size_t> index;
        std::string id;
        if (nextHostTag_ < hostTags_ && chance(0.7)) {
            index = firstHostTag_ + nextHostTag_++;
            id = readerConfig_.tags[*index].id();
            race_.expectTag(id, true);
        }
        race_.hostScan(id);
        reader_->setTagInField(index);
    } else {
        ledger_.open(Exchange::scan);
        view_.scanOpen = true;
    }
    trace("host scan");
    link_->scan();
    if (options_.overlap) {
        advance(uniform(0.0, 1.5));
        writeContact();
    }
}

void SoakSession::writeContact() {
    if (options_.race) reader_->setTagInField(0);  // the tag whose contact is written
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
