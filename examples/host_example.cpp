// SPDX-License-Identifier: Apache-2.0
// A host program: finds the reader, connects, reads one tag with its owner contact and
// disconnects. It runs on the simulated reader, so no hardware is needed; without the
// three simulator lines in main() the same code talks to a real reader over Bluetooth.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>

#include <orvex/ReaderInterface.hpp>
#include <orvex/sim/SimPlatform.hpp>
#include <orvex/sim/SimReader.hpp>

using namespace orvex;

// Every callback arrives on the link's own thread; a host may call the link from it.
class Host : public ReaderInterfaceDelegate {
public:
    std::future<int> done() { return done_.get_future(); }
    std::future<void> disconnected() { return disconnected_.get_future(); }

    void btReader() override { ReaderInterface::reader().connectToReader(); }
    void btError(OrvexBluetoothError) override { finish("Bluetooth is not usable", 1); }
    void connecting() override { std::puts("Looking for the reader..."); }
    void connectionFailed(OrvexConnectionError) override { finish("Connection failed", 1); }
    void readerConnected() override { std::puts("Connected"); }
    void readerDisconnected(OrvexDisconnectionCause) override {
        std::puts("Disconnected");
        disconnected_.set_value();
    }
    void version(const std::string& text) override { std::printf("Version: %s\n", text.c_str()); }
    void battery(long level) override {
        std::printf("Battery: %ld%%\n", level);
        // The link is idle after its first battery report: time to read a tag.
        if (!scanning_.exchange(true)) ReaderInterface::reader().scan();
    }
    void scanReceived(std::optional<ScanResult> result, bool contactPending) override {
        if (contactPending) return;  // called again once the owner contact is read
        std::printf("Tag: %s\n", result->scan->xpdr->str().c_str());
        if (result->contact) {
            std::printf("Owner: %s / %s\n", result->contact->phone.c_str(),
                        result->contact->name.c_str());
        }
        finish("Done", 0);
    }
    void scanFailed() override { finish("No tag read", 1); }
    void readerScanning(bool) override {}
    void exportReceived(std::optional<ScanResult>, long) override {}

private:
    void finish(const char* message, int code) {
        std::puts(message);
        if (!finished_.exchange(true)) done_.set_value(code);
    }

    std::promise<int> done_;
    std::promise<void> disconnected_;
    std::atomic<bool> finished_{false}, scanning_{false};
};

int main() {
    // The simulated reader, on a simulated Bluetooth platform running in real time.
    auto platform = std::make_shared<sim::SimPlatform>(sim::Clock::realTime);
    sim::SimReader::attach(*platform);
    ReaderInterface::usePlatform(platform);

    ReaderInterface& reader = ReaderInterface::reader();
    auto host = std::make_shared<Host>();
    reader.setDelegate(host);
    auto done = host->done();
    auto disconnected = host->disconnected();
    reader.initializeBluetooth();  // btReader() follows once the adapter is on

    if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        std::puts("Timed out");
        return 1;
    }
    reader.disconnectFromReader();
    disconnected.wait_for(std::chrono::seconds(5));
    reader.setDelegate(nullptr);
    platform->shutdown();
    return done.get();
}
