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

#if defined(__SANITIZE_ADDRESS__)
constexpr unsigned kSmallDocumentRounds = 300;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr unsigned kSmallDocumentRounds = 300;
#else
constexpr unsigned kSmallDocumentRounds = 2400;
#endif
#else
constexpr unsigned kSmallDocumentRounds = 2400;
#endif

TEST(FuzzReplay, SmallDocumentsUnderEveryMutatorInManyPages) {
    // Small documents take many edits per round, so every mutator meets elements of every kind:
    // markup around the document element, CDATA, comments, instructions, entity expansions.
    // A deterministic spread of seeds, output pages (the stateful 930 by its own selector bit)
    // and span reuse on and off (every 7th round): about three seconds, a few more under the
    // sanitizers with an eighth of the rounds.
    const char* const documents[] = {
        "<r><a><x/>t</a><b>u<c/></b><d e='1'/></r>",
        "<?xml version='1.0' encoding='UTF-8'?><!--h--><r a=\"q\"><![CDATA[cd]]><?p d?><!--c-->text<e><f>g</f></e></r><?z?>",
        "<!DOCTYPE r [<!ENTITY e 'x<b/>y'>]><r>1&e;2<s>t</s><u/></r>"};
    const int outputs[] = {1208, 1200, 37, 819, 943, 930, 1047, 1252};
    for (unsigned seed = 0; seed < kSmallDocumentRounds; ++seed) {
        const int out = outputs[(seed / 3) % 8];
        std::string round = TreeFuzzCase::selectorsFor(1208, false, seed) + documents[seed % 3];
        round[2] = TreeFuzzCase::selectorsFor(out, false, 0)[2];
        if (out == 930) {
            round[1] = static_cast<char>(round[1] | 0x80);
            round[2] = 0;
        }
        if (seed % 7 == 0) round[1] = static_cast<char>(round[1] & ~0x01);
        EXPECT_EQ(runTree(round), "") << "seed " << seed << " written in " << out;
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
