// SPDX-License-Identifier: Apache-2.0
#include "reader/Messages.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <string_view>

#include <fmt/format.h>

#include "model/Text.hpp"

namespace orvex::detail {

namespace {

// A reading and its transponder are released on their own (a host may keep either one),
// so each has a control block of its own. Both blocks are placed in one heap chunk, which
// counts its users and is freed when the last one lets go: one allocation instead of two.
class PairChunk {
public:
    // The chunk with one user, the caller, who calls release() once done placing.
    static PairChunk* create() { return new PairChunk; }

    void* take(std::size_t size, std::size_t align) {
        const std::size_t at = (used_ + align - 1) / align * align;
        if (at + size > sizeof(bytes_)) throw std::bad_alloc();
        used_ = at + size;
        users_.fetch_add(1, std::memory_order_relaxed);
        return bytes_ + at;
    }
    void release() {
        if (users_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

private:
    PairChunk() = default;
    std::atomic<int> users_{1};
    std::size_t used_ = 0;
    // Two control blocks with their objects take about 120 bytes.
    alignas(std::max_align_t) std::byte bytes_[256];
};

// Hands out space in one PairChunk to std::allocate_shared.
template <class T>
struct ChunkAllocator {
    using value_type = T;
    explicit ChunkAllocator(PairChunk* c) : chunk(c) {}
    template <class U>
    ChunkAllocator(const ChunkAllocator<U>& other) : chunk(other.chunk) {}
    T* allocate(std::size_t n) { return static_cast<T*>(chunk->take(n * sizeof(T), alignof(T))); }
    void deallocate(T*, std::size_t) { chunk->release(); }
    friend bool operator==(const ChunkAllocator& a, const ChunkAllocator& b) {
        return a.chunk == b.chunk;
    }
    PairChunk* chunk;
};

ScanResult makeResult(std::string id, std::int8_t type, double now) {
    PairChunk* chunk = PairChunk::create();
    struct Placing {
        PairChunk* chunk;
        ~Placing() { chunk->release(); }
    } placing{chunk};
    auto xpdr = std::allocate_shared<Transponder>(ChunkAllocator<Transponder>(chunk));
    xpdr->id = std::move(id);
    xpdr->type = type;
    auto scan = std::allocate_shared<Scan>(ChunkAllocator<Scan>(chunk));
    scan->xpdr = std::move(xpdr);
    scan->date = now;
    return ScanResult{std::move(scan), nullptr};
}

// Bytes [from, first zero byte or `to`) of `buffer`, `to` limited to its size.
std::span<const std::uint8_t> untilZero(std::span<const std::uint8_t> buffer, std::size_t from,
                                        std::size_t to) {
    to = std::min(to, buffer.size());
    if (from >= to) return {};
    const auto begin = buffer.begin() + static_cast<std::ptrdiff_t>(from);
    const auto end = std::find(begin, buffer.begin() + static_cast<std::ptrdiff_t>(to), 0);
    return {begin, end};
}

}  // namespace

ScanResult decodePackedScan(std::span<const std::uint8_t> buffer, double now) {
    if (buffer.size() < PACKED_SCAN_SIZE) return {};
    const std::int8_t type = buffer[1] <= 6 ? static_cast<std::int8_t>(buffer[1]) : 0;
    const unsigned country = std::min((unsigned{buffer[2]} << 8) | buffer[3], 999u);
    unsigned long long national = 0;
    for (std::size_t i = 8; i >= 4; --i) national = (national << 8) | buffer[i];
    return makeResult(fmt::format("{:03d} {:012d}", country, national), type, now);
}

ScanResult decodeTextScan(std::span<const std::uint8_t> bytes, double now) {
    const std::size_t n = bytes.size();
    if (n < TEXT_SCAN_SIZE) return {};
    const std::int8_t type = Transponder::decode_type(latin1ToUtf8(bytes.subspan(1, 8)));
    return makeResult(latin1ToUtf8(bytes.subspan(9, n - 15)), type, now);
}

long exportRecordNumber(std::span<const std::uint8_t> record) {
    const std::string text = utf8Lossy(untilZero(record, 1, 4));
    std::string_view digits = text;
    const bool negative = !digits.empty() && digits.front() == '-';
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) {
        digits.remove_prefix(1);
    }
    if (digits.empty()) return -1;
    long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');  // at most three characters: no overflow
    }
    return negative ? -value : value;
}

std::string versionText(std::span<const std::uint8_t> buffer) {
    const std::string text = utf8Lossy(untilZero(buffer, 1, buffer.size()));
    static constexpr std::string_view kLong = "KESTRALON KX100 MOBILE";
    static constexpr std::string_view kShort = "KX100-M";
    std::string out;
    std::size_t pos = 0;
    for (std::size_t hit; (hit = text.find(kLong, pos)) != std::string::npos;
         pos = hit + kLong.size()) {
        out.append(text, pos, hit - pos);
        out.append(kShort);
    }
    out.append(text, pos);
    return out;
}

long batteryLevel(std::uint8_t raw) {
    const double level = std::trunc(static_cast<double>(raw) / 134.0 * 100.0);
    return std::min(static_cast<long>(level), 100L);
}

bool isStatusMessage(const Bytes& notification) {
    return notification.size() >= STATUS_MESSAGE_SIZE && notification[0] == code::text &&
           std::equal(STATUS_TAG.begin(), STATUS_TAG.end(), notification.begin() + 1);
}

Bytes escapePayload(const Bytes& payload) {
    Bytes out;
    escapePayloadInto(out, payload);
    return out;
}

void escapePayloadInto(Bytes& out, std::span<const std::uint8_t> payload) {
    const auto doubled = static_cast<std::size_t>(std::count(payload.begin(), payload.end(), 0xFE));
    out.resize(payload.size() + doubled);
    std::uint8_t* p = out.data();
    for (std::uint8_t b : payload) {
        *p++ = b;
        if (b == 0xFE) *p++ = 0xFE;
    }
}

}  // namespace orvex::detail
