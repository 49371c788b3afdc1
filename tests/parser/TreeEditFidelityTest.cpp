// Edits through the element API reach the output: every mutator forgets the spans its change
// makes stale (the element's, its ancestors', and a moved element's former parent's), and a
// part grafted into another tree keeps its place there when it takes a new bitstream. Each
// output is read back by libxml2 as well.
#include "host/KelMessageGroup.hpp"
#include "host/KelWriteBuffer.hpp"
#include "parser/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"
#include "parser/XmlKelSyntaxElement.hpp"

#include "LibxmlReading.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

namespace {
struct EditTest : ::testing::Test {
    KelMessageGroup group;
    XmlKelParser parser{&group, true};
    void parse(const std::string& document) {
        parser.initialize();
        parser.refreshElementsFromBitStream(nullptr, KelBuffer::fromString(document), 546, 1208);
    }
    KelSyntaxElement* root() { return parser.rootElement(); }
    // The element at a slash-separated path of element names below the root.
    KelSyntaxElement* at(const std::string& path) {
        KelSyntaxElement* e = root();
        std::size_t from = 0;
        while (e && from <= path.size()) {
            std::size_t to = path.find('/', from);
            if (to == std::string::npos) to = path.size();
            const std::string step = path.substr(from, to - from);
            KelSyntaxElement* found = nullptr;
            for (KelSyntaxElement* c = e->firstChild(); c && !found; c = c->nextSibling())
                if (c->type() == XmlTypeElement && c->name().toUtf8() == step) found = c;
            e = found;
            from = to + 1;
        }
        return e;
    }
    static KelSyntaxElement* text(KelSyntaxElement* e) {
        for (KelSyntaxElement* c = e->firstChild(); c; c = c->nextSibling())
            if (c->type() == XmlTypeContent) return c;
        return nullptr;
    }
    std::string write() {
        KelWriteBuffer out(1208);
        parser.refreshBitStreamFromElements(nullptr, &out, root(), 546, 1208);
        return out.toString();
    }
};
} // namespace

// Copying onto an element changes what its ancestors' bytes say: they must be written anew.
TEST_F(EditTest, CopyIsWrittenAsEveryOtherChange) {
    struct Case {
        const char* what;
        std::function<void(EditTest&)> edit;
        const char* expected;
    };
    const Case cases[] = {
        {"text onto text", [](EditTest& t) { text(t.at("r/a"))->copy(text(t.at("r/b")), false, false, false); },
         "<r><a>y</a><b>y</b></r>"},
        {"text onto text, same-text flag",
         [](EditTest& t) { text(t.at("r/a"))->copy(text(t.at("r/b")), false, false, true); },
         "<r><a>y</a><b>y</b></r>"},
        {"element shallow, name kept", [](EditTest& t) { t.at("r/a")->copy(t.at("r/b"), false, true, false); },
         "<r><a>x</a><b>y</b></r>"},
        {"element deep, name kept", [](EditTest& t) { t.at("r/a")->copy(t.at("r/b"), true, true, false); },
         "<r><a>xy</a><b>y</b></r>"},
        {"element deep, name taken", [](EditTest& t) { t.at("r/a")->copy(t.at("r/b"), true, false, false); },
         "<r><b>xy</b><b>y</b></r>"},
    };
    for (const Case& c : cases) {
        parse("<r><a>x</a><b>y</b></r>");
        at("r")->lastChild();
        c.edit(*this);
        const std::string out = write();
        EXPECT_EQ(out, c.expected) << c.what;
        EXPECT_TRUE(libxml_reading::readsAs(out, c.expected)) << c.what;
    }
}

// A move leaves a list of children behind: the former parent must not be copied from its old
// bytes, or the moved element is written twice.
TEST_F(EditTest, MovingAnAttachedElementWritesItOnce) {
    struct Case {
        const char* what;
        std::function<void(EditTest&, KelSyntaxElement*)> move;
        const char* expected;
    };
    const Case cases[] = {
        {"attachAfter", [](EditTest& t, KelSyntaxElement* x) { t.at("r/b")->attachAfter(x); },
         "<r><a></a><b/><x/></r>"},
        {"attachBefore", [](EditTest& t, KelSyntaxElement* x) { t.at("r/b")->attachBefore(x); },
         "<r><a></a><x/><b/></r>"},
        {"attachAsFirstChild", [](EditTest& t, KelSyntaxElement* x) { t.at("r/b")->attachAsFirstChild(x); },
         "<r><a></a><b><x/></b></r>"},
        {"attachAsLastChild", [](EditTest& t, KelSyntaxElement* x) { t.at("r/b")->attachAsLastChild(x); },
         "<r><a></a><b><x/></b></r>"},
        {"deeper, up to the top", [](EditTest& t, KelSyntaxElement* x) { t.at("r")->attachAsFirstChild(x); },
         "<r><x/><a></a><b/></r>"},
    };
    for (const Case& c : cases) {
        // The white space after x keeps a with a child, so it is written with an end tag.
        parse("<r><a><x/> </a><b/></r>");
        KelSyntaxElement* x = at("r/a/x");
        ASSERT_NE(x, nullptr);
        at("r")->lastChild();
        c.move(*this, x);
        std::string out = write();
        std::string expected = c.expected;
        expected.replace(expected.find("<a></a>"), 7, "<a> </a>");
        EXPECT_EQ(out, expected) << c.what;
        EXPECT_TRUE(libxml_reading::readsAs(out, expected)) << c.what;
    }
}

// Moving across two parsers' trees: the tree the element left is written without it.
TEST_F(EditTest, MovingIntoAnotherPartRewritesThePartItLeft) {
    parse("<r><a><x>1</x></a></r>");
    XmlKelParser other(&group, true);
    other.initialize();
    other.refreshElementsFromBitStream(nullptr, KelBuffer::fromString("<o><p/></o>"), 546, 1208);
    KelSyntaxElement* p = other.rootElement()->firstChild()->firstChild();
    KelSyntaxElement* x = at("r/a/x");
    at("r")->lastChild();
    other.rootElement()->firstChild()->lastChild();
    p->attachAsLastChild(x);
    EXPECT_EQ(write(), "<r><a/></r>");
    KelWriteBuffer out(1208);
    other.refreshBitStreamFromElements(nullptr, &out, other.rootElement(), 546, 1208);
    EXPECT_EQ(out.toString(), "<o><p><x>1</x></p></o>");
    EXPECT_TRUE(libxml_reading::readsAs(out.toString(), "<o><p><x>1</x></p></o>"));
}

// A part whose root stands in another tree takes a new bitstream: the root keeps its place and
// its neighbours there, and only what was below it is replaced.
TEST_F(EditTest, ANewBitstreamKeepsAGraftedRootInItsTree) {
    group.registerParserFactory(KelStringBase(u"xml"), [](KelMessageGroup* g, bool reuse) {
        return std::unique_ptr<KelParser>(new XmlKelParser(g, reuse));
    });
    parse("<r><a/><b/></r>");
    KelSyntaxElement* a = at("r/a");
    KelSyntaxElement* b = at("r/b");
    at("r")->lastChild();
    KelSyntaxElement* inner = a->createAfter(KelStringBase(u"xml"), nullptr, std::string("<in>1</in>"),
                                             KelStringBase(), KelStringBase(), KelStringBase(), 546, 1208);
    ASSERT_EQ(a->nextSibling(), inner);
    ASSERT_EQ(inner->firstChild()->value().valueAsCharacter().toUtf8(), "1");
    KelParser* part = inner->parser();
    for (const char* next : {"<in>2<deep><deeper/></deep></in>", "<in2 q='3'/>"}) {
        part->refreshElementsFromBitStream(nullptr, KelBuffer::fromString(next), 546, 1208);
        EXPECT_EQ(part->rootElement(), inner);
        EXPECT_EQ(inner->parent(), at("r"));
        EXPECT_EQ(a->nextSibling(), inner);
        EXPECT_EQ(inner->nextSibling(), b);
        EXPECT_EQ(b->previousSibling(), inner);
        EXPECT_EQ(inner->name().toUtf8(), "XML");
        KelWriteBuffer out(1208);
        part->refreshBitStreamFromElements(nullptr, &out, inner, 546, 1208);
        EXPECT_EQ(out.toString(), next);
    }
    // The outer tree is written with the grafted part's new content in its place.
    const std::string out = write();
    EXPECT_NE(out.find("<a/><XML><in2 q='3'/></XML><b/>"), std::string::npos) << out;
}
