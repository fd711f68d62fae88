// SPDX-License-Identifier: Apache-2.0
// orvex watch: every reading, trigger reading, export record, scanning status and battery
// report, one line each, until SIGINT or SIGTERM.

#include "Watch.hpp"

#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "Describe.hpp"
#include "ReaderOptions.hpp"
#include "Session.hpp"

namespace orvex::cli {

namespace {

struct WatchArgs {
    ReaderArgs reader;
    double triggerEvery = 3.0;
    bool simExport = false;
};

std::string clockTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

// "2026-12-10T13:45:07.123Z": the UTC time of a JSON line.
std::string isoTime() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    return fmt::format("{}.{:03}Z", text, millis);
}

class Printer {
public:
    // `label`: the reader's address, put on every line when several readers are watched.
    Printer(bool json, std::string label) : json_(json), label_(std::move(label)) {}

    void connected(const std::string& version) {
        emit({{"event", "connected"}, {"version", version}}, fmt::format("connected  {}", version));
    }

    // Prints what a person or a program watching wants to see of `e`.
    void event(const Event& e) {
        switch (e.kind) {
            case Event::Kind::reading:
                // An FDX-B reading comes again with its contact; that one is printed.
                if (!e.flag) reading("reading", e, {});
                break;
            case Event::Kind::exportRecord:
                reading("export", e, e.code);
                break;
            case Event::Kind::scanning:
                emit({{"event", "scanning"}, {"active", e.flag}},
                     e.flag ? "scanning   started" : "scanning   ended");
                break;
            case Event::Kind::scanFailed:
                emit({{"event", "scanFailed"}},
                     "no reading (no tag in the field, or not an FDX-B tag)");
                break;
            case Event::Kind::battery:
                emit({{"event", "battery"}, {"level", e.code}},
                     fmt::format("battery    {}%", e.code));
                break;
            case Event::Kind::updateEnded: {
                const auto status = static_cast<OrvexDeviceUpdateStatus>(e.code);
                emit({{"event", "microAppUpdate"}, {"status", describe(status)}},
                     fmt::format("micro app  {}", describe(status)));
                break;
            }
            default:
                break;
        }
    }

private:
    void reading(const char* kind, const Event& e, std::optional<long> number) {
        nlohmann::ordered_json out{{"event", kind}};
        if (number) out["number"] = *number;
        out.update(readingJson(e.result));
        std::string text = fmt::format("{:<10} ", kind);
        if (number) text += fmt::format("#{} ", *number);
        text += describeReading(e.result);
        if (e.result && e.result->contact) text += "  contact " + describeContact(e.result);
        emit(out, text);
    }

    void emit(const nlohmann::ordered_json& json, const std::string& text) {
        if (json_) {
            nlohmann::ordered_json line{{"time", isoTime()}};
            if (!label_.empty()) line["reader"] = label_;
            line.update(json);
            fmt::print("{}\n", line.dump());
        } else if (label_.empty()) {
            fmt::print("{}  {}\n", clockTime(), text);
        } else {
            fmt::print("{}  {}  {}\n", clockTime(), label_, text);
        }
        std::fflush(stdout);
    }

    bool json_;
    std::string label_;
};

// Several readers at once: one link each on one platform, every line labelled.
int watchSeveral(const WatchArgs& args) {
    installInterruptHandlers();
    std::string error;
    auto sessions = Session::openSeveral(sessionOptions(args.reader), args.reader.addresses, error);
    if (sessions.empty()) {
        printError("watch", error);
        return kExitUsage;
    }
    std::vector<Printer> printers;
    for (const auto& session : sessions) printers.emplace_back(args.reader.json, session->address());
    for (std::size_t i = 0; i < sessions.size(); ++i) {
        std::string version;
        Printer& printer = printers[i];
        error = sessions[i]->connect([&](const Event& e) {
            if (e.kind == Event::Kind::version) version = e.text;
            if (e.kind == Event::Kind::battery) printer.connected(version);
            if (e.kind == Event::Kind::battery || e.kind == Event::Kind::updateEnded) printer.event(e);
        });
        if (!error.empty()) {
            return interruptRequested() ? 0
                                        : failedStep("watch", sessions[i]->address() + ": " + error);
        }
        if (const auto& simReader = sessions[i]->simReader(); simReader && args.simExport) {
            simReader->exportReadings();
        }
    }
    const bool triggers = args.reader.sim && args.triggerEvery > 0;
    auto nextTrigger = std::chrono::steady_clock::now();
    bool textFormat = false;
    for (;;) {
        for (std::size_t i = 0; i < sessions.size(); ++i) {
            const auto wait = sessions[i]->waitFor({}, 0.05 / static_cast<double>(sessions.size()),
                                                   [&](const Event& e) { printers[i].event(e); });
            if (wait.status == WaitStatus::interrupted || interruptRequested()) return 0;
            if (wait.status == WaitStatus::linkLost) {
                return failedStep("watch",
                                  sessions[i]->address() + ": " + sessions[i]->explain(wait, "the reader"));
            }
        }
        if (triggers && std::chrono::steady_clock::now() >= nextTrigger) {
            nextTrigger += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(args.triggerEvery));
            for (auto& session : sessions) {
                session->simReader()->triggerReading(textFormat ? sim::SimReadingFormat::text
                                                                : sim::SimReadingFormat::packed);
            }
            textFormat = !textFormat;
        }
    }
}

int runWatch(const WatchArgs& args) {
    if (args.reader.addresses.size() > 1) {
        if (!args.reader.recordPath.empty()) {
            printError("watch", "--record records one reader; give one --address at most");
            return kExitUsage;
        }
        return watchSeveral(args);
    }
    Printer printer(args.reader.json, {});
    std::string version;
    int exitCode = 0;
    auto session = connectReader("watch", args.reader, exitCode, [&](const Event& e) {
        if (e.kind == Event::Kind::version) version = e.text;
        if (e.kind == Event::Kind::battery || e.kind == Event::Kind::updateEnded) {
            if (e.kind == Event::Kind::battery) printer.connected(version);
            printer.event(e);
        }
    });
    if (!session) return interruptRequested() ? 0 : exitCode;

    const auto& simReader = session->simReader();
    if (simReader && args.simExport) simReader->exportReadings();
    const bool triggers = simReader && args.triggerEvery > 0;
    bool textFormat = false;
    for (;;) {
        const auto wait = session->waitFor({}, triggers ? args.triggerEvery : 1.0e7,
                                           [&](const Event& e) { printer.event(e); });
        if (wait.status == WaitStatus::interrupted) return 0;
        if (wait.status == WaitStatus::linkLost) {
            return failedStep("watch", session->explain(wait, "the reader"));
        }
        if (triggers) {
            // Alternate the two ways a reader sends a trigger reading.
            simReader->triggerReading(textFormat ? sim::SimReadingFormat::text
                                                 : sim::SimReadingFormat::packed);
            textFormat = !textFormat;
        }
    }
}

}  // namespace

void addWatchCommand(CLI::App& app, CommandContext& ctx) {
    auto args = std::make_shared<WatchArgs>();
    auto* watch = app.add_subcommand(
        "watch",
        "Print every reading, export record, scanning status and battery report until "
        "interrupted (Ctrl-C)");
    auto* sim = addReaderOptions(*watch, args->reader, /*json=*/true, /*severalReaders=*/true);
    watch
        ->add_option("--sim-trigger-every", args->triggerEvery,
                     "Seconds between readings on the simulated reader's trigger (0: none)")
        ->check(numberFrom(0, 3600))
        ->group("Simulated reader")
        ->capture_default_str()
        ->needs(sim);
    watch
        ->add_flag("--sim-export", args->simExport,
                   "Have the simulated reader export its stored readings once connected")
        ->group("Simulated reader")
        ->needs(sim);
    watch
        ->add_option("--record", args->reader.recordPath,
                     "Record the session to FILE as a replay script (what the reader and the "
                     "adapter did, with the times), for `orvex replay FILE` or a bug report; "
                     "one reader only")
        ->type_name("FILE");
    watch->callback([args, &ctx] { ctx.exitCode = runWatch(*args); });
}

}  // namespace orvex::cli
