// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "RunCli.hpp"

// `orvex replay`: script files and standard input, and a line it cannot read: `line N:
// ...` on standard error, exit status 2, output of the earlier lines kept and nothing run
// after it.

namespace orvex::test {
namespace {

namespace fs = std::filesystem;

class ReplayCli : public ::testing::Test {
protected:
    fs::path dir;

    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("orvex-replay-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string write(const std::string& name, const std::string& content) {
        const fs::path p = dir / name;
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }
};

TEST_F(ReplayCli, RunsAScriptFile) {
    const auto r = runCli({"replay", write("s.txt", "host query\nhost initializeBluetooth\n")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "query isReady: false, isConnected: false, isScanning: false\n"
              "central create\n"
              "delegate btReader()\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(ReplayCli, AScenarioFileRunsUpToItsExpectedOutputAndPrintsIt) {
    // The script, `---`, and what it must print: replaying it prints exactly that part.
    const std::string path = std::string(ORVEX_SCENARIO_DIR) + "/replay_example.txt";
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    const std::string text = content.str();
    const auto split = text.find("\n---\n");
    ASSERT_NE(split, std::string::npos);
    const auto r = runCli({"replay", path});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, text.substr(split + 5));
}

TEST_F(ReplayCli, RecordedLinesRun) {
    // What a recording adds: addresses of discovered peripherals and the link's restrictions.
    const auto r = runCli({"replay", write("s.txt",
                                            "host readerAddress \"C4:00:00:00:00:02\"\n"
                                            "host initializeBluetooth\n"
                                            "host connectToReader\n"
                                            "found \"KX-BT4 A\" at C4:00:00:00:00:01\n"
                                            "found - at 6A:00:00:00:00:02\n"
                                            "found \"KX-BT4 B\" at C4:00:00:00:00:02\n")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    // Only the reader at the address is connected to.
    EXPECT_NE(r.out.find("central connect \"KX-BT4 B\""), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("central connect \"KX-BT4 A\""), std::string::npos) << r.out;
}

TEST_F(ReplayCli, ReadsStandardInputForDash) {
    const auto in = write("s.txt", "host initializeBluetooth\r\nhost query\r\n");
    const auto out = (dir / "out").string();
    const auto err = (dir / "err").string();
    const std::string command = std::string("'") + ORVEX_CLI_PATH + "' replay - < '" + in +
                                "' > '" + out + "' 2> '" + err + "'";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::stringstream printed;
    printed << std::ifstream(out).rdbuf();
    EXPECT_EQ(printed.str(),
              "central create\n"
              "delegate btReader()\n"
              "query isReady: true, isConnected: false, isScanning: false\n");
}

TEST_F(ReplayCli, StopsAtAnUnreadableLineKeepingWhatRanBefore) {
    const auto r = runCli({"replay", write("s.txt",
                                           "# a comment\n"
                                           "host initializeBluetooth\n"
                                           "\n"
                                           "host frobnicate\n"
                                           "host query\n")});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "central create\ndelegate btReader()\n");  // no query line
    EXPECT_EQ(r.err, "line 4: unknown host operation frobnicate\n");
}

TEST_F(ReplayCli, NothingOfTheBadLineRuns) {
    // The line names a valid first event but goes wrong later: no part of it happens.
    const auto r =
        runCli({"replay", write("s.txt", "host initializeBluetooth\nhost connectToReader now\n")});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "central create\ndelegate btReader()\n");
    EXPECT_EQ(r.err, "line 2: unexpected \"now\"\n");
}

TEST_F(ReplayCli, EveryKindOfMalformedLineIsReported) {
    struct Case {
        const char* line;
        const char* message;
    };
    const Case cases[] = {
        {"frobnicate", "unknown event frobnicate"},
        {"\"host\"", "expected event, not a text"},
        {"host", "missing host operation"},
        {"host delegate maybe", "host delegate takes none or set, not maybe"},
        {"host writeContact \"a\" \"b\"", "missing XPDRID (a text in quotes)"},
        {"host writeContact a \"b\" \"c\"", "NAME must be a text in quotes"},
        {"adapter on",
         "unknown adapter state on (unknown, resetting, unsupported, unauthorized, poweredOff, "
         "poweredOn)"},
        {"adapter", "missing adapter state"},
        {"found KX", "NAME (or -) must be a text in quotes"},
        {"found", "missing NAME (or -) (a text in quotes)"},
        {"found \"KX", "text without its closing quote"},
        {"found \"KX\\", "text without its closing quote"},
        {"found \"a\\n\"", "unknown escape \\n (use \\\", \\\\ or \\xHH)"},
        {"found \"a\\x4\"", "\\x needs two hex digits"},
        {"found \"a\"b", "text must be followed by a space"},
        {"found a\"b\"", "a quote inside a word"},
        {"found \"a\" \"b\"", "expected at, not a text"},
        {"connected now", "unexpected \"now\""},
        {"services FFE", "not a UUID: FFE"},
        {"services FFE0 none", "not a UUID: none"},
        {"characteristics", "missing UUID"},
        {"characteristics none", "not a UUID: none"},
        {"notify", "notify needs the bytes of the value"},
        {"notify on FFE1", "notify needs the bytes of the value"},
        {"notify on", "missing UUID"},
        {"notify F", "odd number of hex digits: F"},
        {"notify FE 0", "odd number of hex digits: 0"},
        {"notify ZZ", "not hex: ZZ"},
        {"wait", "missing seconds"},
        {"wait -1", "not a number of seconds: -1"},
        {"wait 1e3", "not a number of seconds: 1e3"},
        {"wait 1.2.3", "not a number of seconds: 1.2.3"},
        {"wait .", "not a number of seconds: ."},
        {"wait 1000001", "wait takes 0 to 1000000 seconds, not 1000001"},
        {"image", "image takes none, fill N or hex bytes"},
        {"image fill", "missing byte count"},
        {"image fill -3", "image fill takes a byte count up to 16777216, not -3"},
        {"image fill 16777217", "image fill takes a byte count up to 16777216, not 16777217"},
        {"image none 00", "unexpected \"00\""},
        {"image 0G", "not hex: 0G"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const auto r = runCli({"replay", write("s.txt", std::string("\n") + c.line + "\n")});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string("line 2: ") + c.message + "\n");
    }
}

TEST_F(ReplayCli, AcceptsEveryWellFormedLine) {
    const auto r = runCli({"replay", write("s.txt",
                                           "adapter poweredOff\n"
                                           "adapter unknown\nadapter resetting\n"
                                           "adapter unsupported\nadapter unauthorized\n"
                                           "adapter poweredOn\n"
                                           "host delegate none\nhost delegate set\n"
                                           "host writeContact \"\" \"\" \"\"\n"
                                           "found -\nfound \"\\x00\"\nconnected\nconnectFailed\n"
                                           "services\nservices none\nservices error\n"
                                           "services FFE0 0000FFE0 "
                                           "49535343-fe7d-4ae5-8fa9-9fafd205e455\n"
                                           "characteristics FFE0\ncharacteristics FFE0 none\n"
                                           "characteristics FFE0 error\n"
                                           "notify 00\nnotify on FFE1 00 01\ndisconnected\n"
                                           "wait 0\nwait 0.5\nwait .5\nwait 5.\n"
                                           "image none\nimage fill 0\nimage 00\n"
                                           "host scan\nhost disconnectFromReader\n"
                                           "host connectToReader\n")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

TEST_F(ReplayCli, MissingFileIsAnError) {
    const auto r = runCli({"replay", (dir / "absent.txt").string()});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;
    EXPECT_EQ(lineCount(r.err), 1);
}

TEST_F(ReplayCli, NeedsAScriptArgument) {
    const auto r = runCli({"replay"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace orvex::test
