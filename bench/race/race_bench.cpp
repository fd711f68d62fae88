// SPDX-License-Identifier: Apache-2.0
// race_bench: how many FDX-B animals a minute the link reports with their owner contacts
// when the reader reads them as fast as a cattle race lets it, against the bound of one
// contact round trip per animal (the link reads one contact at a time).
//
// On the simulated platform, in virtual time, with a reader that answers after a fixed
// delay (50 ms unless --delay says otherwise). First one animal alone measures the contact
// round trip on this sim: from the link's contact-read command to the reading's final
// report. Then, for --seconds of virtual time, the reader's trigger reads a new animal
// every 0.5 to 1 round trips (faster than the bound, at no fixed phase to the answers), but
// holds the next animal while four wait for their final report (a crush of animals in the
// chute; a reading with no final report after 25 s no longer holds it). A link that reads
// the contacts back to back, queueing the readings that arrive meanwhile, is busy all the
// time and reaches the bound. The rate is the animals reported with their contacts over the
// time from the first trigger to the last final report. A plain program: it prints its
// figures and the ratio, and exits 0 (1 on a bad argument or a reader that never connects).

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orvex/Contact.hpp"
#include "orvex/ReaderInterface.hpp"
#include "orvex/sim/SimPlatform.hpp"
#include "orvex/sim/SimReader.hpp"

namespace {

using orvex::ScanResult;
using orvex::platform::Bytes;

struct Options {
    double delay = 0.05;
    double seconds = 60.0;
};

// Counts the reports of the readings made so far.
class Counter : public orvex::ReaderInterfaceDelegate {
public:
    explicit Counter(orvex::sim::SimPlatform& platform) : platform_(platform) {}

    void btError(orvex::OrvexBluetoothError) override {}
    void connecting() override {}
    void connectionFailed(orvex::OrvexConnectionError) override {}
    void readerConnected() override {}
    void readerDisconnected(orvex::OrvexDisconnectionCause) override { ++disconnections; }
    void readerScanning(bool) override {}
    void exportReceived(std::optional<ScanResult>, long) override {}
    void scanFailed() override { ++failed; }
    void version(const std::string&) override {}
    void battery(long) override { ready = true; }
    void scanReceived(std::optional<ScanResult> result, bool contactPending) override {
        if (contactPending) {
            ++pending;
            return;
        }
        ++finals;
        lastFinal = platform_.now();
        if (result && result->contact) ++withContact;
        if (result && result->scan && result->scan->xpdr) done.push_back(result->scan->xpdr->id);
    }

    // Forgets the readings counted so far.
    void reset() {
        pending = finals = withContact = failed = 0;
        lastFinal = -1.0;
        done.clear();
    }

    bool ready = false;
    long pending = 0;
    long finals = 0;
    long withContact = 0;
    long failed = 0;
    long disconnections = 0;
    double lastFinal = -1.0;
    std::vector<std::string> done;  // the ids of the readings with their final report

private:
    orvex::sim::SimPlatform& platform_;
};

// Notes when the link asks for a contact (the contact-read command 10 10 7C in a frame).
class ContactReads : public orvex::sim::SimObserver {
public:
    void onWrite(const std::shared_ptr<orvex::platform::Peripheral>&, const Bytes& bytes,
                 const orvex::platform::Uuid&, orvex::platform::WriteType) override {
        static constexpr std::uint8_t kRead[] = {0x10, 0x10, 0x7C};
        if (std::search(bytes.begin(), bytes.end(), std::begin(kRead), std::end(kRead)) !=
            bytes.end()) {
            times.push_back(now ? now() : 0.0);
        }
    }
    std::function<double()> now;
    std::vector<double> times;
};

template <class T>
bool parse(std::string_view text, T& out) {
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && out > 0;
}

bool parseArguments(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--delay" && hasValue && parse(std::string_view(argv[i + 1]), o.delay)) {
            ++i;
        } else if (arg == "--seconds" && hasValue &&
                   parse(std::string_view(argv[i + 1]), o.seconds)) {
            ++i;
        } else {
            std::fputs("usage: race_bench [--delay SECONDS] [--seconds SECONDS]\n", stderr);
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseArguments(argc, argv, options)) return 1;

    auto platform = std::make_shared<orvex::sim::SimPlatform>(orvex::sim::Clock::virtualTime);
    orvex::sim::SimReaderConfig config;
    config.answerDelay = options.delay;
    config.triggerEndDelay = options.delay;
    config.storedReadings.clear();
    const auto contact = orvex::sim::SimReaderConfig::defaultTags().front().contact;
    // A fresh animal for every trigger, each with an owner contact.
    const auto animals = static_cast<std::size_t>(options.seconds / options.delay) * 4 + 16;
    config.tags.clear();
    for (std::size_t i = 0; i < animals; ++i) {
        orvex::sim::SimTag tag;
        tag.nationalNumber = 100000 + i;
        tag.contact = contact;
        config.tags.push_back(tag);
    }
    config.tagInField.reset();
    auto reader = orvex::sim::SimReader::attach(*platform, config);
    auto observer = std::make_shared<ContactReads>();
    observer->now = [p = platform.get()] { return p->now(); };
    platform->setObserver(observer);

    auto link = orvex::ReaderInterface::create(platform);
    auto counter = std::make_shared<Counter>(*platform);
    link->setDelegate(counter);
    link->initializeBluetooth();
    platform->runUntilIdle();
    link->connectToReader();
    for (int i = 0; i < 100 && !counter->ready; ++i) platform->advance(0.1);
    if (!counter->ready) {
        std::fputs("race_bench: the simulated reader did not connect\n", stderr);
        return 1;
    }
    platform->advance(1.0);

    std::size_t next = 0;
    auto trigger = [&] {
        reader->setTagInField(next++);
        reader->triggerReading(orvex::sim::SimReadingFormat::packed);
    };

    // One animal alone: the contact round trip.
    trigger();
    platform->runUntilIdle();
    for (int i = 0; i < 300 && counter->finals == 0; ++i) platform->advance(0.01);
    if (counter->finals != 1 || observer->times.size() != 1) {
        std::fputs("race_bench: the calibration animal was not reported once\n", stderr);
        return 1;
    }
    const double roundTrip = counter->lastFinal - observer->times.front();
    platform->advance(2.0);

    // The race.
    constexpr std::size_t kChute = 4;
    constexpr double kGiveUp = 25.0;
    counter->reset();
    std::mt19937_64 random(23);
    std::map<std::string, double> waiting;  // id -> trigger time
    const double first = platform->now();
    const double end = first + options.seconds;
    long triggered = 0;
    long lost = 0;
    while (platform->now() < end - 1e-9) {
        for (const auto& id : counter->done) waiting.erase(id);
        counter->done.clear();
        for (auto it = waiting.begin(); it != waiting.end();) {
            if (platform->now() - it->second > kGiveUp) {
                ++lost;
                it = waiting.erase(it);
            } else {
                ++it;
            }
        }
        if (waiting.size() >= kChute) {
            platform->advance(roundTrip / 10);
            continue;
        }
        waiting[config.tags[next].id()] = platform->now();
        trigger();
        ++triggered;
        platform->advance(std::uniform_real_distribution<double>(0.5, 1.0)(random) * roundTrip);
    }
    for (int i = 0; i < 600; ++i) platform->advance(0.1);  // the last ones come in

    const double span = counter->lastFinal - first;
    const double rate = span > 0 ? static_cast<double>(counter->withContact) / span * 60.0 : 0.0;
    const double bound = 60.0 / roundTrip;
    fmt::print("answer delay {:.3f} s, contact round trip {:.3f} s (measured on this sim)\n",
               options.delay, roundTrip);
    fmt::print(
        "{} animals triggered over {:.0f} s (every 0.5-1 round trips, at most {} waiting): {} "
        "reported pending, {} final, {} with their contacts, {} scans failed, {} given up\n",
        triggered, options.seconds, kChute, counter->pending, counter->finals,
        counter->withContact, counter->failed, lost);
    fmt::print("{:<28} {:>10}\n", "", "animals/min");
    fmt::print("{:<28} {:>10.1f}\n", "link, with contacts", rate);
    fmt::print("{:<28} {:>10.1f}\n", "bound (one round trip each)", bound);
    fmt::print("{:<28} {:>10.3f}   (goal: at least 0.9)\n", "ratio", rate / bound);

    link->setDelegate(nullptr);
    link.reset();
    platform->runUntilIdle();
    platform->setObserver(nullptr);
    platform->shutdown();
    return 0;
}
