// Elements link to each other by slot handles and find their parser through their chunk: the
// links and the parser must hold in every chunk of a pool, also when a chunk that served one
// parser (with another slot size) serves the next, and chunk numbers go back when memory does.
#include "host/KelException.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelParser.hpp"
#include "host/KelSlotTable.hpp"
#include "host/KelSyntaxElement.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {
// An element with room of its own, so that its slots differ in size from the plain element's.
struct WideElement : KelSyntaxElement {
    explicit WideElement(KelParser* parser) : KelSyntaxElement(parser) {}
    char room[40] = {};
};

template <class Element>
class PlainParser : public KelParser {
public:
    explicit PlainParser(KelMessageGroup* group) : KelParser(group, static_cast<int>(sizeof(Element))) {}
    void initialize() override {}
    void parseFirstChild(KelSyntaxElement*) override {}
    void parseLastChild(KelSyntaxElement*) override {}
    void parseRightSibling(KelSyntaxElement*) override {}
    void parseLeftSibling(KelSyntaxElement*) override {}
    void callElementConstructor(void* storage) override { new (storage) Element(this); }
};

// Past the small first chunk and across several large ones.
constexpr std::size_t kChildren = KelSyntaxElementPool::kSlotsPerChunk + 50000;

// Builds a root with kChildren children and reports the first link or parser that is wrong.
template <class Element>
std::string buildAndCheck() {
    KelMessageGroup group;
    PlainParser<Element> parser(&group);
    KelSyntaxElement* root = parser.elementPool().createElement();
    std::vector<KelSyntaxElement*> children;
    for (std::size_t i = 0; i < kChildren; ++i) {
        children.push_back(root->createLastChild());
        children.back()->setValue(static_cast<int>(i));
    }
    if (root->parser() != &parser) return "the root lost its parser";
    KelSyntaxElement* c = root->firstChild();
    for (std::size_t i = 0; i < kChildren; ++i, c = c->nextSibling()) {
        const std::string at = " at child " + std::to_string(i);
        if (c != children[i]) return "the sibling links lead elsewhere" + at;
        if (c->parent() != root || c->parser() != &parser) return "parent or parser wrong" + at;
        if (c->storedValue().intValue() != static_cast<int>(i)) return "value wrong" + at;
        if (i > 0 && c->previousSibling() != children[i - 1]) return "previous sibling wrong" + at;
    }
    if (c != nullptr || root->lastChild() != children.back()) return "the last child is wrong";
    return "";
}
} // namespace

TEST(KelSlotTable, LinksAndParsersHoldInEveryChunkAndWhenAChunkServesAnotherSlotSize) {
    // On a thread of its own, so that its chunk cache starts empty and ends with it.
    std::vector<std::string> failures;
    std::thread([&failures] {
        failures.push_back(buildAndCheck<WideElement>());
        failures.push_back(buildAndCheck<KelSyntaxElement>());   // takes the wide parser's large chunks
        failures.push_back(buildAndCheck<WideElement>());
    }).join();
    for (const std::string& f : failures) EXPECT_EQ(f, "");
}

TEST(KelSlotTable, ChunkNumbersGoBackWithTheirMemory) {
    const std::size_t before = KelSlotTable::chunksInUse();
    std::size_t during = 0;
    std::thread([&during] {
        KelMessageGroup group;
        PlainParser<KelSyntaxElement> parser(&group);
        KelSyntaxElement* root = parser.elementPool().createElement();
        for (std::size_t i = 0; i < kChildren; ++i) root->createLastChild();
        during = KelSlotTable::chunksInUse();
    }).join();   // the thread's cache of chunks is freed with it
    EXPECT_GT(during, before + 1);
    EXPECT_EQ(KelSlotTable::chunksInUse(), before);
}

TEST(KelSlotTable, AnElementMadeOutsideEveryPoolIsNeitherLinkedNorLinkedTo) {
    KelMessageGroup group;
    PlainParser<KelSyntaxElement> parser(&group);
    KelSyntaxElement* root = parser.elementPool().createElement();
    KelSyntaxElement* child = root->createLastChild();
    KelSyntaxElement stray(&parser);
    EXPECT_EQ(stray.parser(), nullptr);
    EXPECT_THROW(root->attachAsLastChild(&stray), KelRecoverableException);
    EXPECT_THROW(child->attachAfter(&stray), KelRecoverableException);
    EXPECT_THROW(stray.attachAsFirstChild(child), KelRecoverableException);
    // Nothing moved: a link to the stray element would have been lost as a null handle.
    EXPECT_EQ(root->firstChild(), child);
    EXPECT_EQ(root->lastChild(), child);
    EXPECT_EQ(child->parent(), root);
    EXPECT_EQ(child->nextSibling(), nullptr);
    EXPECT_EQ(stray.knownFirstChild(), nullptr);
}
