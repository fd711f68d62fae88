// SPDX-License-Identifier: Apache-2.0
// The reader link per notification, on a platform that costs next to nothing, and the
// floors it is held to.

#include <benchmark/benchmark.h>

#include <array>
#include <optional>

#include "AllocationCounter.hpp"
#include "BenchLink.hpp"
#include "Samples.hpp"
#include "orvex/Contact.hpp"
#include "reader/Commands.hpp"

namespace orvex::bench {
namespace {

constexpr std::size_t kSlices = 4096;

// An image of kSlices slices whose bytes include FE now and then, as real images do.
Bytes uploadImage() {
    Bytes image(detail::MICRO_APP_HEAD_SIZE + kSlices * detail::MICRO_APP_SLICE_SIZE);
    for (std::size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<std::uint8_t>(i * 37 + i / 251);
    }
    return image;
}

// Escaping and framing one slice into a buffer that is already there: the least an upload
// acknowledgement can cost.
void Floor_SliceFraming(benchmark::State& state) {
    const Bytes image = uploadImage();
    std::array<std::uint8_t, 3 + 2 * detail::MICRO_APP_SLICE_SIZE + 2> frame{};
    std::size_t slice = 0;
    const AllocationSpan span;
    for (auto _ : state) {
        const std::uint8_t* in = image.data() + detail::MICRO_APP_HEAD_SIZE +
                                 slice * detail::MICRO_APP_SLICE_SIZE;
        std::uint8_t* out = frame.data();
        *out++ = 0xFE;
        *out++ = 0x00;
        *out++ = 0x01;
        for (std::size_t i = 0; i < detail::MICRO_APP_SLICE_SIZE; ++i) {
            *out++ = in[i];
            if (in[i] == 0xFE) *out++ = 0xFE;
        }
        *out++ = 0xFE;
        *out++ = 0x01;
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
        slice = (slice + 1) % kSlices;
    }
    reportPerEvent(state, 1, span.stop());
}
BENCHMARK(Floor_SliceFraming);

// One slice acknowledgement: the link sends the next slice (three writes). A micro-app is
// asked for only in the check after the version, on connecting: an upload that has sent its
// last slice is followed by a new link that uploads again, outside the figures. The bytes
// written show that every acknowledgement did send a slice.
void Link_UploadAck(benchmark::State& state) {
    const Bytes image = uploadImage();
    const Bytes ack{0x82};
    std::optional<BenchLink> bench;
    std::size_t written = 0;   // by acknowledgements, over every link
    std::size_t atStart = 0;   // by the link under way before its first acknowledgement
    const auto startUpload = [&] {
        if (bench) written += bench->bytesWritten() - atStart;
        bench.emplace(image);
        bench->notify({0x81});  // locked: the first slice goes out
        atStart = bench->bytesWritten();
    };
    startUpload();
    std::size_t sent = 1;
    std::uint64_t allocations = 0;
    AllocationSpan span;
    for (auto _ : state) {
        if (sent == kSlices) {
            allocations += span.stop();
            state.PauseTiming();
            countAllocations(false);
            startUpload();
            countAllocations(true);
            sent = 1;
            span = AllocationSpan();
            state.ResumeTiming();
        }
        bench->notify(ack);
        ++sent;
    }
    allocations += span.stop();
    written += bench->bytesWritten() - atStart;
    reportPerEvent(state, 1, allocations);
    const auto acks = static_cast<std::size_t>(state.iterations());
    if (written < acks * detail::MICRO_APP_SLICE_SIZE) {
        state.SkipWithError("the acknowledgements did not send a slice each");
    }
}
BENCHMARK(Link_UploadAck);

// An FDX-B reading as a packed record, then the contact answer to the read it asks for.
void Link_PackedScanContact(benchmark::State& state) {
    BenchLink bench;
    const Bytes scan = packedFdxbScan();
    Bytes answer{0x10};
    const Bytes record = Contact::encode("+491701234567", "JANE.DOE@EXAMPLE.ORG");
    answer.insert(answer.end(), record.begin(), record.end());
    const AllocationSpan span;
    for (auto _ : state) {
        bench.notify(scan);
        bench.notify(answer);
    }
    reportPerEvent(state, 1, span.stop());
    if (bench.delegate().contacts == 0) state.SkipWithError("no contact was decoded");
}
BENCHMARK(Link_PackedScanContact);

// Export records in notifications of `size` bytes; every iteration is one notification.
void exportRecords(benchmark::State& state, std::size_t size) {
    BenchLink bench;
    // A whole number of records in a whole number of notifications, so that the stream
    // can go round; and more than one record, or the link would take each notification
    // after the first for the same one doubled.
    const std::size_t records = size % detail::EXPORT_RECORD_SIZE == 0
                                    ? 64 * (size / detail::EXPORT_RECORD_SIZE)
                                    : size;
    const auto notifications = exportStream(static_cast<int>(records), size);
    std::size_t next = 0;
    const long before = bench.delegate().reports;
    const AllocationSpan span;
    for (auto _ : state) {
        bench.notify(notifications[next]);
        next = next + 1 == notifications.size() ? 0 : next + 1;
    }
    const std::uint64_t allocations = span.stop();
    const double perNotification = static_cast<double>(records) /
                                   static_cast<double>(notifications.size());
    reportPerEvent(state, perNotification, allocations);
    if (bench.delegate().reports == before) state.SkipWithError("no record was reported");
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
    const std::size_t whole = static_cast<std::size_t>(records) * detail::EXPORT_RECORD_SIZE / 244;
    const std::size_t tailSize = static_cast<std::size_t>(records) * detail::EXPORT_RECORD_SIZE % 244;
    const Bytes& last = period[whole % period.size()];
    const Bytes tail(last.begin(), last.begin() + static_cast<std::ptrdiff_t>(tailSize));
    const long before = bench.delegate().reports;
    const AllocationSpan span;
    for (auto _ : state) {
        for (std::size_t i = 0; i < whole; ++i) bench.notify(period[i % period.size()]);
        if (!tail.empty()) bench.notify(tail);
    }
    reportPerEvent(state, records, span.stop());
    if (bench.delegate().reports - before != records * static_cast<long>(state.iterations())) {
        state.SkipWithError("not every record was reported once");
    }
}
BENCHMARK(Link_ExportScaling)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// A repeating timer whose action reaches an object through a weak reference and does
// nothing, as the link's timers do.
void Floor_TimerTick(benchmark::State& state) {
    struct Target {
        long ticks = 0;
        void tick() { benchmark::DoNotOptimize(++ticks); }
    };
    auto target = std::make_shared<Target>();
    auto timer = std::make_shared<ManualTimer>(
        [weak = std::weak_ptr<Target>(target), action = &Target::tick] {
            if (auto self = weak.lock()) ((*self).*action)();
        },
        true);
    const std::weak_ptr<ManualTimer> handle = timer;
    const AllocationSpan span;
    for (auto _ : state) {
        if (auto t = handle.lock()) t->fire();
    }
    reportPerEvent(state, 1, span.stop());
}
BENCHMARK(Floor_TimerTick);

// A watchdog tick that pings the reader, and the reader's answer.
void Link_KeepAlive(benchmark::State& state) {
    BenchLink bench;
    const Bytes answer{0x80};
    const std::size_t writtenBefore = bench.bytesWritten();
    const AllocationSpan span;
    for (auto _ : state) {
        bench.tick();
        bench.notify(answer);
    }
    reportPerEvent(state, 1, span.stop());
    if (!bench.link().isConnected()) state.SkipWithError("the link dropped the reader");
    // Every tick writes a ping or, now and then, a battery request.
    const auto ticks = static_cast<std::size_t>(state.iterations());
    if (bench.bytesWritten() - writtenBefore < ticks * detail::PING_DATA.size()) {
        state.SkipWithError("a tick wrote nothing");
    }
}
BENCHMARK(Link_KeepAlive);

}  // namespace
}  // namespace orvex::bench
