// SPDX-License-Identifier: Apache-2.0
// realstack_bench: one session of the link against a reader reached through BlueZ, timed
// from the host's side with the public API alone. It runs the same against the real
// bluetoothd (with `orvex peripheral` as the reader) and against the fake org.bluez
// (`orvex fake-bluez`), so that one guest boot gives both and their ratio
// (bench/realstack/bench.sh). It prints one line per figure:
//
//   found <seconds>        from connectToReader() to the reader's advertisement seen
//   handshake <seconds>    from then to readerConnected() (connection, services, handshake)
//   setup <seconds>        from then to the battery level (version, micro-app check, battery)
//   round-trip <seconds>   per scan(): from the request to its reading (one write, one
//                          notification), --scans of them on the connection
//   upload <slices> <seconds>   with --image: a micro-app upload, startUpdate to endUpdate
//
// and exits 0, or 1 with one line on standard error when the session fails.
//
//   realstack_bench [--adapter hci0] [--scans N] [--image FILE] [--timeout S]
//
// The bus is the system bus (DBUS_SYSTEM_BUS_ADDRESS is honoured).

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "orvex/ReaderInterface.hpp"
#include "orvex/ReaderInterfaceDelegate.hpp"
#include "orvex/bluez/Bluez.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// The moments of one session, written by the link's thread and waited for by main().
class Timing : public orvex::ReaderInterfaceDelegate {
public:
    std::optional<Clock::time_point> found, connected, batteryLevel, updateStarted, updateEnded;
    std::optional<Clock::time_point> reading, finalReport;
    long slices = 0;
    bool ready = false;
    bool uploadOk = false;
    std::string failure;

    // Waits until `done` holds or a failure is reported; false on failure or time out.
    bool waitFor(const std::function<bool()>& done, double limit) {
        std::unique_lock lock(mutex_);
        const bool met = changed_.wait_for(lock, std::chrono::duration<double>(limit), [&] {
            return done() || !failure.empty();
        });
        if (!met && failure.empty()) failure = "timed out";
        return met && failure.empty();
    }
    void forgetReading() {
        std::lock_guard lock(mutex_);
        reading.reset();
        finalReport.reset();
    }

    void btReader() override { mark([&] { ready = true; }); }
    void btError(orvex::OrvexBluetoothError) override {
        mark([&] { failure = "the adapter cannot be used"; });
    }
    void bleDetected(const std::string& prefix, const std::string& name) override {
        if (prefix == "--DETECTED DEVICES--" && orvex::ReaderInterface::isReaderName(name))
            mark([&] {
                if (!found) found = Clock::now();
            });
    }
    void connecting() override {}
    void connectionFailed(orvex::OrvexConnectionError) override {
        mark([&] { failure = "the connection failed"; });
    }
    void readerConnected() override { mark([&] { connected = Clock::now(); }); }
    void readerDisconnected(orvex::OrvexDisconnectionCause) override {
        mark([&] { failure = "the reader disconnected"; });
    }
    void scanReceived(std::optional<orvex::ScanResult> result, bool contactPending) override {
        mark([&] {
            if (!result) failure = "a scan read no tag";
            if (!reading) reading = Clock::now();
            if (!contactPending) finalReport = Clock::now();
        });
    }
    void readerScanning(bool) override {}
    void exportReceived(std::optional<orvex::ScanResult>, long) override {}
    void scanFailed() override { mark([&] { failure = "a scan failed"; }); }
    void version(const std::string&) override {}
    void battery(long) override {
        mark([&] {
            if (!batteryLevel) batteryLevel = Clock::now();
        });
    }
    void startUpdate(long count) override {
        mark([&] {
            slices = count;
            updateStarted = Clock::now();
        });
    }
    void endUpdate(std::optional<orvex::OrvexDeviceUpdateStatus> status) override {
        mark([&] {
            updateEnded = Clock::now();
            uploadOk = status == orvex::OrvexDeviceUpdateStatus::successful;
            if (!uploadOk) failure = "the micro-app upload failed";
        });
    }

private:
    void mark(const std::function<void()>& change) {
        {
            std::lock_guard lock(mutex_);
            change();
        }
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
};

int failed(const Timing& timing, const char* step) {
    std::fprintf(stderr, "realstack_bench: %s: %s\n", step, timing.failure.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string adapter = "hci0";
    std::string image;
    int scans = 20;
    double limit = 60;
    CLI::App app{"One timed session of the link against a reader reached through BlueZ"};
    app.add_option("--adapter", adapter, "BlueZ adapter of the host");
    app.add_option("--scans", scans, "Scans timed on the connection")->check(CLI::Range(0, 1000));
    app.add_option("--image", image, "Micro-app image to upload to a reader that asks for one")
        ->check(CLI::ExistingFile);
    app.add_option("--timeout", limit, "Seconds each step may take")->check(CLI::PositiveNumber);
    CLI11_PARSE(app, argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    orvex::bluez::Options options;
    options.adapter = adapter;
    if (!image.empty()) options.microAppImagePath = image;
    std::string why;
    auto platform = orvex::bluez::makePlatform(options, &why);
    if (!platform) {
        std::fprintf(stderr, "realstack_bench: %s\n", why.c_str());
        return 1;
    }
    auto timing = std::make_shared<Timing>();
    auto link = orvex::ReaderInterface::create(platform);
    link->setDelegate(timing);
    link->initializeBluetooth();
    if (!timing->waitFor([&] { return timing->ready; }, limit)) return failed(*timing, "adapter");

    const auto start = Clock::now();
    link->connectToReader();
    if (!timing->waitFor([&] { return timing->batteryLevel.has_value(); }, limit))
        return failed(*timing, "connection");
    if (!timing->found || !timing->connected) {
        timing->failure = "connected without the discovery or handshake reported";
        return failed(*timing, "connection");
    }
    std::printf("found %.4f\n", seconds(start, *timing->found));
    std::printf("handshake %.4f\n", seconds(*timing->found, *timing->connected));
    std::printf("setup %.4f\n", seconds(*timing->connected, *timing->batteryLevel));
    if (!image.empty()) {
        if (!timing->updateEnded) {
            timing->failure = "the reader did not ask for the micro app";
            return failed(*timing, "upload");
        }
        std::printf("upload %ld %.4f\n", timing->slices,
                    seconds(*timing->updateStarted, *timing->updateEnded));
    }
    for (int i = 0; i < scans; ++i) {
        timing->forgetReading();
        const auto asked = Clock::now();
        link->scan();
        // The contact read that follows an FDX-B reading ends before the next scan is asked.
        if (!timing->waitFor([&] { return timing->finalReport.has_value(); }, limit))
            return failed(*timing, "scan");
        std::printf("round-trip %.4f\n", seconds(asked, *timing->reading));
    }
    // The link lets the reader go as it ends; nothing more is timed.
    link.reset();
    return 0;
}
