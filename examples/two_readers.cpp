// SPDX-License-Identifier: Apache-2.0
// Two readers at once: one platform, one link per reader, each bound to its reader by
// address, each with its own delegate. It runs on two simulated readers; on real ones,
// make the platform with orvex::bluez::makePlatform() and use the addresses that
// `orvex list` shows.

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>

#include <orvex/ReaderInterface.hpp>
#include <orvex/sim/SimPlatform.hpp>
#include <orvex/sim/SimReader.hpp>

using namespace orvex;

namespace {

class Host : public ReaderInterfaceDelegate {
public:
    Host(std::string label, ReaderInterface& link) : label_(std::move(label)), link_(link) {}
    std::promise<void> done;

    void btReader() override { link_.connectToReader(); }
    void btError(OrvexBluetoothError) override {}
    void connecting() override {}
    void connectionFailed(OrvexConnectionError) override {
        std::printf("%s: not found\n", label_.c_str());
    }
    void readerConnected() override {}
    void readerDisconnected(OrvexDisconnectionCause) override {}
    void battery(long) override { link_.scan(); }
    void scanReceived(std::optional<ScanResult> result, bool contactPending) override {
        if (contactPending || !result || !result->scan || !result->scan->xpdr) return;
        std::printf("%s: tag %s\n", label_.c_str(), result->scan->xpdr->str().c_str());
        done.set_value();
    }
    void readerScanning(bool) override {}
    void exportReceived(std::optional<ScanResult>, long) override {}
    void scanFailed() override {}
    void version(const std::string&) override {}

private:
    std::string label_;
    ReaderInterface& link_;
};

}  // namespace

int main() {
    auto platform = std::make_shared<sim::SimPlatform>(sim::Clock::realTime);
    const std::string addresses[] = {"C4:00:00:00:00:0A", "C4:00:00:00:00:0B"};
    for (int i = 0; i < 2; ++i) {
        sim::SimReaderConfig config;
        config.address = addresses[i];
        config.tags[0].nationalNumber = 1000 + static_cast<unsigned>(i);  // a tag of its own
        sim::SimReader::attach(*platform, config);
    }

    std::shared_ptr<ReaderInterface> links[2];
    std::shared_ptr<Host> hosts[2];
    for (int i = 0; i < 2; ++i) {
        links[i] = ReaderInterface::create(platform);
        links[i]->setReaderAddress(addresses[i]);
        hosts[i] = std::make_shared<Host>(addresses[i], *links[i]);
        links[i]->setDelegate(hosts[i]);
        links[i]->initializeBluetooth();
    }
    int code = 0;
    for (auto& host : hosts) {
        if (host->done.get_future().wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            code = 1;
        }
    }
    for (auto& link : links) link->setDelegate(nullptr);
    for (auto& link : links) link.reset();
    platform->shutdown();
    return code;
}
