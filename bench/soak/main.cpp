// SPDX-License-Identifier: Apache-2.0
// orvex_soak: whole sessions on virtual time with lost, doubled and stray notifications,
// random notification sizes and answer delays, and overlapping host calls. For every kind
// of exchange it counts how many ended in exactly one outcome, in none and in more than
// one, and names the random start value of the sessions that break the rule. It then
// checks that an idle link survives a day of lost answers and that a slow reader connects.
// Exit status 1 on any violation, 2 on a bad argument.

#include <fmt/format.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "SoakSession.hpp"
#include "Tally.hpp"

namespace {

using orvex::soak::SoakOptions;
using orvex::soak::SoakSession;

struct Arguments {
    SoakOptions options;
    std::uint64_t sessions = 2000;
    std::uint64_t firstStart = 1;
    bool checks = true;
};

void usage() {
    std::fputs(
        "usage: orvex_soak [--sessions N] [--start S] [--drop R] [--duplicate R] [--garbage R]\n"
        "                  [--overlap] [--race] [--pace LOW HIGH] [--quiet-host]\n"
        "                  [--seconds T] [--no-checks] [--trace]\n"
        "  Runs N sessions with random start values S, S+1, ... (rates R from 0 to 1).\n"
        "  --overlap issues contact writes shortly after scans; --race has the reader read\n"
        "  tags on its trigger every 0.3-2 s, report its battery and export by itself,\n"
        "  and checks every message it sent against what the host heard (--pace sets the\n"
        "  seconds between trigger readings; --quiet-host has the host only connect);\n"
        "  --trace prints every\n"
        "  report (use it with --sessions 1 to replay one session).\n",
        stderr);
}

template <class T>
bool parse(std::string_view text, T& out) {
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end;
}

bool parseRate(std::string_view text, double& out) {
    return parse(text, out) && out >= 0.0 && out <= 1.0;
}

bool parseArguments(int argc, char** argv, Arguments& a) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&](std::string_view& v) {
            if (i + 1 >= argc) return false;
            v = argv[++i];
            return true;
        };
        std::string_view v;
        bool ok = true;
        if (arg == "--sessions") {
            ok = value(v) && parse(v, a.sessions) && a.sessions > 0;
        } else if (arg == "--start") {
            ok = value(v) && parse(v, a.firstStart);
        } else if (arg == "--drop") {
            ok = value(v) && parseRate(v, a.options.dropRate);
        } else if (arg == "--duplicate") {
            ok = value(v) && parseRate(v, a.options.duplicateRate);
        } else if (arg == "--garbage") {
            ok = value(v) && parseRate(v, a.options.garbageRate);
        } else if (arg == "--seconds") {
            ok = value(v) && parse(v, a.options.sessionSeconds) && a.options.sessionSeconds > 0;
        } else if (arg == "--overlap") {
            a.options.overlap = true;
        } else if (arg == "--race") {
            a.options.race = true;
        } else if (arg == "--pace") {
            std::string_view high;
            ok = value(v) && parse(v, a.options.paceLow) && value(high) &&
                 parse(high, a.options.paceHigh) && a.options.paceLow >= 0.05 &&
                 a.options.paceHigh >= a.options.paceLow;
        } else if (arg == "--quiet-host") {
            a.options.quietHost = true;
        } else if (arg == "--no-checks") {
            a.checks = false;
        } else if (arg == "--trace") {
            a.options.trace = true;
        } else if (arg == "--help") {
            usage();
            std::exit(0);
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "orvex_soak: bad argument near '%s' (see --help)\n", argv[i]);
            return false;
        }
    }
    return true;
}

// An idle link whose reader loses 1 % of its answers stays up for a whole day.
bool idleDayCheck() {
    orvex::sim::SimReaderConfig reader;
    reader.faults.dropRate = 0.01;
    reader.faults.randomStart = 1;
    SoakSession session({}, 1, reader);
    session.connectAndIdle(24 * 3600.0);
    const bool ok = session.host().connected && session.host().disconnections == 0;
    fmt::print("idle link, 1 % of answers lost, 24 h of virtual time: {} ({} disconnections)\n",
               ok ? "stays up" : "DROPPED", session.host().disconnections);
    return ok;
}

// A reader that takes 2.6 s to answer connects and reports its version.
bool slowReaderCheck() {
    orvex::sim::SimReaderConfig reader;
    reader.answerDelay = 2.6;
    SoakSession session({}, 1, reader);
    session.connectAndIdle(120.0);
    const auto& host = session.host();
    const bool ok = host.connected && host.version.has_value();
    fmt::print("reader answering in 2.6 s: {}{}\n", ok ? "connected, version " : "NOT CONNECTED",
               host.version ? "\"" + *host.version + "\"" : std::string());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    Arguments a;
    if (!parseArguments(argc, argv, a)) return 2;

    orvex::soak::Tally tally;
    for (std::uint64_t n = 0; n < a.sessions; ++n) {
        const std::uint64_t start = a.firstStart + n;
        SoakSession session(a.options, start);
        session.play();
        session.ledger().addTo(tally, start);
        if (a.options.race) session.raceLedger().addTo(tally, start);
        if (a.options.trace) {
            for (const auto& what : session.raceLedger().invented()) {
                fmt::print("violation: {}\n", what);
            }
        }
    }
    fmt::print(
        "{} sessions (random start {} to {}), {:.0f} s of host activity each; answers lost "
        "{:.1f} %, doubled {:.1f} %, preceded by garbage {:.1f} %; contact writes {}\n",
        a.sessions, a.firstStart, a.firstStart + a.sessions - 1, a.options.sessionSeconds,
        a.options.dropRate * 100, a.options.duplicateRate * 100, a.options.garbageRate * 100,
        a.options.overlap ? "shortly after scans" : "while no scan is outstanding");
    if (a.options.race) {
        fmt::print("race traffic: trigger readings every {}-{} s, battery reports, exports{}\n",
                   a.options.paceLow, a.options.paceHigh,
                   a.options.quietHost ? "; the host only connects" : "");
    }
    tally.print(a.options.race);

    bool ok = !tally.hasViolation();
    if (a.checks) {
        ok = idleDayCheck() && ok;
        ok = slowReaderCheck() && ok;
    }
    fmt::print("{}\n", ok ? "no violation" : "VIOLATIONS FOUND");
    return ok ? 0 : 1;
}
