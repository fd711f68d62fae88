// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "orvex/sim/Replay.hpp"

// Golden transcripts: every tests/scenarios/*.txt holds a replay script, a line `---`, and
// the output expected from it. In the expected part, blank lines and lines starting with
// `#` are skipped (no output line is blank or starts with `#`).

namespace orvex::sim {
namespace {

namespace fs = std::filesystem;

struct Scenario {
    std::string script;
    struct Line {
        int fileLine;
        std::string text;
    };
    std::vector<Line> expected;
    std::string problem;  // the file itself is not a scenario
};

Scenario load(const fs::path& path) {
    Scenario s;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        s.problem = "cannot read " + path.string();
        return s;
    }
    std::string line;
    bool inExpected = false;
    for (int number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!inExpected) {
            if (line == "---") {
                inExpected = true;
            } else {
                s.script += line + "\n";
            }
            continue;
        }
        if (line.empty() || line.front() == '#') continue;
        s.expected.push_back({number, line});
    }
    if (!inExpected) s.problem = path.filename().string() + " has no line ---";
    return s;
}

std::vector<fs::path> scenarioFiles() {
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(ORVEX_SCENARIO_DIR, ec)) {
        if (entry.is_regular_file() && entry.path().extension() == ".txt") {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string testName(const ::testing::TestParamInfo<fs::path>& info) {
    std::string name = info.param.stem().string();
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

class ScenarioTest : public ::testing::TestWithParam<fs::path> {};

TEST_P(ScenarioTest, PrintsTheExpectedOutput) {
    const Scenario s = load(GetParam());
    ASSERT_TRUE(s.problem.empty()) << s.problem;

    std::vector<std::string> actual;
    std::istringstream script(s.script);
    const auto error = runScript(script, [&](const std::string& line) { actual.push_back(line); });
    ASSERT_FALSE(error) << GetParam().filename().string() << ": " << *error;

    const std::size_t common = std::min(actual.size(), s.expected.size());
    std::size_t at = 0;
    while (at < common && actual[at] == s.expected[at].text) ++at;
    if (at == actual.size() && at == s.expected.size()) return;

    std::ostringstream report;
    report << GetParam().filename().string() << ": first difference at output line " << at + 1;
    if (at < s.expected.size()) report << " (file line " << s.expected[at].fileLine << ")";
    report << "\n  expected: " << (at < s.expected.size() ? s.expected[at].text : "<end of output>")
           << "\n  actual:   " << (at < actual.size() ? actual[at] : "<end of output>")
           << "\nwhole output:\n";
    for (const auto& line : actual) report << "  " << line << "\n";
    ADD_FAILURE() << report.str();
}

INSTANTIATE_TEST_SUITE_P(Scenarios, ScenarioTest, ::testing::ValuesIn(scenarioFiles()), testName);

}  // namespace
}  // namespace orvex::sim
