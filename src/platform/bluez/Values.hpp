// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <sdbus-c++/Types.h>

// Plain copies of the D-Bus values this backend reads, made on the bus thread so that the
// rest of the backend never touches sdbus-c++ messages from another thread.

namespace orvex::detail::bluez {

inline constexpr const char* SERVICE = "org.bluez";
inline constexpr const char* ADAPTER = "org.bluez.Adapter1";
inline constexpr const char* DEVICE = "org.bluez.Device1";
inline constexpr const char* GATT_SERVICE = "org.bluez.GattService1";
inline constexpr const char* GATT_CHARACTERISTIC = "org.bluez.GattCharacteristic1";
inline constexpr const char* OBJECT_MANAGER = "org.freedesktop.DBus.ObjectManager";
inline constexpr const char* PROPERTIES = "org.freedesktop.DBus.Properties";

using Bytes = std::vector<std::uint8_t>;
using Value = std::variant<bool, std::int64_t, std::string, std::vector<std::string>, Bytes>;
using PropMap = std::map<std::string, Value>;
using InterfaceMap = std::map<std::string, PropMap>;
using ObjectTree = std::map<std::string, InterfaceMap>;

// D-Bus wire forms.
using DbusProps = std::map<std::string, sdbus::Variant>;
using DbusInterfaces = std::map<std::string, DbusProps>;
using DbusTree = std::map<sdbus::ObjectPath, DbusInterfaces>;

// Converts the property types we use (b, n, q, i, u, s, o, as, ay); others are left out.
std::optional<Value> toValue(const sdbus::Variant& v);
PropMap toProps(const DbusProps& props);
// Reads an a{sv} at the message's position into the same map toProps() makes. A byte
// array (a characteristic's Value, in every notification) is read straight into place,
// without a variant of its own (each one is a message).
PropMap readProps(sdbus::Message& message);
// Only the interfaces this backend knows are kept.
InterfaceMap toInterfaces(const DbusInterfaces& interfaces);
ObjectTree toTree(const DbusTree& tree);
bool isKnownInterface(const std::string& name);

std::optional<bool> getBool(const PropMap& props, const std::string& key);
std::optional<std::int64_t> getInt(const PropMap& props, const std::string& key);
std::optional<std::string> getString(const PropMap& props, const std::string& key);
std::optional<Bytes> getBytes(const PropMap& props, const std::string& key);
std::vector<std::string> getStrings(const PropMap& props, const std::string& key);

// "/org/bluez/hci0/dev_X" is under "/org/bluez/hci0".
bool isUnder(const std::string& path, const std::string& parent);

}  // namespace orvex::detail::bluez
