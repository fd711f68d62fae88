// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/E2eSession.hpp"
#include "orvex/Contact.hpp"

using namespace orvex;
using namespace orvex::e2e;
using orvex::sim::SimReaderConfig;

namespace {

const std::string kTagId = "999 000000012345";
const std::string kPhone = "+33 612345678";
const std::string kMail = "VET.CLINIC@EXAMPLE.FR";

std::string padded(std::string mail) {
    mail.resize(25, ' ');
    return mail;
}

TEST(ContactWrite, WrittenContactIsReadBackWithTheNextScan) {
    for (std::size_t size : {20u, 244u}) {
        SCOPED_TRACE(size);
        SimReaderConfig config;
        config.notificationSize = size;
        Session s(config);
        ASSERT_TRUE(s.connect());
        s.host().clear();

        s.link().writeContact(kMail, kPhone, kTagId, s.host().completion());
        ASSERT_TRUE(s.runUntil([&] { return s.host().countPrefix("contactWrite") == 1; }, 60));
        EXPECT_EQ(s.host().events(), std::vector<std::string>{"contactWrite 1 success"});
        EXPECT_EQ(s.reader().config().tags[0].contact, Contact::encode(kPhone, kMail));

        s.host().clear();
        s.link().scan();
        ASSERT_TRUE(s.runUntil([&] { return s.host().countPrefix("scanReceived") == 2; }, 60));
        EXPECT_EQ(s.host().events().back(),
                  "scanReceived " + kTagId + " pending=0 contact=" + kPhone + "|" + padded(kMail));
    }
}

TEST(ContactWrite, RefusedWritesReportTheirCause) {
    struct Case {
        const char* what;
        std::function<void(SimReaderConfig&)> setup;
        std::string xpdrId;
        std::string outcome;
    };
    const Case cases[] = {
        {"another tag in the field", nullptr, "999 000000054321", "contactWrite 0 wrongChip"},
        {"tag not writable", [](auto& c) { c.tags[0].writable = false; }, kTagId,
         "contactWrite 0 writeOperationFailed"},
        {"empty field", [](auto& c) { c.tagInField.reset(); }, kTagId,
         "contactWrite 0 contactReadTimeout"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimReaderConfig config;
        if (c.setup) c.setup(config);
        Session s(config);
        ASSERT_TRUE(s.connect());
        const auto before = s.reader().config().tags[0].contact;
        s.host().clear();
        s.link().writeContact(kMail, kPhone, c.xpdrId, s.host().completion());
        ASSERT_TRUE(s.runUntil([&] { return s.host().countPrefix("contactWrite") == 1; }, 60));
        s.run(30.0);  // no second outcome
        EXPECT_EQ(s.host().events(), std::vector<std::string>{c.outcome});
        EXPECT_EQ(s.reader().config().tags[0].contact, before);
        EXPECT_TRUE(s.link().isConnected());
    }
}

TEST(ContactWrite, DisconnectionDuringTheWriteEndsItOnce) {
    SimReaderConfig config;
    config.faults.disconnectOnContactWrite = true;
    Session s(config);
    ASSERT_TRUE(s.connect());
    const auto before = s.reader().config().tags[0].contact;
    s.host().clear();
    s.link().writeContact(kMail, kPhone, kTagId, s.host().completion());
    ASSERT_TRUE(s.runUntil([&] { return s.host().countPrefix("contactWrite") == 1; }, 60));
    s.run(30.0);
    const auto events = s.host().events();
    EXPECT_EQ(s.host().count("readerDisconnected connectionInterrupted"), 1u);
    ASSERT_EQ(s.host().countPrefix("contactWrite"), 1u);
    EXPECT_EQ(s.host().countPrefix("contactWrite 0 "), 1u);
    EXPECT_EQ(events.size(), 2u) << ::testing::PrintToString(events);
    EXPECT_EQ(s.reader().config().tags[0].contact, before);
    EXPECT_FALSE(s.link().isConnected());
}

}  // namespace
