// SPDX-License-Identifier: Apache-2.0
#include "Values.hpp"

#include <emscripten/wire.h>

namespace orvex::web {

using emscripten::val;

val toJs(const ScanResult& result) {
    val out = val::object();
    const auto& xpdr = result.scan ? result.scan->xpdr : nullptr;
    out.set("id", xpdr ? xpdr->id : std::string());
    out.set("type", xpdr ? static_cast<int>(xpdr->type) : 0);
    out.set("typeName", xpdr ? xpdr->typename_() : std::string());
    out.set("date", result.scan ? result.scan->date : 0.0);
    if (result.contact) {
        val contact = val::object();
        contact.set("phone", result.contact->phone);
        contact.set("email", result.contact->name);
        out.set("contact", contact);
    } else {
        out.set("contact", val::null());
    }
    return out;
}

val toUint8Array(const std::vector<std::uint8_t>& bytes) {
    // A view on the module's memory is only valid until it grows: copy at once.
    val view(emscripten::typed_memory_view(bytes.size(), bytes.data()));
    return val::global("Uint8Array").new_(view);
}

std::vector<std::uint8_t> toBytes(const val& bytes) {
    val array = bytes;
    if (array.instanceof(val::global("DataView"))) {
        array = val::global("Uint8Array").new_(array["buffer"], array["byteOffset"],
                                               array["byteLength"]);
    } else if (!array.instanceof(val::global("Uint8Array"))) {
        array = val::global("Uint8Array").new_(array);
    }
    return emscripten::convertJSArrayToNumberVector<std::uint8_t>(array);
}

}  // namespace orvex::web
