// SPDX-License-Identifier: Apache-2.0
#include "reader/Messages.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <span>
#include <string_view>

#include <fmt/format.h>

#include "model/Text.hpp"

namespace orvex::detail {

namespace {

ScanResult makeResult(std::string id, std::int8_t type, double now) {
    auto xpdr = std::make_shared<Transponder>();
    xpdr->id = std::move(id);
    xpdr->type = type;
    auto scan = std::make_shared<Scan>();
    scan->xpdr = std::move(xpdr);
    scan->date = now;
    return ScanResult{std::move(scan), nullptr};
}

// Bytes [from, first zero byte or `to`) of `buffer`, `to` limited to its size.
std::span<const std::uint8_t> untilZero(const Bytes& buffer, std::size_t from, std::size_t to) {
    to = std::min(to, buffer.size());
    if (from >= to) return {};
    const auto begin = buffer.begin() + static_cast<std::ptrdiff_t>(from);
    const auto end = std::find(begin, buffer.begin() + static_cast<std::ptrdiff_t>(to), 0);
    return {begin, end};
}

}  // namespace

ScanResult decodePackedScan(const Bytes& buffer, double now) {
    if (buffer.size() < PACKED_SCAN_SIZE) return {};
    const std::int8_t type = buffer[1] <= 6 ? static_cast<std::int8_t>(buffer[1]) : 0;
    const unsigned country = std::min((unsigned{buffer[2]} << 8) | buffer[3], 999u);
    unsigned long long national = 0;
    for (std::size_t i = 8; i >= 4; --i) national = (national << 8) | buffer[i];
    return makeResult(fmt::format("{:03d} {:012d}", country, national), type, now);
}

ScanResult decodeTextScan(const Bytes& data, double now) {
    const std::size_t n = data.size();
    if (n < TEXT_SCAN_SIZE) return {};
    const std::span<const std::uint8_t> bytes(data);
    const std::int8_t type = Transponder::decode_type(latin1ToUtf8(bytes.subspan(1, 8)));
    return makeResult(latin1ToUtf8(bytes.subspan(9, n - 15)), type, now);
}

long exportRecordNumber(const Bytes& record) {
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

std::string versionText(const Bytes& buffer) {
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
    out.reserve(payload.size() + 4);
    for (std::uint8_t b : payload) {
        out.push_back(b);
        if (b == 0xFE) out.push_back(0xFE);
    }
    return out;
}

}  // namespace orvex::detail
