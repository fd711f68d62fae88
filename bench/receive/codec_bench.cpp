// SPDX-License-Identifier: Apache-2.0
// The record codecs and text decoders on their own, and the floors they are held to.

#include <benchmark/benchmark.h>

#include <array>
#include <span>

#include "AllocationCounter.hpp"
#include "Samples.hpp"
#include "model/ContactCodec.hpp"
#include "orvex/Contact.hpp"
#include "orvex/Transponder.hpp"
#include "reader/Messages.hpp"

namespace orvex::bench {
namespace {

const Bytes kContactRecord = Contact::encode("+491701234567", "JANE.DOE@EXAMPLE.ORG");

// The checksum's own cost: 48 lookups in the Pearson table over 24 bytes, as two chains
// that the processor can run side by side.
void Floor_Pearson48(benchmark::State& state) {
    std::array<std::uint8_t, 24> bytes{};
    std::copy_n(kContactRecord.begin(), bytes.size(), bytes.begin());
    const AllocationSpan span;
    for (auto _ : state) {
        benchmark::DoNotOptimize(bytes.data());
        benchmark::ClobberMemory();
        std::uint8_t h1 = detail::PEARSON_ARRAY[bytes[0]];
        std::uint8_t h2 = detail::PEARSON_ARRAY[static_cast<std::uint8_t>(bytes[0] + 1)];
        for (std::size_t i = 1; i < bytes.size(); ++i) {
            h1 = detail::PEARSON_ARRAY[bytes[i] ^ h1];
            h2 = detail::PEARSON_ARRAY[bytes[i] ^ h2];
        }
        benchmark::DoNotOptimize(h1);
        benchmark::DoNotOptimize(h2);
    }
    reportPerEvent(state, 1, span.stop());
}
BENCHMARK(Floor_Pearson48);

void Codec_ContactDecode(benchmark::State& state) {
    Bytes record = kContactRecord;
    const AllocationSpan span;
    for (auto _ : state) {
        // decode clears the check bits: put them back (no allocation, same size).
        std::copy(kContactRecord.begin(), kContactRecord.end(), record.begin());
        auto contact = Contact::decode(record);
        benchmark::DoNotOptimize(contact);
    }
    reportPerEvent(state, 1, span.stop());
}
BENCHMARK(Codec_ContactDecode);

void Codec_ContactEncode(benchmark::State& state) {
    const AllocationSpan span;
    for (auto _ : state) {
        auto record = Contact::encode("+491701234567", "JANE.DOE@EXAMPLE.ORG");
        benchmark::DoNotOptimize(record);
    }
    reportPerEvent(state, 1, span.stop());
}
BENCHMARK(Codec_ContactEncode);

// What the link cannot avoid for an export record: decoding its text scan and its number.
void Floor_TextDecoders(benchmark::State& state) {
    const Bytes record = exportRecord(42);
    const Bytes text(record.begin() + 6, record.end());
    const AllocationSpan span;
    for (auto _ : state) {
        auto result = detail::decodeTextScan(text, 1.0e9);
        const long number = detail::exportRecordNumber(record);
        benchmark::DoNotOptimize(result);
        benchmark::DoNotOptimize(number);
    }
    reportPerEvent(state, 1, span.stop());
}
BENCHMARK(Floor_TextDecoders);

// What the link cannot avoid for a packed reading and its contact answer.
void Floor_PackedScanContact(benchmark::State& state) {
    const Bytes packed = packedFdxbScan();
    Bytes record = kContactRecord;
    const AllocationSpan span;
    for (auto _ : state) {
        auto result = detail::decodePackedScan(packed, 1.0e9);
        std::copy(kContactRecord.begin(), kContactRecord.end(), record.begin());
        result.contact = Contact::decode(record);
        benchmark::DoNotOptimize(result);
    }
    reportPerEvent(state, 1, span.stop());
}
BENCHMARK(Floor_PackedScanContact);

void Codec_DecodeTypeAscii(benchmark::State& state) {
    const std::string serial = "FDXB    999 000000012345\r\n";
    const AllocationSpan span;
    for (auto _ : state) {
        benchmark::DoNotOptimize(serial.data());
        benchmark::DoNotOptimize(Transponder::decode_type(serial));
    }
    reportPerEvent(state, 1, span.stop());
}
BENCHMARK(Codec_DecodeTypeAscii);

void Codec_DecodeIdAscii(benchmark::State& state) {
    const std::string serial = "FDXB    999 000000012345\r\n";
    const AllocationSpan span;
    for (auto _ : state) {
        benchmark::DoNotOptimize(serial.data());
        auto id = Transponder::decode_id(serial);
        benchmark::DoNotOptimize(id);
    }
    reportPerEvent(state, 1, span.stop());
}
BENCHMARK(Codec_DecodeIdAscii);

}  // namespace
}  // namespace orvex::bench
