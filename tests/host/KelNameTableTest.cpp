// Element names are kept once per parser: elements share them, a renamed element never changes
// another's name, names survive what their elements go through, and a parser's table is let go
// when it has grown large, never while elements point into it.
#include "host/KelMessageGroup.hpp"
#include "host/KelNameTable.hpp"
#include "host/KelParser.hpp"
#include "host/KelSyntaxElement.hpp"

#include <gtest/gtest.h>

#include <map>

#include <string>
#include <thread>
#include <vector>

namespace {
class NameParser : public KelParser {
public:
    explicit NameParser(KelMessageGroup* group) : KelParser(group, static_cast<int>(sizeof(KelSyntaxElement))) {}
    void initialize() override {}
    void parseFirstChild(KelSyntaxElement*) override {}
    void parseLastChild(KelSyntaxElement*) override {}
    void parseRightSibling(KelSyntaxElement*) override {}
    void parseLeftSibling(KelSyntaxElement*) override {}
    void callElementConstructor(void* storage) override { new (storage) KelSyntaxElement(this); }
};
KelStringBase ks(const std::string& s) { return KelStringBase::fromUtf8(s); }
} // namespace

TEST(KelNameTable, ElementsShareNamesWithoutSharingChanges) {
    KelMessageGroup group;
    NameParser parser(&group);
    KelSyntaxElement* a = parser.elementPool().createElement();
    KelSyntaxElement* b = parser.elementPool().createElement();
    const std::string longName(40, 'n'); // past the string's inline room
    a->setName(ks(longName));
    b->setName(ks(longName));
    EXPECT_EQ(&a->name(), &b->name());
    EXPECT_EQ(parser.nameTable().size(), 1u);
    b->setName(ks("other"));
    EXPECT_EQ(a->name().toUtf8(), longName);
    EXPECT_EQ(b->name().toUtf8(), "other");
    EXPECT_EQ(b->storedNameHash(), KelSyntaxElement::nameHash(ks("other")));
    // Copies, comparisons and a name given back to empty.
    KelSyntaxElement* c = parser.elementPool().createElement();
    c->copy(a, false, false, false);
    EXPECT_EQ(c->name().toUtf8(), longName);
    EXPECT_EQ(c->compare(a), 0);
    c->initialize();
    EXPECT_TRUE(c->name().empty());
    EXPECT_EQ(c->storedNameHash(), 0u);
    EXPECT_EQ(a->name().toUtf8(), longName);
}

TEST(KelNameTable, AParsersNamesAreLetGoOnlyWhenItsElementsAreGone) {
    KelMessageGroup group;
    NameParser parser(&group);
    for (std::size_t i = 0; i <= KelParser::kNamesKeptAcrossReleases; ++i)
        parser.elementPool().createElement()->setName(ks("n" + std::to_string(i)));
    const unsigned long generation = parser.nameTable().generation();
    parser.releaseElements();
    EXPECT_EQ(parser.nameTable().size(), 0u);
    EXPECT_NE(parser.nameTable().generation(), generation);
    // A table that stays small is kept for the next message.
    parser.elementPool().createElement()->setName(ks("kept"));
    parser.releaseElements();
    EXPECT_EQ(parser.nameTable().size(), 1u);
}

TEST(KelNameTable, ElementsOfNoParserUseTheSharedTableFromAnyThread) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                KelSyntaxElement e(nullptr);
                const std::string name = "shared" + std::to_string((t * 7 + i) % 13);
                e.setName(ks(name));
                EXPECT_EQ(e.name().toUtf8(), name);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(&KelNameTable::shared().intern(ks("shared3"))->view()[0],
              &KelNameTable::shared().intern(ks("shared3"))->view()[0]);
}

// The element-name hash is fixed and linear (each 32-bit word of the name shifted and XORed), so a
// message can give thousands of its names one value: in a four-character name it is (2c0 ^ c2) |
// (2c1 ^ c3) << 16, and two such names in a row hash as (h(P) << 2) ^ h(Q). Such names must not
// make each new name compare with all that came before (a 440 KB message of them took 6 s).
TEST(KelNameTable, NamesThatShareTheirElementNameHashCostLinearWork) {
    const std::string letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    // The pairs (x, y) of letters with 2x ^ y equal to the value most pairs give.
    std::map<int, std::vector<std::pair<char, char>>> byValue;
    for (char x : letters)
        for (char y : letters) byValue[(2 * x) ^ y].emplace_back(x, y);
    const std::vector<std::pair<char, char>>* pairs = &byValue.begin()->second;
    for (const auto& entry : byValue)
        if (entry.second.size() > pairs->size()) pairs = &entry.second;
    std::vector<std::string> quarters;   // four-character names, all of one element-name hash
    for (const auto& low : *pairs)
        for (const auto& high : *pairs) quarters.push_back(std::string{low.first, high.first, low.second, high.second});
    ASSERT_GE(quarters.size(), 100u);
    auto names = [&](std::size_t count) {
        std::vector<KelStringBase> out;
        for (std::size_t i = 0; out.size() < count; ++i)
            out.push_back(ks(quarters[i / quarters.size() % quarters.size()] + quarters[i % quarters.size()]));
        return out;
    };
    auto work = [](const std::vector<KelStringBase>& batch) {
        KelNameTable table;
        const std::size_t before = KelNameTable::namesCompared();
        for (const KelStringBase& name : batch) table.intern(name);
        for (const KelStringBase& name : batch) EXPECT_EQ(*table.intern(name), name);
        EXPECT_EQ(table.size(), batch.size());
        return KelNameTable::namesCompared() - before;
    };
    const std::vector<KelStringBase> small = names(4000), large = names(8000);
    for (const KelStringBase& name : large) ASSERT_EQ(KelNameTable::hashOf(name), KelNameTable::hashOf(large[0]));
    const std::size_t smallWork = work(small), largeWork = work(large);
    EXPECT_LE(largeWork, 3 * smallWork) << smallWork << " then " << largeWork;
    EXPECT_LE(smallWork, 4 * small.size());
}
