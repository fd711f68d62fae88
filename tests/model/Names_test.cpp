// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "orvex/Status.hpp"
#include "orvex/Transponder.hpp"

namespace {

// Names are listed by case index: a case renamed, reordered or left unnamed fails here, and
// the value just past the last case (made with a cast) reads "unknown".
template <class Enum>
void expectNamesByIndex(const std::vector<std::string_view>& names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        // Unqualified on purpose: hosts find to_string through the enumeration's namespace.
        EXPECT_EQ(to_string(static_cast<Enum>(i)), names[i]) << "case index " << i;
    }
    EXPECT_EQ(to_string(static_cast<Enum>(names.size())), "unknown");
}

TEST(NamesForLogs, EachResultCaseIsNamedAsDeclared) {
    {
        SCOPED_TRACE("OrvexBluetoothError");
        expectNamesByIndex<orvex::OrvexBluetoothError>({"notReady", "poweredOff", "reseting",
                                                        "permissionRequired", "undefinedState",
                                                        "unavailable"});
    }
    {
        SCOPED_TRACE("OrvexConnectionError");
        expectNamesByIndex<orvex::OrvexConnectionError>(
            {"connectionTimeout", "badAnswer", "connectionOutOfState", "connectionRefused",
             "bluetoothServicesUnavailable", "bluetoothServicesDiscoveryFailed",
             "bluetoothCharacteristicUnavailable", "bluetoothCharacteristicDiscoveryFailed"});
    }
    {
        SCOPED_TRACE("OrvexDisconnectionCause");
        expectNamesByIndex<orvex::OrvexDisconnectionCause>(
            {"bluetoothStatusChanged", "connectionInterrupted"});
    }
    {
        SCOPED_TRACE("OrvexContactStatus");
        expectNamesByIndex<orvex::OrvexContactStatus>({"success", "contactReadTimeout",
                                                       "writeOperationFailed", "wrongChip",
                                                       "protocolError"});
    }
    {
        SCOPED_TRACE("OrvexDeviceUpdateStatus");
        expectNamesByIndex<orvex::OrvexDeviceUpdateStatus>(
            {"successful", "failed", "unableToStart", "initializationError", "readerLockingFailed",
             "sliceUploadFailed", "readerUnlockingFailed"});
    }
}

TEST(NamesForLogs, TransponderTypesAreNamedAsDeclared) {
    using Types = orvex::Transponder::Types;
    expectNamesByIndex<Types>({"none", "HDX", "iHDX", "FDXA", "FDXB", "iFDXB", "EM4102"});
    EXPECT_EQ(to_string(static_cast<Types>(-1)), "unknown");
}

}  // namespace
