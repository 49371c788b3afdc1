// Elements that stand in another parser's tree: a parser's next message releases only its own
// tree (and what was detached from it), never what the host moved into another tree; a tree that
// lets go cuts loose the other parsers' elements it held; and a parser that goes first takes its
// elements out of the trees they stand in, which then refuse to be written rather than lose them
// silently. Outputs are read back with libxml2.
#include "host/KelException.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"

#include "LibxmlReading.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

namespace {
struct Ownership : ::testing::Test {
    KelMessageGroup group;
    std::unique_ptr<XmlKelParser> a = std::make_unique<XmlKelParser>(&group, true);
    std::unique_ptr<XmlKelParser> b = std::make_unique<XmlKelParser>(&group, true);

    void SetUp() override {
        group.registerParserFactory(KelStringBase(u"xml"), [](KelMessageGroup* g, bool reuse) {
            return std::unique_ptr<KelParser>(new XmlKelParser(g, reuse));
        });
        a->initialize();
        b->initialize();
    }
    static void parse(KelParser& p, const std::string& document) {
        p.refreshElementsFromBitStream(nullptr, KelBuffer::fromString(document), 546, 1208);
    }
    static KelSyntaxElement* documentElement(KelParser& p) {
        for (KelSyntaxElement* c = p.rootElement()->firstChild(); c; c = c->nextSibling())
            if (c->type() == XmlTypeElement) return c;
        return nullptr;
    }
    static KelSyntaxElement* child(KelSyntaxElement* e, const char* name) {
        for (KelSyntaxElement* c = e->firstChild(); c; c = c->nextSibling())
            if (c->type() == XmlTypeElement && c->name().toUtf8() == name) return c;
        return nullptr;
    }
    // Every element, so that a new message takes every slot it needs.
    static long walk(KelSyntaxElement* e) {
        long n = 1;
        for (KelSyntaxElement* c = e->firstChild(); c; c = c->nextSibling()) n += walk(c);
        return n;
    }
    static std::string write(KelParser& p, KelSyntaxElement* from = nullptr) {
        KelWriteBuffer out(1208);
        p.refreshBitStreamFromElements(nullptr, &out, from ? from : p.rootElement(), 546, 1208);
        return out.toString();
    }
};
} // namespace

// The host moves an element of A's message into B's tree; A takes its next messages; B still
// holds the element with its text, and writes it. Once B lets go of it too, A's next message
// frees its slot: nothing piles up in A's pool.
TEST_F(Ownership, AMovedElementOutlivesTheNextMessageOfTheParserThatMadeIt) {
    struct Case {
        const char* how;
        std::function<void(KelSyntaxElement* b, KelSyntaxElement* keep)> move;
        const char* expected;
    };
    const Case cases[] = {
        {"as last child", [](KelSyntaxElement* to, KelSyntaxElement* k) { to->attachAsLastChild(k); },
         "<b><s/><keep k=\"1\">precious<i>!</i></keep></b>"},
        {"as first child", [](KelSyntaxElement* to, KelSyntaxElement* k) { to->attachAsFirstChild(k); },
         "<b><keep k=\"1\">precious<i>!</i></keep><s/></b>"},
        {"before a child", [](KelSyntaxElement* to, KelSyntaxElement* k) { to->firstChild()->attachBefore(k); },
         "<b><keep k=\"1\">precious<i>!</i></keep><s/></b>"},
        {"after a child", [](KelSyntaxElement* to, KelSyntaxElement* k) { to->firstChild()->attachAfter(k); },
         "<b><s/><keep k=\"1\">precious<i>!</i></keep></b>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        parse(*a, "<a><keep k='1'>precious<i>!</i></keep><z/></a>");
        parse(*b, "<b><s/></b>");
        KelSyntaxElement* keep = child(documentElement(*a), "keep");
        ASSERT_NE(keep, nullptr);
        c.move(documentElement(*b), keep);
        for (const char* next : {"<a><n1>x</n1><n2 q='2'>y<n3/><n4/><n5/><n6/></n2></a>", "<a2>w<v/></a2>"}) {
            parse(*a, next);
            walk(a->rootElement());
            EXPECT_EQ(write(*a), next);
            const std::string out = write(*b);
            EXPECT_EQ(libxml_reading::read(out), libxml_reading::read(c.expected)) << out;
            EXPECT_TRUE(libxml_reading::readsAs(out, c.expected));
        }
        // B lets go: the element is cut loose, and A's next message frees it.
        parse(*b, "<b2/>");
        EXPECT_EQ(keep->parent(), nullptr);
        EXPECT_EQ(write(*b), "<b2/>");
        parse(*a, "<a3><u/></a3>");
        const long built = walk(a->rootElement());
        EXPECT_EQ(a->elementPool().liveCount(), static_cast<std::size_t>(built));
    }
}

// A parser that has an element standing in another tree at every release (the host moves one
// element of each message on) may not clear its name table, whose names that element still
// holds; it must still forget the names nothing holds, or it would keep every name of every
// message it ever took. Each message here has 20 names of its own; the names A keeps over the
// second N messages are no more than over the first N (give or take a message's, as the table
// is swept every so many), and B writes what it holds by its names.
TEST_F(Ownership, NamesOfMessagesGoneAreForgottenWhileAMovedElementLivesOn) {
    const auto message = [](int i) {
        std::string text = "<a>";
        for (int k = 0; k < 20; ++k) {
            const std::string name = "n" + std::to_string(i) + "_" + std::to_string(k);
            text += "<" + name + " q='" + std::to_string(k) + "'>t</" + name + ">";
        }
        return text + "</a>";
    };
    constexpr int kMessages = 300;   // N: 6 000 names, past what a table keeps across releases
    std::size_t most[2] = {0, 0};
    for (int i = 0; i < 2 * kMessages; ++i) {
        parse(*a, message(i));   // the element moved from the last message still stands in B
        parse(*b, "<b/>");       // which lets it go now: A's next message frees it
        KelSyntaxElement* moved = documentElement(*a)->lastChild();
        ASSERT_NE(moved, nullptr);
        documentElement(*b)->attachAsLastChild(moved);
        most[i / kMessages] = std::max(most[i / kMessages], a->nameTable().size());
        if (i % 97 == 0 || i == 2 * kMessages - 1) {
            const std::string name = "n" + std::to_string(i) + "_19";
            const std::string expected = "<b><" + name + " q=\"19\">t</" + name + "></b>";
            EXPECT_TRUE(libxml_reading::readsAs(write(*b), expected)) << write(*b);
        }
    }
    EXPECT_LE(most[1], most[0] + 20) << "names A kept: at most " << most[0] << " over the first " << kMessages
                                << " messages, " << most[1] << " over the next";
    EXPECT_LE(most[1], 2 * KelParser::kNamesKeptAcrossReleases + 40);
}

// A part grafted into B's tree (the long form of createLastChild) is cut loose when B takes its
// next message: it never hangs below one of B's new elements, and detaching it changes nothing.
TEST_F(Ownership, AGraftedPartIsCutLooseWhenItsTreeTakesANewMessage) {
    parse(*b, "<b><x/></b>");
    KelSyntaxElement* grafted = documentElement(*b)->createLastChild(KelStringBase(u"xml"), nullptr,
                                                                     KelBuffer::fromString("<g>1</g>"), 546, 1208);
    ASSERT_NE(grafted, nullptr);
    EXPECT_NE(write(*b).find("<x/><XML><g>1</g></XML>"), std::string::npos) << write(*b);
    const std::string next = "<b2><y/><z>t</z><w q='1'/></b2>";
    parse(*b, next);
    walk(b->rootElement());
    EXPECT_EQ(grafted->parent(), nullptr);
    EXPECT_EQ(grafted->knownPreviousSibling(), nullptr);
    EXPECT_EQ(grafted->knownNextSibling(), nullptr);
    grafted->detach();
    EXPECT_EQ(write(*b), next);
    EXPECT_TRUE(libxml_reading::readsAs(write(*b), next));
    EXPECT_EQ(write(*grafted->parser(), grafted), "<g>1</g>");
}

// Parsers that go while their elements stand in each other's trees leave nothing dangling: the
// tree that loses elements refuses to be written until its next message, and a tree that goes
// cuts loose what other parsers lent it.
TEST_F(Ownership, AParserThatGoesFirstTakesItsElementsOutOfOtherTrees) {
    // A goes while its element stands in B's tree.
    parse(*a, "<a><keep>precious</keep></a>");
    parse(*b, "<b><s/></b>");
    documentElement(*b)->attachAsLastChild(child(documentElement(*a), "keep"));
    a.reset();
    KelSyntaxElement* s = documentElement(*b)->firstChild();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->name().toUtf8(), "s");
    EXPECT_EQ(s->knownNextSibling(), nullptr);
    try {
        const std::string out = write(*b);
        ADD_FAILURE() << "written without the element: " << out;
    } catch (const KelException& e) {
        EXPECT_EQ(e.catalogueNumber(), 5010u) << e.what();
        ASSERT_EQ(e.nested().size(), 1u);
        EXPECT_EQ(e.nested()[0]->catalogueNumber(), 2338u) << e.what();
    }
    parse(*b, "<b3/>");
    EXPECT_EQ(write(*b), "<b3/>");

    // B goes while it holds an element of A's and a grafted part: both are cut loose and stay usable.
    a = std::make_unique<XmlKelParser>(&group, true);
    a->initialize();
    parse(*a, "<a><lent>1</lent><z/></a>");
    parse(*b, "<b><s/></b>");
    KelSyntaxElement* lent = child(documentElement(*a), "lent");
    documentElement(*b)->attachAsFirstChild(lent);
    KelSyntaxElement* grafted = documentElement(*b)->createLastChild(KelStringBase(u"xml"), nullptr,
                                                                     KelBuffer::fromString("<g>2</g>"), 546, 1208);
    b.reset();
    EXPECT_EQ(lent->parent(), nullptr);
    EXPECT_EQ(lent->knownNextSibling(), nullptr);
    EXPECT_EQ(grafted->parent(), nullptr);
    EXPECT_EQ(write(*grafted->parser(), grafted), "<g>2</g>");
    EXPECT_EQ(write(*a), "<a><z/></a>");
    documentElement(*a)->attachAsLastChild(lent);
    EXPECT_TRUE(libxml_reading::readsAs(write(*a), "<a><z/><lent>1</lent></a>"));
}
