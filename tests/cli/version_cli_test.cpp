// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <orvex/Version.hpp>

#include "cli/RunCli.hpp"

using orvex::test::runCli;

namespace {

TEST(CliVersion, PrintsTheLibraryVersionAloneAndExitsZero) {
    const auto r = runCli({"--version"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, std::string("orvex ") + ORVEX_VERSION_STRING + "\n");
    EXPECT_EQ(r.err, "");
}

TEST(LibraryVersion, AgreesWithTheHeadersItWasBuiltWith) {
    EXPECT_STREQ(orvex::version(), ORVEX_VERSION_STRING);
    EXPECT_EQ(orvex::versionNumber(), ORVEX_VERSION_NUMBER);
    EXPECT_EQ(std::string(ORVEX_VERSION_STRING),
              std::to_string(ORVEX_VERSION_MAJOR) + "." + std::to_string(ORVEX_VERSION_MINOR) +
                  "." + std::to_string(ORVEX_VERSION_PATCH));
}

}  // namespace
