// Element names are kept once per parser: elements share them, a renamed element never changes
// another's name, names survive what their elements go through, and a parser's table is let go
// when it has grown large, never while elements point into it.
#include "host/KelMessageGroup.hpp"
#include "host/KelNameTable.hpp"
#include "host/KelParser.hpp"
#include "host/KelSyntaxElement.hpp"

#include <gtest/gtest.h>

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
