// SPDX-License-Identifier: Apache-2.0
// Runs the benchmarks as usual, then prints each event's figure per event beside the floor
// it is held to (measured in the same run) and the heap allocations per event. With
// repetitions the medians are used. A benchmark that measures its own floor in alternating
// blocks (PairedTimes.hpp) gives its figure, its floor and their ratio itself.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

namespace {

struct Figure {
    double nanoseconds = 0;  // CPU time per event, or the link's time for a paired one
    double allocations = 0;  // per event
    double pairedFloor = 0;  // the floor's time per event, for a paired benchmark
    double pairedRatio = 0;
    bool median = false;
};

// Keeps the figure of every benchmark while the console shows the runs.
class CollectingReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, Figure> figures;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const bool median =
                run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type == Run::RT_Aggregate && !median) continue;
            Figure& figure = figures[run.run_name.str()];
            if (figure.median && !median) continue;
            const double events = counter(run, "events", 1.0);
            figure.nanoseconds = run.GetAdjustedCPUTime() * 1e9 /
                                 benchmark::GetTimeUnitMultiplier(run.time_unit) / events;
            figure.allocations = counter(run, "allocs", 0.0);
            figure.pairedRatio = counter(run, "ratio", 0.0);
            if (figure.pairedRatio > 0) {
                figure.nanoseconds = counter(run, "link_ns", 0.0);
                figure.pairedFloor = counter(run, "floor_ns", 0.0);
            }
            figure.median = median;
        }
        ConsoleReporter::ReportRuns(runs);
    }

private:
    static double counter(const Run& run, const std::string& name, double otherwise) {
        const auto it = run.counters.find(name);
        return it == run.counters.end() || it->second.value <= 0 ? otherwise : it->second.value;
    }
};

struct Row {
    const char* event;
    const char* benchmark;
    const char* floor;  // a floor benchmark, or what a paired benchmark measured as its floor
};

constexpr const char* kSameRecordsDecoded = "pure text decoders of the same records, paired";

// clang-format off
const Row kRows[] = {
    {"Contact::decode of one record",        "Codec_ContactDecode",        "Floor_Pearson48"},
    {"Contact::encode",                      "Codec_ContactEncode",        "Floor_Pearson48"},
    {"decode_type, ASCII serial",            "Codec_DecodeTypeAscii",      nullptr},
    {"decode_id, ASCII serial",              "Codec_DecodeIdAscii",        nullptr},
    {"upload acknowledgement (3 writes)",    "Link_UploadAck",             "Floor_SliceFraming"},
    {"packed scan + contact answer",         "Link_PackedScanContact",     "Floor_PackedScanContact"},
    {"export record, 37-byte notifications", "Link_ExportRecord37",        kSameRecordsDecoded},
    {"export record, 244-byte notifications","Link_ExportRecord244",       kSameRecordsDecoded},
    {"export of 1k records, per record",     "Link_ExportScaling/1000",    kSameRecordsDecoded},
    {"export of 10k records, per record",    "Link_ExportScaling/10000",   kSameRecordsDecoded},
    {"export of 100k records, per record",   "Link_ExportScaling/100000",  kSameRecordsDecoded},
    {"keep-alive cycle (tick, ping, answer)","Link_KeepAlive",             "Floor_TimerTick"},
};

const Row kFloors[] = {
    {"48 Pearson lookups over 24 bytes",     "Floor_Pearson48",            nullptr},
    {"pure text decoders of one record",     "Floor_TextDecoders",         nullptr},
    {"pure packed scan + contact decoders",  "Floor_PackedScanContact",    nullptr},
    {"escape and frame one 80-byte slice",   "Floor_SliceFraming",         nullptr},
    {"no-op repeating timer tick",           "Floor_TimerTick",            nullptr},
};
// clang-format on

std::string time(double ns) {
    if (ns < 1e3) return fmt::format("{:.1f} ns", ns);
    if (ns < 1e6) return fmt::format("{:.2f} us", ns / 1e3);
    return fmt::format("{:.2f} ms", ns / 1e6);
}

void printTable(const std::map<std::string, Figure>& figures) {
    const auto find = [&](const char* name) -> std::optional<Figure> {
        if (!name) return std::nullopt;
        const auto it = figures.find(name);
        if (it == figures.end()) return std::nullopt;
        return it->second;
    };
    std::printf("\n| event | per event | floor | ratio | heap allocations per event |\n");
    std::printf("|---|---:|---|---:|---:|\n");
    for (const Row& row : kRows) {
        const auto figure = find(row.benchmark);
        if (!figure) continue;
        if (figure->pairedRatio > 0) {
            std::printf("| %s | %s | %s, %s | %.2fx | %.2f |\n", row.event,
                        time(figure->nanoseconds).c_str(), row.floor,
                        time(figure->pairedFloor).c_str(), figure->pairedRatio,
                        figure->allocations);
            continue;
        }
        const auto floor = find(row.floor);
        const auto floorName = [&]() -> std::string {
            for (const Row& f : kFloors) {
                if (row.floor && std::string(f.benchmark) == row.floor) return f.event;
            }
            return "-";
        }();
        std::printf("| %s | %s | %s | %s | %.2f |\n", row.event, time(figure->nanoseconds).c_str(),
                    floor ? fmt::format("{}, {}", floorName, time(floor->nanoseconds)).c_str()
                          : "-",
                    floor ? fmt::format("{:.2f}x", figure->nanoseconds / floor->nanoseconds).c_str()
                          : "-",
                    figure->allocations);
    }
    std::printf("\n| floor | per event | heap allocations per event |\n|---|---:|---:|\n");
    for (const Row& row : kFloors) {
        if (const auto figure = find(row.benchmark)) {
            std::printf("| %s | %s | %.2f |\n", row.event, time(figure->nanoseconds).c_str(),
                        figure->allocations);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    printTable(reporter.figures);
    return 0;
}
