// SPDX-License-Identifier: Apache-2.0
// A host's own test against the real BlueZ stack, with no reader at hand: the simulated
// reader served as a real peripheral on one adapter, the host's link on another. The test
// pulls the reader's trigger once the link is connected and passes when the reading
// arrives (exit status 0; 1 when it does not within 60 s; 2 when BlueZ cannot be used).
//
//   served_reader [--reader-adapter hci1] [--host-adapter hci0]
//
// Needs bluetoothd, two adapters that reach each other (two controllers, or btvirt's
// virtual ones) and permission to register GATT applications.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <orvex/ReaderInterface.hpp>
#include <orvex/bluez/Bluez.hpp>
#include <orvex/bluez/Peripheral.hpp>

using namespace orvex;

namespace {

// The host under test, reduced to what the test looks at. Its callbacks arrive on the
// link's thread.
class Host : public ReaderInterfaceDelegate {
public:
    explicit Host(ReaderInterface& link) : link_(link) {}

    std::atomic<bool> connected{false};
    std::atomic<bool> tagRead{false};

    void btReader() override { link_.connectToReader(); }
    void btError(OrvexBluetoothError) override {}
    void connecting() override {}
    void connectionFailed(OrvexConnectionError) override { link_.connectToReader(); }
    void readerConnected() override { connected = true; }
    void readerDisconnected(OrvexDisconnectionCause) override { connected = false; }
    void scanReceived(std::optional<ScanResult> result, bool contactPending) override {
        if (contactPending || !result || !result->scan || !result->scan->xpdr) return;
        std::printf("the host read tag %s\n", result->scan->xpdr->str().c_str());
        tagRead = true;
    }
    void readerScanning(bool) override {}
    void exportReceived(std::optional<ScanResult>, long) override {}
    void scanFailed() override {}
    void version(const std::string&) override {}

private:
    ReaderInterface& link_;
};

}  // namespace

int main(int argc, char** argv) {
    bluez::PeripheralOptions readerOptions;
    readerOptions.adapter = "hci1";
    readerOptions.reader.name = "KX-BT4 TEST";
    readerOptions.log = [](const std::string& line) { std::printf("reader: %s\n", line.c_str()); };
    bluez::Options hostOptions;
    hostOptions.adapter = "hci0";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--reader-adapter")) {
            readerOptions.adapter = argv[i + 1];
        } else if (!std::strcmp(argv[i], "--host-adapter")) {
            hostOptions.adapter = argv[i + 1];
        }
    }

    std::string why;
    auto reader = bluez::servePeripheral(readerOptions, &why);
    if (!reader) {
        std::fprintf(stderr, "cannot serve the reader: %s\n", why.c_str());
        return 2;
    }
    auto platform = bluez::makePlatform(hostOptions, &why);
    if (!platform) {
        std::fprintf(stderr, "BlueZ cannot be used: %s\n", why.c_str());
        return 2;
    }
    auto link = ReaderInterface::create(platform);
    link->setReaderName(readerOptions.reader.name);
    auto host = std::make_shared<Host>(*link);
    link->setDelegate(host);
    link->initializeBluetooth();

    // The person at the reader pulls the trigger once the host is connected.
    bool triggered = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!host->tagRead && std::chrono::steady_clock::now() < deadline) {
        if (host->connected && !triggered) {
            triggered = reader->withReader([](sim::SimReader& r) { r.triggerReading(); });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }

    link->setDelegate(nullptr);
    link->disconnectFromReader();
    reader.reset();  // unregisters the application and the advertisement
    std::puts(host->tagRead ? "passed" : "no reading arrived");
    return host->tagRead ? 0 : 1;
}
