// SPDX-License-Identifier: Apache-2.0
// A host that writes an owner contact to the tag in the reader's field, then reads it back.
// It runs on the simulated reader; on a real one, make the platform with
// orvex::bluez::makePlatform() instead (see real_reader.cpp).

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>

#include <orvex/ReaderInterface.hpp>
#include <orvex/sim/SimPlatform.hpp>
#include <orvex/sim/SimReader.hpp>

using namespace orvex;

namespace {

class Host : public ReaderInterfaceDelegate {
public:
    explicit Host(ReaderInterface& link) : link_(link) {}
    std::promise<void> ready, readBack;

    // The adapter is on: look for the reader.
    void btReader() override { link_.connectToReader(); }
    void btError(OrvexBluetoothError) override {}
    void connecting() override {}
    void connectionFailed(OrvexConnectionError) override { std::puts("Connection failed"); }
    void readerConnected() override {}
    void readerDisconnected(OrvexDisconnectionCause) override {}
    void battery(long) override {
        if (!connected_.exchange(true)) ready.set_value();
    }
    void scanReceived(std::optional<ScanResult> result, bool contactPending) override {
        if (contactPending || !result || !result->contact) return;
        std::printf("Read back: %s / %s\n", result->contact->phone.c_str(),
                    result->contact->name.c_str());
        readBack.set_value();
    }
    void readerScanning(bool) override {}
    void exportReceived(std::optional<ScanResult>, long) override {}
    void scanFailed() override { std::puts("No tag read"); }
    void version(const std::string&) override {}

private:
    ReaderInterface& link_;
    std::atomic<bool> connected_{false};
};

}  // namespace

int main() {
    auto platform = std::make_shared<sim::SimPlatform>(sim::Clock::realTime);
    sim::SimReader::attach(*platform);

    auto link = ReaderInterface::create(platform);
    auto host = std::make_shared<Host>(*link);
    link->setDelegate(host);
    link->initializeBluetooth();
    if (host->ready.get_future().wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        std::puts("No reader");
        return 1;
    }

    // The write checks that the tag in the field is the one named before it writes.
    std::promise<bool> written;
    link->writeContact("NEW.OWNER@EXAMPLE.ORG", "+44 7946 0999", "999 000000012345",
                       [&written](bool success, OrvexContactStatus) { written.set_value(success); });
    auto outcome = written.get_future();
    if (outcome.wait_for(std::chrono::seconds(30)) != std::future_status::ready || !outcome.get()) {
        std::puts("The write failed");
        return 1;
    }
    std::puts("Written");
    link->scan();
    if (host->readBack.get_future().wait_for(std::chrono::seconds(30)) !=
        std::future_status::ready) {
        return 1;
    }
    link->setDelegate(nullptr);
    link.reset();
    platform->shutdown();
    return 0;
}
