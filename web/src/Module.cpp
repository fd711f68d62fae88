// SPDX-License-Identifier: Apache-2.0
// The JavaScript face of the WebAssembly module; web/lib wraps it in the package's API.
#include <cctype>
#include <string>

#include <emscripten/bind.h>

#include "ReaderDevice.hpp"
#include "SimSession.hpp"
#include "WebSession.hpp"
#include "reader/Commands.hpp"
#include "Values.hpp"
#include "orvex/Contact.hpp"
#include "orvex/ReaderInterface.hpp"
#include "orvex/Version.hpp"

namespace {

using emscripten::val;

val encodeContact(const std::string& phone, const std::string& email) {
    return orvex::web::toUint8Array(orvex::Contact::encode(phone, email));
}

// { phone, email }, or null when the record is short or fails its checksum.
val decodeContact(const val& bytes) {
    auto record = orvex::web::toBytes(bytes);
    const auto contact = orvex::Contact::decode(record);
    if (!contact) return val::null();
    val out = val::object();
    out.set("phone", contact->phone);
    out.set("email", contact->name);
    return out;
}

val decodeScan(const val& bytes) {
    const auto result = orvex::ReaderInterface::handleReceivedScan(orvex::web::toBytes(bytes));
    if (!result.scan) return val::null();
    return orvex::web::toJs(result);
}

// What the browser's device chooser filters on: the reader's name fragments (as name
// prefixes) and its services, as lower-case UUID texts.
val readerFilters() {
    val out = val::object();
    val prefixes = val::array();
    for (auto fragment : orvex::detail::READER_NAME_FRAGMENTS) {
        prefixes.call<void>("push", std::string(fragment));
    }
    val services = val::array();
    for (const auto& uuid : orvex::detail::KnownServices) {
        std::string text = uuid.str();
        if (text.size() == 4) text = "0000" + text + "-0000-1000-8000-00805F9B34FB";
        for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        services.call<void>("push", text);
    }
    out.set("namePrefixes", prefixes);
    out.set("services", services);
    return out;
}

std::string libraryVersion() { return ORVEX_VERSION_STRING; }

}  // namespace

EMSCRIPTEN_BINDINGS(orvex) {
    using namespace emscripten;
    using orvex::web::Session;
    using orvex::web::SimSession;
    using orvex::web::WebSession;

    function("encodeContact", &encodeContact);
    function("decodeContact", &decodeContact);
    function("decodeScan", &decodeScan);
    function("isReaderName", +[](const std::string& name) {
        return orvex::ReaderInterface::isReaderName(name);
    });
    function("libraryVersion", &libraryVersion);
    function("readerFilters", &readerFilters);
    function("webBluetoothEvent", &orvex::web::webBluetoothEvent);

    class_<Session>("Session")
        .function("open", &Session::open)
        .function("disconnect", &Session::disconnect)
        .function("scan", &Session::scan)
        .function("writeContact", &Session::writeContact)
        .function("isConnected", &Session::isConnected);
    class_<SimSession, base<Session>>("SimSession")
        .constructor<const val&, val>()
        .function("advance", &SimSession::advance)
        .function("setMicroAppImage", &SimSession::setMicroAppImage)
        .function("triggerReading", &SimSession::triggerReading)
        .function("exportReadings", &SimSession::exportReadings)
        .function("setTagInField", &SimSession::setTagInField)
        .function("dropConnection", &SimSession::dropConnection);
    class_<orvex::web::ReaderDevice>("ReaderDevice")
        .constructor<const val&, val>()
        .function("connect", &orvex::web::ReaderDevice::connect)
        .function("write", &orvex::web::ReaderDevice::write)
        .function("disconnect", &orvex::web::ReaderDevice::disconnect)
        .function("storedContact", &orvex::web::ReaderDevice::storedContact);
    class_<WebSession, base<Session>>("WebSession")
        .constructor<val, val, val>()
        .function("setMicroAppImage", &WebSession::setMicroAppImage);
}
