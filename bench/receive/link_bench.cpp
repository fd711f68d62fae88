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
