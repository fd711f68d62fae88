// SPDX-License-Identifier: Apache-2.0
// A host built against an installed (or embedded) orvex: one short session on the
// simulated reader, holding one tag we chose, must connect, read that tag with its owner
// contact, and disconnect. Then a simulated reader to serve over BlueZ, on a bus that is not
// there, must be refused. Exit code 0 only when everything it saw was as expected.

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <mutex>
#include <string>

#include <orvex/Contact.hpp>
#include <orvex/ReaderInterface.hpp>
#include <orvex/bluez/Peripheral.hpp>
#include <orvex/sim/SimPlatform.hpp>
#include <orvex/sim/SimReader.hpp>

namespace {

using namespace orvex;

struct Outcome {
    std::string tag;
    std::string phone;
    std::string failure;
};

class Host : public ReaderInterfaceDelegate {
public:
    std::future<Outcome> outcome() { return outcome_.get_future(); }
    std::future<void> disconnected() { return disconnected_.get_future(); }

    void btReader() override { ReaderInterface::reader().connectToReader(); }
    void btError(OrvexBluetoothError) override { fail("Bluetooth reported an error"); }
    void connecting() override {}
    void connectionFailed(OrvexConnectionError) override { fail("the connection failed"); }
    void readerConnected() override {}
    void readerDisconnected(OrvexDisconnectionCause) override {
        std::call_once(disconnectedOnce_, [this] { disconnected_.set_value(); });
    }
    void version(const std::string&) override {}
    void battery(long) override {
        // The link is idle after its first battery report.
        std::call_once(scanOnce_, [] { ReaderInterface::reader().scan(); });
    }
    void scanReceived(std::optional<ScanResult> result, bool contactPending) override {
        if (contactPending) return;
        if (!result || !result->scan || !result->scan->xpdr) return fail("a scan without a tag");
        Outcome seen;
        seen.tag = result->scan->xpdr->id;
        if (result->contact) seen.phone = result->contact->phone;
        finish(std::move(seen));
    }
    void scanFailed() override { fail("no tag was read"); }
    void readerScanning(bool) override {}
    void exportReceived(std::optional<ScanResult>, long) override {}

private:
    void fail(const char* why) { finish(Outcome{{}, {}, why}); }
    void finish(Outcome outcome) {
        std::call_once(finishOnce_, [&] { outcome_.set_value(std::move(outcome)); });
    }

    std::promise<Outcome> outcome_;
    std::promise<void> disconnected_;
    std::once_flag finishOnce_, scanOnce_, disconnectedOnce_;
};

// A telephone text as the contact record holds it: "+" and exactly 12 digits or spaces.
const char* const kPhone = "+49 301234567";

int check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    return ok ? 0 : 1;
}

}  // namespace

int main() {
    int failures = 0;

    sim::SimTag tag;
    tag.country = 276;
    tag.nationalNumber = 98765;
    tag.contact = Contact::encode(kPhone, "FARM@EXAMPLE.ORG");
    sim::SimReaderConfig config;
    config.tags = {tag};

    auto platform = std::make_shared<sim::SimPlatform>(sim::Clock::realTime);
    sim::SimReader::attach(*platform, config);
    ReaderInterface::usePlatform(platform);
    ReaderInterface& reader = ReaderInterface::reader();
    auto host = std::make_shared<Host>();
    auto outcome = host->outcome();
    auto disconnected = host->disconnected();
    reader.setDelegate(host);
    reader.initializeBluetooth();

    if (outcome.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        failures += check(false, "the session ended within 30 s");
    } else {
        Outcome seen = outcome.get();
        failures += check(seen.failure.empty(), seen.failure.empty() ? "a tag was read"
                                                                     : seen.failure.c_str());
        failures += check(seen.tag == tag.id(), "the tag read is the simulated reader's tag");
        failures += check(seen.phone == kPhone, "its owner contact came with it");
        if (seen.tag != tag.id() || seen.phone != kPhone) {
            std::printf("read tag \"%s\" with phone \"%s\"\n", seen.tag.c_str(), seen.phone.c_str());
        }
        reader.disconnectFromReader();
        failures += check(disconnected.wait_for(std::chrono::seconds(5)) == std::future_status::ready,
                          "the reader disconnected");
    }
    reader.setDelegate(nullptr);
    platform->shutdown();

    // The served peripheral links from the installation too (with its D-Bus library in a
    // static one). No bus is at this address: it says so rather than serving.
    bluez::PeripheralOptions served;
    served.busAddress = "unix:path=/nonexistent/orvex-consumer-bus";
    std::string why;
    failures += check(!bluez::servePeripheral(served, &why) && !why.empty(),
                      "a peripheral with no bus to serve on is refused with a reason");
    return failures == 0 ? 0 : 1;
}
