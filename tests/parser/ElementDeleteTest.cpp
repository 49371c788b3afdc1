// Deleting detached elements: the slots go back to the pool and are taken again, so a loop that
// walks a large message record by record and deletes each record stays in the same memory; a
// delete that would pull an element from under the scan, or out of a tree, is refused whole.
#include "builder/XmlBrokerOrvaneParser.hpp"
#include "host/KelSyntaxElementAccess.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"
#include "parser/XmlKelSyntaxElement.hpp"

#include <gtest/gtest.h>

#include <string>

#if defined(__SANITIZE_ADDRESS__)
#define QUARN_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUARN_TEST_ASAN 1
#endif
#endif
#ifdef QUARN_TEST_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

struct Deleting : ::testing::Test {
    KelMessageGroup group;
    XmlKelParser parser{&group, true};
    std::string text;
    void parse(const std::string& document) {
        text = document;
        parser.initialize();
        parser.refreshElementsFromBitStream(nullptr, KelBuffer::fromString(text), 546, 1208);
    }
    KelSyntaxElement* body() {
        for (KelSyntaxElement* c = parser.rootElement()->firstChild(); c; c = c->nextSibling())
            if (c->type() == XmlTypeElement) return c;
        return nullptr;
    }
    static KelSyntaxElement* firstElement(KelSyntaxElement* parent) {
        for (KelSyntaxElement* c = parent->firstChild(); c; c = c->nextSibling())
            if (c->type() == XmlTypeElement) return c;
        return nullptr;
    }
    // The refusal's reason, or "" when the delete went through.
    static std::string refusal(KelSyntaxElement* e) {
        try {
            e->deleteElement();
            return std::string();
        } catch (const KelRecoverableException& x) {
            EXPECT_EQ(x.catalogueNumber(), 2337u);
            EXPECT_EQ(x.text(), "The element cannot be deleted");
            return x.inserts().empty() ? "?" : x.inserts().front();
        }
    }
};

std::string records(int count) {
    std::string doc = "<batch id='b1'>";
    for (int i = 0; i < count; ++i)
        doc += "\n <record n='" + std::to_string(i) + "'><payload>a value long enough to live on the heap " +
               std::to_string(i) + "</payload><tail/></record>";
    return doc + "\n</batch>";
}

TEST_F(Deleting, ARecordLoopStaysInTheSameSlotsHoweverManyRecordsFollow) {
    const int kRecords = 5000;
    parse(records(kRecords));
    KelSyntaxElement* batch = body();
    ASSERT_NE(batch, nullptr);
    long sum = 0;
    int seen = 0;
    KelSyntaxElement* child = batch->firstChild();
    while (child != nullptr) {
        KelSyntaxElement* next = child->nextSibling();   // scans just past this child
        if (child->type() == XmlTypeElement) {
            KelSyntaxElement* n = child->firstChild();
            ASSERT_EQ(n->type(), XmlTypeAttribute);
            sum += std::stol(n->value().valueAsCharacter().toUtf8());
            ++seen;
        }
        if (child->type() != XmlTypeAttribute) {
            child->detach();
            child->deleteElement();
        }
        child = next;
    }
    EXPECT_EQ(seen, kRecords);
    EXPECT_EQ(sum, static_cast<long>(kRecords) * (kRecords - 1) / 2);
    const KelSyntaxElementPool& pool = parser.elementPool();
    EXPECT_GT(pool.elementCount(), static_cast<std::size_t>(kRecords) * 5);
    EXPECT_LT(pool.slotsCarved(), 64u) << "deleted slots were not taken again";
    EXPECT_EQ(pool.liveCount(), 3u);   // root, batch and its attribute
    // What is left is still a document that can be written.
    KelWriteBuffer out(1208);
    parser.refreshBitStreamFromElements(nullptr, &out, parser.rootElement(), 546, 1208);
    // The element keeps the tags it stood in, emptied.
    EXPECT_EQ(out.toString(), "<batch id='b1'></batch>");
}

TEST_F(Deleting, RefusalsLeaveTheTreeWhole) {
    parse("<a><b x='1'><c/></b><d/><e>open</e></a>");
    KelSyntaxElement* a = body();
    KelSyntaxElement* b = firstElement(a);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(refusal(b).find("still attached"), std::string::npos);
    EXPECT_NE(refusal(parser.rootElement()).find("root element"), std::string::npos);
    // The document element is open while its end is unscanned: the scan still builds into it,
    // and into every element on the way down to where it stands.
    EXPECT_TRUE(parser.holdsElement(a));
    EXPECT_TRUE(parser.holdsElement(b));
    b->detach();   // scans b to its end first
    EXPECT_FALSE(parser.holdsElement(b));
    EXPECT_TRUE(parser.holdsElement(a));
    KelSyntaxElement* c = firstElement(b);
    KelSyntaxElementAccess::clearComplete(c);   // as a scan that failed inside it would leave it
    EXPECT_NE(refusal(b).find("building into it"), std::string::npos);
    EXPECT_EQ(firstElement(b), c) << "a refused delete took part of the subtree";
    KelSyntaxElementAccess::setCompleteLeft(c);
    KelSyntaxElementAccess::setCompleteRight(c);
    EXPECT_EQ(refusal(b), "");
    // An element of another tree that was never in this pool is refused too.
    KelSyntaxElement stray(nullptr);
    EXPECT_NE(refusal(&stray).find("not made by a parser"), std::string::npos);
    KelWriteBuffer out(1208);
    parser.refreshBitStreamFromElements(nullptr, &out, parser.rootElement(), 546, 1208);
    EXPECT_EQ(out.toString(), "<a><d/><e>open</e></a>");
}

TEST_F(Deleting, AFreedSlotIsTakenAgainAndPoisonedWhileFree) {
    parse("<a><b>some text that is long enough to be kept in a block of its own</b><c/></a>");
    KelSyntaxElement* b = firstElement(body());
    KelSyntaxElement* content = b->firstChild();
    ASSERT_NE(content, nullptr);
    b->detach();
    const std::size_t live = parser.elementPool().liveCount();
    b->deleteElement();
    EXPECT_EQ(parser.elementPool().liveCount(), live - 2);
    EXPECT_FALSE(parser.elementPool().holds(b));
#ifdef QUARN_TEST_ASAN
    EXPECT_TRUE(__asan_address_is_poisoned(b));
    EXPECT_TRUE(__asan_address_is_poisoned(content));
    EXPECT_DEATH(b->knownFirstChild(), "use-after-poison");
#endif
    // The last slot freed is the first taken again, built afresh.
    KelSyntaxElement* fresh = parser.elementPool().createElement();
    EXPECT_TRUE(fresh == b || fresh == content);
    EXPECT_EQ(fresh->knownFirstChild(), nullptr);
    EXPECT_TRUE(fresh->storedValue().isNull());
    EXPECT_TRUE(parser.elementPool().holds(fresh));
}

TEST_F(Deleting, ASubtreeHoldingAnotherParsersElementsGivesEachSlotBackToItsOwnPool) {
    parse("<a><x><y/></x><z/></a>");
    XmlKelParser other{&group, true};
    const std::string otherText = "<b><p>text of the other parser</p><q/></b>";
    other.initialize();
    other.refreshElementsFromBitStream(nullptr, KelBuffer::fromString(otherText), 546, 1208);
    KelSyntaxElement* x = firstElement(body());
    ASSERT_NE(x, nullptr);
    KelSyntaxElement* z = body()->lastChild();   // the whole document is scanned
    KelSyntaxElement* p = firstElement(firstElement(other.rootElement()));
    ASSERT_NE(p, nullptr);
    p->detach();
    x->attachAsLastChild(p);   // x holds y of this parser, then p and its text of the other
    x->detach();
    z->detach();
    const std::size_t ours = parser.elementPool().liveCount();
    const std::size_t theirs = other.elementPool().liveCount();
    // The other parser's root below an element is refused, and nothing goes.
    z->attachAsLastChild(other.rootElement());
    EXPECT_NE(refusal(z).find("root element"), std::string::npos);
    EXPECT_EQ(parser.elementPool().liveCount(), ours);
    EXPECT_EQ(other.elementPool().liveCount(), theirs);
    EXPECT_EQ(refusal(x), "");
    EXPECT_EQ(parser.elementPool().liveCount(), ours - 2) << "x and y";
    EXPECT_EQ(other.elementPool().liveCount(), theirs - 2) << "p and its text";
    EXPECT_FALSE(parser.elementPool().holds(x));
    EXPECT_FALSE(other.elementPool().holds(p));
}

} // namespace
