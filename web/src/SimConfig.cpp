// SPDX-License-Identifier: Apache-2.0
#include "SimConfig.hpp"

#include <optional>
#include <string>

#include "orvex/Contact.hpp"

namespace orvex::web {

using emscripten::val;

namespace {

template <class T>
void take(const val& from, const char* key, T& into) {
    const val v = from[key];
    if (!v.isUndefined() && !v.isNull()) into = v.as<T>();
}

sim::SimTag tagFrom(const val& js) {
    sim::SimTag tag;
    int type = tag.type;
    take(js, "type", type);
    tag.type = static_cast<std::int8_t>(type);
    int country = tag.country;
    take(js, "country", country);
    tag.country = static_cast<std::uint16_t>(country);
    double number = static_cast<double>(tag.nationalNumber);
    take(js, "nationalNumber", number);
    tag.nationalNumber = static_cast<std::uint64_t>(number);
    take(js, "writable", tag.writable);
    const val contact = js["contact"];
    if (!contact.isUndefined() && !contact.isNull()) {
        tag.contact = Contact::encode(contact["phone"].as<std::string>(),
                                      contact["email"].as<std::string>());
    } else if (!contact.isUndefined()) {
        tag.contact.reset();
    }
    return tag;
}

}  // namespace

sim::SimReaderConfig simReaderConfig(const val& js) {
    sim::SimReaderConfig config;
    if (js.isUndefined() || js.isNull() || js.typeOf().as<std::string>() != "object") {
        return config;
    }
    take(js, "name", config.name);
    take(js, "version", config.version);
    const val service = js["service"];
    if (service.isString()) {
        config.service = service.as<std::string>() == "serial16" ? sim::SimService::serial16
                                                                  : sim::SimService::uart;
    }
    int battery = config.batteryRaw;
    take(js, "batteryRaw", battery);
    config.batteryRaw = static_cast<std::uint8_t>(battery);
    take(js, "microAppCurrent", config.microAppCurrent);
    take(js, "answerDelay", config.answerDelay);
    double size = static_cast<double>(config.notificationSize);
    take(js, "notificationSize", size);
    config.notificationSize = static_cast<std::size_t>(size);
    const val tags = js["tags"];
    if (!tags.isUndefined()) {
        config.tags.clear();
        for (unsigned i = 0; i < tags["length"].as<unsigned>(); ++i) {
            config.tags.push_back(tagFrom(tags[i]));
        }
        config.tagInField = config.tags.empty() ? std::nullopt : std::optional<std::size_t>(0);
    }
    const val field = js["tagInField"];
    if (field.isNull()) config.tagInField.reset();
    if (field.isNumber()) config.tagInField = field.as<std::size_t>();
    const val stored = js["storedReadings"];
    if (!stored.isUndefined()) {
        config.storedReadings.clear();
        for (unsigned i = 0; i < stored["length"].as<unsigned>(); ++i) {
            config.storedReadings.push_back(tagFrom(stored[i]));
        }
    }
    return config;
}

}  // namespace orvex::web
