// SPDX-License-Identifier: Apache-2.0
// orvex::bluez::servePeripheral where bluetoothd cannot take the registration. Serving itself
// needs GattManager1 and LEAdvertisingManager1, which only the real bluetoothd offers: the
// real-stack suite (scripts/realstack.sh) runs it through `orvex peripheral`.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include <orvex/bluez/Peripheral.hpp>

#include "fakebluez/FakeBluez.hpp"
#include "fakebluez/PrivateBus.hpp"

namespace {

using orvex::detail::bluez::FakeBluez;
using orvex::detail::bluez::FakeConfig;
using orvex::detail::bluez::PrivateBus;

struct RefusedCase {
    const char* name;
    bool reachable;   // the bus can be reached at all
    bool denyBluez;   // its policy refuses calls to org.bluez
    bool fakeBluez;   // an org.bluez without the GATT manager is on it
    const char* why;  // what the one line of the reason says
};

class ServingRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(ServingRefused, GivesNoPeripheralAndOneLineSayingWhy) {
    const auto& c = GetParam();
    PrivateBus bus(c.denyBluez);
    std::unique_ptr<FakeBluez> fake;
    if (c.fakeBluez) fake = std::make_unique<FakeBluez>(bus.address(), FakeConfig{});
    orvex::bluez::PeripheralOptions options;
    options.busAddress = c.reachable ? bus.address() : "unix:path=/nonexistent/orvex-bus";
    options.adapter = "hci0";
    // servePeripheral() bounds its own wait for bluetoothd's answers.
    std::string why;
    EXPECT_EQ(orvex::bluez::servePeripheral(options, &why), nullptr);
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
    EXPECT_EQ(why.find('\n'), std::string::npos) << why;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ServingRefused,
    ::testing::Values(
        RefusedCase{"NoBusAtTheAddress", false, false, false,
                    "cannot reach the bus at unix:path=/nonexistent/orvex-bus"},
        RefusedCase{
            "NoBluetoothdOnTheBus", true, false, false,
            "RegisterApplication on hci0 failed: org.freedesktop.DBus.Error.ServiceUnknown"},
        RefusedCase{"BusPolicyRefusesBluez", true, true, true,
                    "RegisterApplication on hci0 failed: org.freedesktop.DBus.Error.AccessDenied"},
        RefusedCase{"BluezWithoutTheGattManager", true, false, true,
                    "RegisterApplication on hci0 failed: org.freedesktop.DBus.Error.Unknown"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
