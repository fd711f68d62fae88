// SPDX-License-Identifier: Apache-2.0
// Export records through the link, each measured against the pure text decoders taking the
// same records, in alternating blocks (PairedTimes.hpp).

#include <benchmark/benchmark.h>

#include <span>
#include <vector>

#include "BenchLink.hpp"
#include "PairedTimes.hpp"
#include "Samples.hpp"
#include "reader/Commands.hpp"
#include "reader/Messages.hpp"

namespace orvex::bench {
namespace {

// What the link cannot avoid for `count` records: decoding each one, taken from `records`
// in turn.
void decodeRecords(const std::vector<Bytes>& records, std::size_t count) {
    constexpr std::size_t textOffset = detail::EXPORT_RECORD_SIZE - detail::TEXT_SCAN_SIZE;
    for (std::size_t i = 0; i < count; ++i) {
        const Bytes& record = records[i % records.size()];
        auto result = detail::decodeTextScan(std::span(record).subspan(textOffset), 1.0e9);
        const long number = detail::exportRecordNumber(record);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(number);
    }
}

// Export records in notifications of `size` bytes; every iteration is one pass over a
// stream of them.
void exportRecords(benchmark::State& state, std::size_t size) {
    BenchLink bench;
    // A whole number of records in a whole number of notifications, so that the stream
    // can go round; and more than one record, or the link would take each notification
    // after the first for the same one doubled.
    const std::size_t records = size % detail::EXPORT_RECORD_SIZE == 0
                                    ? 64 * (size / detail::EXPORT_RECORD_SIZE)
                                    : size;
    const auto notifications = exportStream(static_cast<int>(records), size);
    const auto wholeRecords = exportStream(static_cast<int>(records), detail::EXPORT_RECORD_SIZE);
    const long before = bench.delegate().reports;
    PairedTimes times;
    for (auto _ : state) {
        times.link([&] {
            for (const Bytes& notification : notifications) bench.notify(notification);
        });
        times.floor([&] { decodeRecords(wholeRecords, records); });
    }
    times.report(state, static_cast<double>(records));
    if (bench.delegate().reports - before != static_cast<long>(records * state.iterations())) {
        state.SkipWithError("not every record was reported once");
    }
}

void Link_ExportRecord37(benchmark::State& state) {
    exportRecords(state, 37);
}
BENCHMARK(Link_ExportRecord37);

void Link_ExportRecord244(benchmark::State& state) {
    exportRecords(state, 244);
}
BENCHMARK(Link_ExportRecord244);

// A whole export of `range(0)` records in 244-byte notifications per iteration. A reader's
// notifications arrive one at a time, fresh in the cache; a stream of 100k records held whole
// in memory (4 MB) would add the cache misses of reading the benchmark's own input. So the
// export is cut from a repeating stream whose period is a whole number of notifications:
// 244 distinct records in 37 notifications, then the short notification that ends it.
void Link_ExportScaling(benchmark::State& state) {
    BenchLink bench;
    constexpr int kPeriod = 244;  // records, 37 notifications of 244 bytes
    const auto records = static_cast<int>(state.range(0));
    const auto period = exportStream(kPeriod, 244);
    const auto periodRecords = exportStream(kPeriod, detail::EXPORT_RECORD_SIZE);
    const std::size_t whole = static_cast<std::size_t>(records) * detail::EXPORT_RECORD_SIZE / 244;
    const std::size_t tailSize = static_cast<std::size_t>(records) * detail::EXPORT_RECORD_SIZE % 244;
    const Bytes& last = period[whole % period.size()];
    const Bytes tail(last.begin(), last.begin() + static_cast<std::ptrdiff_t>(tailSize));
    const long before = bench.delegate().reports;
    PairedTimes times;
    for (auto _ : state) {
        times.link([&] {
            for (std::size_t i = 0; i < whole; ++i) bench.notify(period[i % period.size()]);
            if (!tail.empty()) bench.notify(tail);
        });
        times.floor([&] { decodeRecords(periodRecords, static_cast<std::size_t>(records)); });
    }
    times.report(state, records);
    if (bench.delegate().reports - before != records * static_cast<long>(state.iterations())) {
        state.SkipWithError("not every record was reported once");
    }
}
BENCHMARK(Link_ExportScaling)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace orvex::bench
