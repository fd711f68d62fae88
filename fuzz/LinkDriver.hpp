// SPDX-License-Identifier: Apache-2.0
#pragma once

// Drives one link on the simulated platform, in virtual time, with a sequence of events
// read from arbitrary bytes: notifications, time steps, host calls and platform events,
// in every state the link can reach (connected and uploading included).
//
// Input: byte 0 chooses the micro-app image (none, too short, or a generated one of up to
// a few slices); then a list of operations, each an opcode byte and its operands. Short
// macros (a whole handshake, a version answer that starts an upload, a notification
// repeated) let the search reach the deep states with short inputs, which run fast.
//
// Checked after every operation: the receive buffer never passes its cap, and no contact
// write completion runs more than once. At the end of an input that wrote a contact, after
// a long wait, every write the link accepted has had its completion.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orvex/ReaderInterfaceDelegate.hpp"
#include "orvex/sim/SimPlatform.hpp"
#include "reader/Commands.hpp"
#include "reader/Link.hpp"

namespace orvex::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::vector<std::uint8_t> bytes(std::size_t n) {
        n = std::min(n, size_ - std::min(pos_, size_));
        std::vector<std::uint8_t> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Calls back into the link from some of its reports, as hosts do. With ORVEX_FUZZ_TRACE
// set in the environment it also prints each report, to see where an input leads.
class FuzzDelegate : public ReaderInterfaceDelegate {
public:
    explicit FuzzDelegate(std::weak_ptr<detail::Link> link)
        : link_(std::move(link)), trace_(std::getenv("ORVEX_FUZZ_TRACE") != nullptr) {}
    void btError(OrvexBluetoothError e) override { log("btError", static_cast<long>(e)); }
    void connecting() override { log("connecting"); }
    void connectionFailed(OrvexConnectionError e) override {
        log("connectionFailed", static_cast<long>(e));
    }
    void readerConnected() override { log("readerConnected"); }
    void readerDisconnected(OrvexDisconnectionCause c) override {
        log("readerDisconnected", static_cast<long>(c));
    }
    void scanReceived(std::optional<ScanResult> result, bool contactPending) override {
        log("scanReceived", contactPending);
        // Touch what the host would read.
        if (result && result->scan && result->scan->xpdr) idLength += result->scan->xpdr->id.size();
        if (!contactPending && (++scans % 3) == 0) {
            if (auto link = link_.lock()) link->scan();
        }
    }
    void readerScanning(bool active) override { log("readerScanning", active); }
    void exportReceived(std::optional<ScanResult>, long number) override {
        log("exportReceived", number);
    }
    void scanFailed() override { log("scanFailed"); }
    void version(const std::string&) override { log("version"); }
    void battery(long level) override { log("battery", level); }
    void startUpdate(long slices) override { log("startUpdate", slices); }
    void updateStatus(long slice) override { log("updateStatus", slice); }
    void endUpdate(std::optional<OrvexDeviceUpdateStatus> status) override {
        log("endUpdate", status ? static_cast<long>(*status) : -1);
        if (auto link = link_.lock()) link->scan();
    }
    bool tracing() const { return trace_; }
    std::size_t idLength = 0;

private:
    void log(const char* what, long value = 0) const {
        if (trace_) std::fprintf(stderr, "  %s %ld\n", what, value);
    }
    std::weak_ptr<detail::Link> link_;
    bool trace_;
    int scans = 0;
};

inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz_link: %s\n", what);
    std::abort();
}

inline int fuzzLink(const std::uint8_t* data, std::size_t size) {
    using platform::Uuid;
    FuzzInput in(data, size);
    auto sim = std::make_shared<sim::SimPlatform>(sim::Clock::virtualTime);

    const std::uint8_t imageChoice = in.byte();
    if (imageChoice % 4 == 1) {
        sim->setMicroAppImage(std::vector<std::uint8_t>(imageChoice % 16));
    } else if (imageChoice % 4 >= 2) {
        std::vector<std::uint8_t> image(16 + imageChoice / 4 * 7);
        for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<std::uint8_t>(i * 37);
        sim->setMicroAppImage(image);
    }

    auto link = std::make_shared<detail::Link>(sim);
    auto delegate = std::make_shared<FuzzDelegate>(link);
    link->setDelegate(delegate);
    auto reader = sim->addPeripheral(std::string("KX-BT4 0001"));

    // Completions of contact writes: calls per write.
    auto completions = std::make_shared<std::vector<int>>();
    std::vector<bool> accepted;  // whether a reader was known when the write was asked for

    auto checkBuffer = [&] {
        // In virtual time this thread runs the link queue, and the loop is idle here.
        if (link->readBufferSize() >= detail::LONGEST_MESSAGE) fail("receive buffer past the longest message");
        for (int calls : *completions) {
            if (calls > 1) fail("contact write completed twice");
        }
    };
    auto handshake = [&] {
        link->initializeBluetooth();
        sim->runUntilIdle();
        link->connectToReader();
        sim->runUntilIdle();
        sim->discover(reader);
        sim->runUntilIdle();
        sim->completeConnect(true);
        sim->runUntilIdle();
        sim->reportServices(std::vector<Uuid>{detail::GenericService});
        sim->runUntilIdle();
        sim->reportCharacteristics(detail::GenericService,
                                   std::vector<Uuid>{detail::GenericCharacteristic});
        sim->runUntilIdle();
        sim->notify({detail::code::ack});
    };

    int steps = 0;
    while (!in.empty() && steps++ < 200) {
        const std::uint8_t op = in.byte();
        switch (op % 20) {
            case 0:
            case 1:
            case 2:
                sim->notify(in.bytes(in.byte()));
                break;
            case 3: {
                // The same notification 2 to 32 times: a long stream (up to the receive
                // buffer's cap) from a short input, checked after each one.
                const auto value = in.bytes(in.byte());
                for (int n = 2 + in.byte() % 31; n > 1; --n) {
                    sim->notify(value);
                    sim->runUntilIdle();
                    checkBuffer();
                }
                sim->notify(value);
                break;
            }
            case 4:
                sim->advance(in.byte() * 0.25);
                break;
            case 5:
                link->scan();
                break;
            case 6: {
                const std::uint8_t which = in.byte();
                std::string id = which % 2 ? "999 000000012345" : "124 000000001234";
                const std::size_t index = completions->size();
                completions->push_back(0);
                bool known = false;
                sim->sync([&] { known = link->isConnected(); });
                accepted.push_back(known);
                link->writeContact("A@B.C", "+4912345", id,
                                   [completions, index, trace = delegate->tracing()](
                                       bool, OrvexContactStatus status) {
                                       if (trace) {
                                           std::fprintf(stderr, "  completion %d\n",
                                                        static_cast<int>(status));
                                       }
                                       ++(*completions)[index];
                                   });
                break;
            }
            case 7:
                link->connectToReader();
                break;
            case 8:
                link->disconnectFromReader();
                break;
            case 9:
                sim->setAdapterState(static_cast<platform::ManagerState>(in.byte() % 6));
                break;
            case 10:
                sim->discover(reader);
                break;
            case 11:
                sim->completeConnect(in.byte() % 2 == 0);
                break;
            case 12: {
                const std::uint8_t v = in.byte() % 4;
                if (v == 0) sim->reportServices(std::vector<Uuid>{detail::GenericService});
                if (v == 1) sim->reportServices(std::vector<Uuid>{detail::UARTService});
                if (v == 2) sim->reportServices(std::nullopt);
                if (v == 3) sim->reportServices(std::vector<Uuid>{}, true);
                break;
            }
            case 13: {
                const std::uint8_t v = in.byte() % 4;
                if (v == 0) {
                    sim->reportCharacteristics(detail::GenericService,
                                               std::vector<Uuid>{detail::GenericCharacteristic});
                } else if (v == 1) {
                    sim->reportCharacteristics(detail::UARTService,
                                               std::vector<Uuid>{detail::UARTReadCharacteristic,
                                                                 detail::UARTWriteCharacteristic});
                } else if (v == 2) {
                    sim->reportCharacteristics(detail::GenericService, std::nullopt);
                } else {
                    sim->reportCharacteristics(detail::GenericService, std::vector<Uuid>{}, true);
                }
                break;
            }
            case 14:
                sim->reportDisconnected();
                break;
            case 15:
                link->setDelegate(in.byte() % 2 ? delegate : nullptr);
                break;
            case 16:
                link->initializeBluetooth();
                break;
            case 17:
                // Only while no reader is connected: with one, every step of it is an
                // operation of its own above, and inputs full of repeated handshakes spent
                // most of their time there.
                if (!link->isConnected()) handshake();
                break;
            case 18:
                // Version answer, then a check answer that asks for an upload.
                sim->notify({detail::code::version, 'K', 'X', 0x00});
                sim->runUntilIdle();
                sim->notify({detail::code::microAppCheck, 0x00, 0x02});
                break;
            case 19:
                // Acknowledge whatever the upload is waiting for, a few times.
                for (std::uint8_t n = in.byte() % 8; n > 0; --n) {
                    sim->notify({static_cast<std::uint8_t>(0x81 + n % 3)});
                    sim->runUntilIdle();
                }
                break;
        }
        sim->runUntilIdle();
        checkBuffer();
    }

    // After a contact write, a wait longer than every phase timer: each accepted write has
    // had its completion by then, and none has had a second one from a late timer. Inputs
    // without a write skip it (their own waits reach the timers): it was a good part of
    // the cost of a short input.
    if (!completions->empty()) {
        sim->advance(60.0);
        checkBuffer();
    }
    for (std::size_t i = 0; i < accepted.size(); ++i) {
        if (accepted[i] && (*completions)[i] != 1) fail("accepted contact write never completed");
    }

    link.reset();
    sim->shutdown();
    return 0;
}

}  // namespace orvex::fuzz
