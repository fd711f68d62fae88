// SPDX-License-Identifier: Apache-2.0
#include "Payloads.hpp"

#include <gtest/gtest.h>

namespace orvex::bridge {
namespace {

using nlohmann::json;

TEST(Payloads, timesAreUtcWithMilliseconds) {
    EXPECT_EQ(isoTime(0.0), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(isoTime(1798761600.25), "2027-01-01T00:00:00.250Z");
    // Rounding up to the next second carries.
    EXPECT_EQ(isoTime(59.9996), "1970-01-01T00:01:00.000Z");
}

TEST(Payloads, aReadingCarriesItsOriginTagAndContact) {
    ScanResult result;
    result.scan = std::make_shared<Scan>();
    result.scan->date = 1.5;
    result.scan->xpdr = std::make_shared<Transponder>();
    result.scan->xpdr->id = "999 000000012345";
    result.scan->xpdr->type = 4;
    result.contact = std::make_shared<Contact>();
    result.contact->phone = "+44 7946 0001";
    result.contact->name = std::string("VET@FARM\xff", 9);  // a byte that is not UTF-8

    const auto body = json::parse(readingPayload({"gw", "chute", 7}, result, ReadingSource::host));
    EXPECT_EQ(body["seq"], 7);
    EXPECT_EQ(body["gateway"], "gw");
    EXPECT_EQ(body["reader"], "chute");
    EXPECT_EQ(body["time"], "1970-01-01T00:00:01.500Z");
    EXPECT_EQ(body["source"], "host");
    EXPECT_EQ(body["tag"]["id"], "999 000000012345");
    EXPECT_EQ(body["tag"]["type"], "FDXB");
    EXPECT_EQ(body["tag"]["type_raw"], 4);
    EXPECT_EQ(body["tag"]["contact"]["phone"], "+44 7946 0001");
    EXPECT_EQ(body["tag"]["contact"]["email"], "VET@FARM\u00ff");
}

TEST(Payloads, anExportWithoutNumberOrTagSaysNull) {
    const auto body = json::parse(exportPayload({"gw", "r", 3}, std::nullopt, -1, 0.0));
    EXPECT_TRUE(body["number"].is_null());
    EXPECT_TRUE(body["tag"].is_null());
    EXPECT_EQ(body["seq"], 3);
}

TEST(Commands, payloadsAreCheckedBeforeAnythingReachesTheReader) {
    const struct {
        const char* payload;
        const char* id;
        const char* error;
    } cases[] = {
        {"", "", ""},
        {R"({"id":"x-1","tag":"999 000000012345"})", "x-1", ""},
        {R"({"id":42})", "42", ""},
        {R"({"id":[1]})", "", "\"id\" must be a string or a whole number"},
        {"[1,2]", "", "not a JSON object"},
        {"{oops", "", "not JSON"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload);
        const auto request = parseCommand(c.payload);
        EXPECT_EQ(request.id, c.id);
        if (*c.error) {
            EXPECT_NE(request.error.find(c.error), std::string::npos) << request.error;
        } else {
            EXPECT_EQ(request.error, "");
        }
    }
}

}  // namespace
}  // namespace orvex::bridge
