// SPDX-License-Identifier: Apache-2.0
// Replays the committed fuzz corpus through the fuzz entry points as ordinary tests, so
// that every input the fuzzers kept stays covered in builds without libFuzzer.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../fuzz/CodecsDriver.hpp"
#include "../../fuzz/LinkDriver.hpp"

namespace {

std::vector<std::filesystem::path> corpus(const std::string& name) {
    std::vector<std::filesystem::path> files;
    const std::filesystem::path dir = std::filesystem::path(ORVEX_FUZZ_CORPUS_DIR) / name;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::uint8_t> contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <class Driver>
void replay(const std::string& name, Driver driver) {
    const auto files = corpus(name);
    ASSERT_FALSE(files.empty()) << "no corpus in " << name;
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        const auto data = contents(file);
        EXPECT_EQ(driver(data.data(), data.size()), 0);
    }
}

TEST(FuzzCorpus, LinkInputsRunClean) {
    replay("link", orvex::fuzz::fuzzLink);
}

TEST(FuzzCorpus, CodecInputsRunClean) {
    replay("codecs", orvex::fuzz::fuzzCodecs);
}

TEST(FuzzCorpus, EmptyInputsRunClean) {
    EXPECT_EQ(orvex::fuzz::fuzzLink(nullptr, 0), 0);
    EXPECT_EQ(orvex::fuzz::fuzzCodecs(nullptr, 0), 0);
}

}  // namespace
