// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "orvex/platform/Uuid.hpp"

using orvex::platform::Uuid;

namespace {

TEST(Uuid, ShortFormsExpandOnTheBluetoothBase) {
    EXPECT_EQ(Uuid("FFE0"), Uuid("0000FFE0-0000-1000-8000-00805F9B34FB"));
    EXPECT_EQ(Uuid("ffe1"), Uuid("0000ffe1-0000-1000-8000-00805f9b34fb"));
    EXPECT_EQ(Uuid("1234ABCD"), Uuid("1234ABCD-0000-1000-8000-00805F9B34FB"));
    const auto b = Uuid("FFE0").bytes();
    EXPECT_EQ(b[2], 0xFF);
    EXPECT_EQ(b[3], 0xE0);
    EXPECT_EQ(b[15], 0xFB);
}

TEST(Uuid, PrintsShortFormOnlyForSixteenBitValuesOnTheBase) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"ffe0", "FFE0"},
        {"0000FFE1-0000-1000-8000-00805F9B34FB", "FFE1"},
        {"0000", "0000"},
        {"0001FFE0", "0001FFE0-0000-1000-8000-00805F9B34FB"},
        {"49535343-fe7d-4ae5-8fa9-9fafd205e455", "49535343-FE7D-4AE5-8FA9-9FAFD205E455"},
        // Off the base by one byte: printed in full.
        {"0000FFE0-0000-1000-8000-00805F9B34FC", "0000FFE0-0000-1000-8000-00805F9B34FC"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Uuid(c.in).str(), c.out) << c.in;
        EXPECT_EQ(Uuid(Uuid(c.in).str()), Uuid(c.in)) << "round trip of " << c.in;
    }
}

TEST(Uuid, RejectsMalformedText) {
    for (const char* bad :
         {"", "FFE", "FFE0 ", "GFE0", "0x12", "1234567", "49535343FE7D-4AE5-8FA9-9FAFD205E4551",
          "49535343-FE7D-4AE5-8FA9_9FAFD205E455", "49535343-FE7D-4AE5-8FA9-9FAFD205E45G", "+FE0",
          "-FE0"}) {
        EXPECT_EQ(Uuid::parse(bad), std::nullopt) << '"' << bad << '"';
        EXPECT_THROW(Uuid{bad}, std::invalid_argument) << '"' << bad << '"';
    }
}

TEST(Uuid, DefaultIsAllZeroAndOrders) {
    EXPECT_EQ(Uuid().str(), "00000000-0000-0000-0000-000000000000");
    EXPECT_LT(Uuid("FFE0"), Uuid("FFE1"));
}

}  // namespace
