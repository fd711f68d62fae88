#include "platform/bluez/Values.hpp"

#include <string_view>

namespace orvex::detail::bluez {

std::optional<Value> toValue(const sdbus::Variant& v) {
    try {
        const std::string type = v.peekValueType();
        if (type == "b") return Value{v.get<bool>()};
        if (type == "n") return Value{std::int64_t{v.get<std::int16_t>()}};
        if (type == "q") return Value{std::int64_t{v.get<std::uint16_t>()}};
        if (type == "i") return Value{std::int64_t{v.get<std::int32_t>()}};
        if (type == "u") return Value{std::int64_t{v.get<std::uint32_t>()}};
        if (type == "s") return Value{v.get<std::string>()};
        if (type == "o") return Value{std::string(v.get<sdbus::ObjectPath>())};
        if (type == "as") return Value{v.get<std::vector<std::string>>()};
        if (type == "ay") return Value{v.get<std::vector<std::uint8_t>>()};
    } catch (const sdbus::Error&) {
    }
    return std::nullopt;
}

PropMap toProps(const DbusProps& props) {
    PropMap out;
    for (const auto& [name, value] : props) {
        if (auto v = toValue(value)) out.emplace(name, std::move(*v));
    }
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
