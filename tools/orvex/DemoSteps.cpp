// SPDX-License-Identifier: Apache-2.0
#include "DemoSteps.hpp"

#include <algorithm>
#include <map>
#include <thread>

#include <fmt/format.h>

#include "Describe.hpp"
#include "orvex/ReaderInterface.hpp"
#include "orvex/ReaderInterfaceDelegate.hpp"

namespace orvex::cli {

namespace {

// The contact the demo writes to the tag.
constexpr std::string_view kNewPhone = "+44 7946 0999";
constexpr std::string_view kNewEmail = "NEW.OWNER@EXAMPLE.ORG";
// How long the export may stay silent before it counts as finished.
constexpr double kExportQuiet = 2.0;
// How long after the end of the reader's own scan its reading may still arrive.
constexpr double kTriggerGrace = 1.0;

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string typeAndId(const std::optional<ScanResult>& result) {
    if (!result || !result->scan || !result->scan->xpdr) return "no transponder";
    return result->scan->xpdr->typename_() + "  " + result->scan->xpdr->id;
}

}  // namespace

platform::Bytes demoMicroAppImage(long slices) {
    platform::Bytes image;
    const std::string_view head = "ORVEX DEMO APP 1";
    image.assign(head.begin(), head.end());
    image.resize(ReaderInterface::MICRO_APP_HEAD_SIZE, 0);
    // A simple congruential sequence; it holds FE bytes too, which the upload must escape.
    std::uint32_t x = 0x2545F491u;
    for (long i = 0; i < slices * static_cast<long>(ReaderInterface::MICRO_APP_SLICE_SIZE); ++i) {
        x = x * 1664525u + 1013904223u;
        image.push_back(static_cast<std::uint8_t>(x >> 24));
    }
    return image;
}

void DemoSteps::pause() const {
    if (!term_.fancy()) return;
    for (int i = 0; i < 6 && !interruptRequested(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool DemoSteps::failedWait(const std::string& label, const Wait& wait, std::string_view awaited) {
    linkLost_ = wait.status == WaitStatus::linkLost || wait.status == WaitStatus::interrupted;
    if (wait.status == WaitStatus::interrupted) {
        term_.note(label, "interrupted");
    } else {
        term_.fail(label, session_.explain(wait, awaited));
    }
    return false;
}

void DemoSteps::onConnectEvent(const Event& e) {
    switch (e.kind) {
        case Event::Kind::btReady:
            term_.ok("Bluetooth", "adapter powered on");
            break;
        case Event::Kind::connecting:
            term_.status("Discovery", "looking for a reader nearby...");
            break;
        case Event::Kind::detected:
            if (e.text == BLE_DETECTED_DEVICES) {
                devices_.push_back(e.detail);
                term_.status("Discovery", fmt::format("{} devices seen...", devices_.size()));
            } else if (e.text == BLE_DISCOVERED_SERVICES) {
                services_.push_back(e.detail);
            } else if (e.text == BLE_DISCOVERED_CHARACTERISTICS) {
                ++characteristics_;
            }
            break;
        case Event::Kind::connected: {
            term_.ok("Discovery", fmt::format("{} devices nearby", devices_.size()));
            std::vector<std::string> names;
            std::size_t unnamed = 0;
            for (const auto& name : devices_) {
                if (name == BLE_UNNAMED) {
                    ++unnamed;
                } else if (name == session_.readerName()) {
                    names.push_back(term_.cyan(name + " (the reader)"));
                } else {
                    names.push_back(name);
                }
            }
            if (unnamed > 0) names.push_back(fmt::format("{} unnamed", unnamed));
            term_.detail(fmt::format("{}", fmt::join(names, ", ")));
            term_.ok("Connection", session_.readerName());
            term_.detail(fmt::format("service {} · {} characteristics · handshake answered",
                                     fmt::join(services_, ", "), characteristics_));
            break;
        }
        case Event::Kind::version:
            term_.ok("Version", e.text);
            break;
        case Event::Kind::updateStarted:
            slices_ = e.code;
            updateStart_ = std::chrono::steady_clock::now();
            term_.progress("Micro app", 0, slices_, "slices");
            break;
        case Event::Kind::sliceAccepted:
            term_.progress("Micro app", e.code + 1, slices_, "slices");
            break;
        case Event::Kind::updateEnded: {
            const auto status = static_cast<OrvexDeviceUpdateStatus>(e.code);
            if (status == OrvexDeviceUpdateStatus::successful) {
                term_.ok("Micro app", fmt::format("updated: {} slices of 80 bytes in {:.1f} s",
                                                  slices_, secondsSince(updateStart_)));
            } else {
                updateFailed_ = true;
                term_.fail("Micro app", describe(status));
            }
            break;
        }
        case Event::Kind::battery:
            if (parts_.battery) term_.ok("Battery", fmt::format("{}%", e.code));
            break;
        default:
            break;
    }
}

bool DemoSteps::connect() {
    const std::string error = session_.connect([this](const Event& e) { onConnectEvent(e); });
    if (error.empty()) return true;
    linkLost_ = true;
    term_.fail("Connection", error);
    return false;
}

std::optional<Event> DemoSteps::awaitReading(const std::string& label) {
    for (;;) {
        const auto wait = session_.waitFor([](const Event& e) {
            return is(e, Event::Kind::reading) || is(e, Event::Kind::scanFailed);
        });
        if (wait.status != WaitStatus::matched) {
            failedWait(label, wait, "a reading");
            return std::nullopt;
        }
        if (is(wait.event, Event::Kind::scanFailed)) {
            term_.fail(label, "no reading (no tag in the field, or not an FDX-B tag)");
            return std::nullopt;
        }
        if (!wait.event.flag) return wait.event;
        term_.status(label, typeAndId(wait.event.result) + "  reading the owner contact...");
    }
}

bool DemoSteps::scan() {
    term_.status("Reading", "asking the reader to read the tag in its field...");
    session_.reader().scan();
    const auto event = awaitReading("Reading");
    if (!event) return false;
    if (event->result && event->result->scan && event->result->scan->xpdr) {
        tagId_ = event->result->scan->xpdr->id;
    }
    term_.ok("Reading", typeAndId(event->result));
    term_.detail("owner contact  " + describeContact(event->result));
    return true;
}

bool DemoSteps::writeContact() {
    if (tagId_.empty()) {
        // Without a reading of its own, the demo writes to the tag it put in the field.
        const auto config = session_.simReader()->config();
        if (config.tagInField && *config.tagInField < config.tags.size()) {
            tagId_ = config.tags[*config.tagInField].id();
        }
    }
    term_.status("Contact write",
                 fmt::format("writing {} / {} to {}...", kNewPhone, kNewEmail, tagId_));
    session_.reader().writeContact(std::string(kNewEmail), std::string(kNewPhone), tagId_,
                                   session_.contactCompletion());
    const auto wait =
        session_.waitFor([](const Event& e) { return is(e, Event::Kind::contactWritten); });
    if (wait.status != WaitStatus::matched) {
        return failedWait("Contact write", wait, "the write to finish");
    }
    const auto status = static_cast<OrvexContactStatus>(wait.event.code);
    if (!wait.event.flag) {
        term_.fail("Contact write", describe(status));
        return false;
    }
    term_.ok("Contact write", fmt::format("{} / {}  to {}", kNewPhone, kNewEmail, tagId_));

    term_.status("Read back", "reading the tag again...");
    session_.reader().scan();
    const auto event = awaitReading("Read back");
    if (!event) return false;
    const std::string expected = fmt::format("{} / {}", kNewPhone, kNewEmail);
    const std::string found = describeContact(event->result);
    if (found != expected) {
        term_.fail("Read back", "the tag holds " + found);
        return false;
    }
    term_.ok("Read back", found + "  (matches)");
    return true;
}

bool DemoSteps::trigger() {
    const std::string label = "Trigger reading";
    term_.status(label, "pressing the reader's trigger...");
    session_.simReader()->triggerReading();
    bool pending = false;  // the reading came and its contact is being read
    bool ended = false;    // the reader reported the end of its scan
    std::optional<Event> reading;
    while (!reading) {
        // Once the reader's scan has ended, a reading that has not begun is lost.
        const bool lost = ended && !pending;
        const auto wait = session_.waitFor(
            [](const Event& e) {
                return is(e, Event::Kind::reading) || is(e, Event::Kind::scanFailed) ||
                       is(e, Event::Kind::scanning);
            },
            lost ? kTriggerGrace : session_.timeout());
        if (wait.status == WaitStatus::timedOut && lost) {
            term_.fail(label, "the reader's scan ended without a reading");
            return false;
        }
        if (wait.status != WaitStatus::matched) {
            return failedWait(label, wait, "the trigger reading");
        }
        const Event& e = wait.event;
        if (is(e, Event::Kind::scanning)) {
            ended = ended || !e.flag;
        } else if (is(e, Event::Kind::scanFailed)) {
            term_.fail(label, "no reading (no tag in the field, or not an FDX-B tag)");
            return false;
        } else if (e.flag) {
            pending = true;
            term_.status(label, typeAndId(e.result) + "  reading the owner contact...");
        } else {
            reading = e;
        }
    }
    // The reader reports the end of its scan a moment after the reading.
    if (!ended) {
        session_.waitFor([](const Event& e) { return is(e, Event::Kind::scanning) && !e.flag; },
                         kTriggerGrace * 2);
    }
    term_.ok(label, typeAndId(reading->result));
    term_.detail("owner contact  " + describeContact(reading->result));
    return true;
}

bool DemoSteps::exportReadings() {
    const std::size_t expected = session_.simReader()->config().storedReadings.size();
    term_.status("Export", "asking the reader for its stored readings...");
    session_.simReader()->exportReadings();
    // Keyed by record number: a record the reader sent twice is shown once.
    std::map<long, std::vector<std::string>> records;
    while (records.size() < expected) {
        const double limit = records.empty() ? session_.timeout() : kExportQuiet;
        const auto wait = session_.waitFor(
            [](const Event& e) { return is(e, Event::Kind::exportRecord); }, limit);
        if (wait.status == WaitStatus::timedOut && !records.empty()) break;
        if (wait.status != WaitStatus::matched) {
            return failedWait("Export", wait, "the stored readings");
        }
        const auto& result = wait.event.result;
        const auto* xpdr = result && result->scan ? result->scan->xpdr.get() : nullptr;
        records[wait.event.code] = {fmt::format("{}", wait.event.code),
                                    xpdr ? xpdr->typename_() : "-", xpdr ? xpdr->id : "-"};
        term_.status("Export", fmt::format("{} of {} records...", records.size(), expected));
    }
    std::vector<std::vector<std::string>> rows;
    for (auto& [number, row] : records) rows.push_back(std::move(row));
    if (rows.size() == expected) {
        term_.ok("Export", fmt::format("{} stored readings", rows.size()));
    } else {
        term_.fail("Export",
                   fmt::format("{} of {} stored readings arrived", rows.size(), expected));
    }
    term_.table({"#", "Type", "Identifier"}, rows);
    return rows.size() == expected;
}

void DemoSteps::disconnect() {
    bool reported = false;
    session_.close([&](const Event& e) {
        if (is(e, Event::Kind::disconnected) || is(e, Event::Kind::connectionFailed)) {
            reported = true;
        }
    });
    if (reported) {
        term_.ok("Disconnected", "link closed");
    } else {
        term_.note("Disconnected", "the reader did not confirm in time");
    }
}

}  // namespace orvex::cli
