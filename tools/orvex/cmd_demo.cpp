// SPDX-License-Identifier: Apache-2.0
// orvex demo: a whole session with the simulated reader, no hardware needed.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "Commands.hpp"
#include "DemoSteps.hpp"
#include "ReaderOptions.hpp"
#include "Session.hpp"
#include "Terminal.hpp"

namespace orvex::cli {

namespace {

// Slices of the demo's micro-app image (80 bytes each, about 5 KiB in all).
constexpr long kImageSlices = 64;

const std::vector<std::string> kPartNames{"update", "battery", "scan",
                                          "write",  "trigger", "export"};

struct DemoArgs {
    SimKnobs knobs;
    std::vector<std::string> parts = kPartNames;
    // Just longer than the link's own 21-second scan and contact timers, so that a lost
    // answer shows as the link reports it.
    double timeout = 25.0;
};

DemoParts pickParts(const std::vector<std::string>& names) {
    auto has = [&](std::string_view name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    DemoParts parts;
    parts.update = has("update");
    parts.battery = has("battery");
    parts.scan = has("scan");
    parts.write = has("write");
    parts.trigger = has("trigger");
    parts.exportTable = has("export");
    return parts;
}

SessionOptions demoSession(const DemoArgs& args, const DemoParts& parts) {
    SessionOptions options;
    options.sim = true;
    options.timeout = args.timeout;
    SimSetup& setup = options.simSetup;
    applySimKnobs(args.knobs, setup.reader);
    setup.reader.microAppCurrent = !parts.update;
    setup.microAppImage = demoMicroAppImage(kImageSlices);
    setup.nearbyDevices = true;
    // The reader shows up after the devices around it and answers like a real one would.
    setup.timing.advertiseDelay = 0.6;
    setup.timing.connectDelay = 0.25;
    setup.timing.discoveryDelay = 0.1;
    return options;
}

int runDemo(const DemoArgs& args) {
    installInterruptHandlers();
    const auto started = std::chrono::steady_clock::now();
    const DemoParts parts = pickParts(args.parts);
    Terminal term;

    std::string error;
    auto session = Session::open(demoSession(args, parts), error);
    if (!session) {
        printError("demo", error);
        return kExitUsage;
    }
    term.title("Orvex demo",
               fmt::format("simulated reader {} · answers in {:g} ms · {}-byte notifications{}",
                           args.knobs.name, args.knobs.delay * 1000, args.knobs.notificationSize,
                           args.knobs.faultRate > 0 ? fmt::format(" · {:g}% of answers disturbed",
                                                                  args.knobs.faultRate * 100)
                                                    : std::string()));

    DemoSteps steps(*session, term, parts);
    bool allGood = steps.connect();
    if (allGood) {
        using Step = bool (DemoSteps::*)();
        const std::pair<bool, Step> chosen[] = {
            {parts.scan, &DemoSteps::scan},
            {parts.write, &DemoSteps::writeContact},
            {parts.trigger, &DemoSteps::trigger},
            {parts.exportTable, &DemoSteps::exportReadings},
        };
        for (const auto& [wanted, step] : chosen) {
            if (!wanted) continue;
            steps.pause();
            allGood = (steps.*step)() && allGood;
            if (steps.linkLost()) break;
        }
    }
    allGood = allGood && !steps.updateFailed();
    if (!steps.linkLost()) {
        steps.pause();
        steps.disconnect();
    }
    session.reset();

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (interruptRequested()) {
        term.line(term.fancy() ? "\n  Interrupted.\n" : "Interrupted.");
        return kExitInterrupted;
    }
    const std::string summary =
        allGood ? fmt::format("Done in {:.1f} s.", seconds)
                : fmt::format("Finished in {:.1f} s, with failed steps.", seconds);
    if (term.fancy()) {
        term.line(fmt::format("\n  {}\n  {}\n", allGood ? term.green(summary) : term.red(summary),
                              term.dim("Next: orvex watch --sim, orvex scan --sim --json, "
                                       "orvex --help")));
    } else {
        term.line(summary);
    }
    return allGood ? 0 : kExitFailed;
}

}  // namespace

void addDemoCommand(CLI::App& app, CommandContext& ctx) {
    auto args = std::make_shared<DemoArgs>();
    auto* demo = app.add_subcommand(
        "demo",
        "Run a whole session with a simulated reader (no hardware needed): discovery, "
        "connection, micro-app update, battery, readings, a contact write, export");
    demo->add_option("--parts", args->parts,
                     "Parts to show, comma-separated (discovery, connection and disconnection "
                     "always run)")
        ->delimiter(',')
        ->check(CLI::IsMember(kPartNames))
        ->capture_default_str();
    demo->add_option("--timeout", args->timeout, "Longest wait, in seconds, for each step")
        ->check(numberFrom(0.1, 3600))
        ->capture_default_str();
    addSimKnobs(*demo, args->knobs);
    demo->callback([args, &ctx] { ctx.exitCode = runDemo(*args); });
}

}  // namespace orvex::cli
