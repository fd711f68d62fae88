// SPDX-License-Identifier: Apache-2.0
// A host for a real reader over BlueZ: reads tags until interrupted (Ctrl-C), and when the
// reader goes away (switched off, out of range) looks for it again.
//
//   real_reader [--adapter hci1] [--address C4:00:00:00:00:01] [-v]

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <orvex/Log.hpp>
#include <orvex/ReaderInterface.hpp>
#include <orvex/bluez/Bluez.hpp>

using namespace orvex;

namespace {

volatile std::sig_atomic_t stop = 0;

// Every callback arrives on the link's own thread; a host may call the link from it.
class Host : public ReaderInterfaceDelegate {
public:
    explicit Host(ReaderInterface& link) : link_(link) {}

    void btReader() override { link_.connectToReader(); }
    void btError(OrvexBluetoothError) override { std::puts("Bluetooth is not usable"); }
    void connecting() override { std::puts("Looking for the reader..."); }
    // Not found in time, or refused: look again.
    void connectionFailed(OrvexConnectionError) override { link_.connectToReader(); }
    void readerConnected() override { std::puts("Connected; pull the trigger to read a tag"); }
    void readerDisconnected(OrvexDisconnectionCause) override {
        std::puts("The reader went away; looking for it again");
        link_.connectToReader();
    }
    void scanReceived(std::optional<ScanResult> result, bool contactPending) override {
        if (contactPending || !result || !result->scan || !result->scan->xpdr) return;
        std::printf("Tag %s", result->scan->xpdr->str().c_str());
        if (result->contact) std::printf("  owner %s", result->contact->phone.c_str());
        std::printf("\n");
        std::fflush(stdout);
    }
    void readerScanning(bool) override {}
    void exportReceived(std::optional<ScanResult> result, long) override {
        scanReceived(std::move(result), false);
    }
    void scanFailed() override {}
    void version(const std::string& text) override { std::printf("Reader %s\n", text.c_str()); }

private:
    ReaderInterface& link_;
};

}  // namespace

int main(int argc, char** argv) {
    bluez::Options options;
    std::string address;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--adapter") && i + 1 < argc) {
            options.adapter = argv[++i];
        } else if (!std::strcmp(argv[i], "--address") && i + 1 < argc) {
            address = argv[++i];
        } else if (!std::strcmp(argv[i], "-v")) {
            setLogHandler(LogLevel::info, [](LogLevel level, std::string_view text) {
                std::fprintf(stderr, "[%s] %.*s\n", to_string(level).data(),
                             static_cast<int>(text.size()), text.data());
            });
        } else {
            std::fprintf(stderr, "usage: real_reader [--adapter hciN] [--address ADDRESS] [-v]\n");
            return 2;
        }
    }
    std::string why;
    auto platform = bluez::makePlatform(options, &why);
    if (!platform) {
        std::fprintf(stderr, "BlueZ cannot be used: %s\n", why.c_str());
        return 2;
    }
    std::signal(SIGINT, [](int) { stop = 1; });
    std::signal(SIGTERM, [](int) { stop = 1; });

    auto link = ReaderInterface::create(platform);
    link->setReaderAddress(address);  // empty: the first reader found
    link->setDelegate(std::make_shared<Host>(*link));
    link->initializeBluetooth();
    while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));

    link->setDelegate(nullptr);
    link->disconnectFromReader();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    return 0;
}
