// SPDX-License-Identifier: Apache-2.0
#include "replay/Format.hpp"

#include <fmt/format.h>

#include <array>
#include <cstddef>

#include "model/Text.hpp"

namespace orvex::sim::format {

namespace {

template <std::size_t N>
std::string caseName(const std::array<const char*, N>& names, int value) {
    if (value < 0 || static_cast<std::size_t>(value) >= N) return fmt::format("<{}>", value);
    return names[static_cast<std::size_t>(value)];
}

std::string contact(const std::shared_ptr<Contact>& c) {
    if (!c) return "nil";
    return "{phone: " + text(c->phone) + ", name: " + text(c->name) + "}";
}

std::string transponder(const std::shared_ptr<Transponder>& x) {
    if (!x) return "nil";
    return fmt::format("{{id: {}, type: {}}}", text(x->id), static_cast<int>(x->type));
}

std::string scan(const std::shared_ptr<Scan>& s) {
    if (!s) return "nil";
    return "{xpdr: " + transponder(s->xpdr) + "}";
}

}  // namespace

std::string text(std::string_view s) {
    std::string out = "\"";
    std::size_t i = 0;
    while (i < s.size()) {
        const auto step = detail::readUtf8(s, i);
        i += step.length;
        if (!step.valid) {
            detail::appendUtf8(out, U'\uFFFD');
            continue;
        }
        const char32_t cp = step.codePoint;
        if (cp < 0x20 || cp == 0x7F) {
            out += fmt::format("\\u{{{:X}}}", static_cast<std::uint32_t>(cp));
        } else if (cp == '"' || cp == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(cp));
        } else {
            detail::appendUtf8(out, cp);
        }
    }
    out.push_back('"');
    return out;
}

std::string hex(const platform::Bytes& bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (auto b : bytes) {
        if (!out.empty()) out.push_back(' ');
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0F]);
    }
    return out;
}

std::string uuidList(const std::vector<platform::Uuid>& uuids) {
    std::string out = "[";
    for (std::size_t i = 0; i < uuids.size(); ++i) {
        if (i > 0) out += ", ";
        out += uuids[i].str();
    }
    return out + "]";
}

std::string peripheralName(const std::optional<std::string>& name) {
    return name ? text(*name) : "-";
}

std::string boolean(bool b) {
    return b ? "true" : "false";
}

std::string result(const std::optional<ScanResult>& r) {
    if (!r) return "nil";
    return "{scan: " + scan(r->scan) + ", contact: " + contact(r->contact) + "}";
}

std::string name(OrvexBluetoothError e) {
    static constexpr std::array names{"notReady",           "poweredOff",     "reseting",
                                      "permissionRequired", "undefinedState", "unavailable"};
    return caseName(names, static_cast<int>(e));
}

std::string name(OrvexConnectionError e) {
    static constexpr std::array names{"connectionTimeout",
                                      "badAnswer",
                                      "connectionOutOfState",
                                      "connectionRefused",
                                      "bluetoothServicesUnavailable",
                                      "bluetoothServicesDiscoveryFailed",
                                      "bluetoothCharacteristicUnavailable",
                                      "bluetoothCharacteristicDiscoveryFailed"};
    return caseName(names, static_cast<int>(e));
}

std::string name(OrvexDisconnectionCause e) {
    static constexpr std::array names{"bluetoothStatusChanged", "connectionInterrupted"};
    return caseName(names, static_cast<int>(e));
}

std::string name(OrvexContactStatus e) {
    static constexpr std::array names{"success", "contactReadTimeout", "writeOperationFailed",
                                      "wrongChip", "protocolError"};
    return caseName(names, static_cast<int>(e));
}

std::string name(OrvexDeviceUpdateStatus e) {
    static constexpr std::array names{"successful",           "failed",
                                      "unableToStart",        "initializationError",
                                      "readerLockingFailed",  "sliceUploadFailed",
                                      "readerUnlockingFailed"};
    return caseName(names, static_cast<int>(e));
}

std::string name(platform::WriteType t) {
    return t == platform::WriteType::withResponse ? "withResponse" : "withoutResponse";
}

}  // namespace orvex::sim::format
