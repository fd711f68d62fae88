// SPDX-License-Identifier: Apache-2.0
#include "platform/bluez/Values.hpp"

#include <string_view>

namespace orvex::detail::bluez {

std::optional<Value> toValue(const sdbus::Variant& v) {
    std::optional<Value> out;
    try {
        const std::string type = v.peekValueType();
        if (type == "b") {
            out.emplace(std::in_place_type<bool>, v.get<bool>());
        } else if (type == "n") {
            out.emplace(std::in_place_type<std::int64_t>, v.get<std::int16_t>());
        } else if (type == "q") {
            out.emplace(std::in_place_type<std::int64_t>, v.get<std::uint16_t>());
        } else if (type == "i") {
            out.emplace(std::in_place_type<std::int64_t>, v.get<std::int32_t>());
        } else if (type == "u") {
            out.emplace(std::in_place_type<std::int64_t>, v.get<std::uint32_t>());
        } else if (type == "s") {
            out.emplace(std::in_place_type<std::string>, v.get<std::string>());
        } else if (type == "o") {
            out.emplace(std::in_place_type<std::string>, v.get<sdbus::ObjectPath>());
        } else if (type == "as") {
            out.emplace(std::in_place_type<std::vector<std::string>>,
                        v.get<std::vector<std::string>>());
        } else if (type == "ay") {
            out.emplace(std::in_place_type<Bytes>, v.get<std::vector<std::uint8_t>>());
        }
    } catch (const sdbus::Error&) {
        out.reset();
    }
    return out;
}

PropMap toProps(const DbusProps& props) {
    PropMap out;
    for (const auto& [name, value] : props) {
        if (auto v = toValue(value)) out.emplace(name, std::move(*v));
    }
    return out;
}

PropMap readProps(sdbus::Message& message) {
    PropMap out;
    if (!message.enterContainer("{sv}")) return out;
    while (message.enterDictEntry("sv")) {
        std::string name;
        message >> name;
        std::string type, contents;
        message.peekType(type, contents);
        if (contents == "ay") {
            Bytes bytes;
            message.enterVariant("ay");
            message >> bytes;
            message.exitVariant();
            out.emplace(std::move(name), std::move(bytes));
        } else {
            sdbus::Variant value;
            message >> value;
            if (auto v = toValue(value)) out.emplace(std::move(name), std::move(*v));
        }
        message.exitDictEntry();
    }
    message.clearFlags();  // the failed entry that ended the loop
    message.exitContainer();
    return out;
}

bool isKnownInterface(const std::string& name) {
    return name == ADAPTER || name == DEVICE || name == GATT_SERVICE || name == GATT_CHARACTERISTIC;
}

InterfaceMap toInterfaces(const DbusInterfaces& interfaces) {
    InterfaceMap out;
    for (const auto& [name, props] : interfaces) {
        if (isKnownInterface(name)) out.emplace(name, toProps(props));
    }
    return out;
}

ObjectTree toTree(const DbusTree& tree) {
    ObjectTree out;
    for (const auto& [path, interfaces] : tree) {
        auto known = toInterfaces(interfaces);
        if (!known.empty()) out.emplace(std::string(path), std::move(known));
    }
    return out;
}

namespace {
template <class T>
std::optional<T> get(const PropMap& props, const std::string& key) {
    auto it = props.find(key);
    if (it == props.end()) return std::nullopt;
    if (const T* v = std::get_if<T>(&it->second)) return *v;
    return std::nullopt;
}
}  // namespace

std::optional<bool> getBool(const PropMap& props, const std::string& key) {
    return get<bool>(props, key);
}
std::optional<std::int64_t> getInt(const PropMap& props, const std::string& key) {
    return get<std::int64_t>(props, key);
}
std::optional<std::string> getString(const PropMap& props, const std::string& key) {
    return get<std::string>(props, key);
}
std::optional<Bytes> getBytes(const PropMap& props, const std::string& key) {
    return get<Bytes>(props, key);
}
std::vector<std::string> getStrings(const PropMap& props, const std::string& key) {
    return get<std::vector<std::string>>(props, key).value_or(std::vector<std::string>{});
}

bool isUnder(const std::string& path, const std::string& parent) {
    return path.size() > parent.size() && path.compare(0, parent.size(), parent) == 0 &&
           path[parent.size()] == '/';
}

}  // namespace orvex::detail::bluez
