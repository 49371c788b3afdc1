// The fuzz rounds replayed in the ordinary suite: every input the fuzzers ever found a fault
// with (fuzz/regressions/), and the fuzzers' seed documents under a spread of code pages and
// options, must now go through without a fault.
#include "fuzz/TextFuzzCase.hpp"
#include "fuzz/TreeFuzzCase.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<fs::path> filesIn(const fs::path& dir) {
    std::vector<fs::path> out;
    if (!fs::is_directory(dir)) return out;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file()) out.push_back(entry.path());
    std::sort(out.begin(), out.end());
    return out;
}

std::string runTree(const std::string& bytes) {
    return TreeFuzzCase::run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

TEST(FuzzReplay, EveryFindingStaysFixed) {
    const fs::path regressions = fs::path(QUARN_SOURCE_DIR) / "fuzz" / "regressions";
    for (const fs::path& file : filesIn(regressions / "tree")) EXPECT_EQ(runTree(readFile(file)), "") << file;
    for (const fs::path& file : filesIn(regressions / "text")) {
        const std::string bytes = readFile(file);
        EXPECT_EQ(TextFuzzCase::run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), "") << file;
    }
}

TEST(FuzzReplay, SeedDocumentsInManyCodePagesWithRandomEdits) {
    std::vector<fs::path> documents = filesIn(fs::path(QUARN_SOURCE_DIR) / "examples");
    // Every 4th document of the conformance suite keeps the sanitizer build quick.
    const std::vector<fs::path> suite = filesIn(QUARN_CONFORMANCE_DIR);
    for (std::size_t i = 0; i < suite.size(); i += 4)
        if (suite[i].extension() == ".xml") documents.push_back(suite[i]);
    ASSERT_GT(documents.size(), 20u) << "conformance suite missing at " << QUARN_CONFORMANCE_DIR;
    const int outputs[] = {1208, 1200, 819, 37, 943};
    unsigned seed = 1;
    for (const fs::path& file : documents) {
        const std::string text = readFile(file);
        if (text.size() > 16384 || text.find("<?xml") != 0) continue;   // UTF-8/ASCII documents only here
        for (int out : outputs) {
            std::string round = TreeFuzzCase::selectorsFor(1208, false, seed++);
            round[2] = TreeFuzzCase::selectorsFor(out, false, 0)[2];
            EXPECT_EQ(runTree(round + text), "") << file << " written in " << out;
        }
    }
}

TEST(FuzzReplay, TextRoundsOverEveryCodePage) {
    // Markup characters, surrogates (paired and not), a zero and bytes above 0x7F.
    const std::string text = std::string("<a b=\"c\">&amp;'\x00\xE9\x00\x3D\xD8\x00\xDE\xFF\xFE", 22) +
                             std::string("\x00\xD8\x41\x00", 4);
    for (int page = 0; page < 16; ++page)
        for (int room : {0, 1, 2, 3, 7, 64}) {
            const std::string bytes = std::string(1, static_cast<char>(page)) + static_cast<char>(room) + text;
            EXPECT_EQ(TextFuzzCase::run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), "")
                << "page " << page << " room " << room;
        }
}

} // namespace
