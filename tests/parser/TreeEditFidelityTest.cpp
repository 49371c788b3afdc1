// Edits through the element API reach the output: every mutator forgets the spans its change
// makes stale (the element's, its ancestors', and a moved element's former parent's), and a
// part grafted into another tree keeps its place there when it takes a new bitstream. Each
// output is read back by libxml2 as well.
#include "host/KelException.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"
#include "parser/XmlKelSyntaxElement.hpp"

#include "LibxmlReading.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {
struct EditTest : ::testing::Test {
    KelMessageGroup group;
    XmlKelParser parser{&group, true};
    XmlKelParser* current = &parser;   // the parser whose tree at() walks
    void parse(const std::string& document) {
        parser.initialize();
        parser.refreshElementsFromBitStream(nullptr, KelBuffer::fromString(document), 546, 1208);
    }
    KelSyntaxElement* root() { return current->rootElement(); }
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
    // A new element of the parser, named, not yet attached.
    KelSyntaxElement* newElement(const char16_t* name) {
        KelSyntaxElement* e = parser.elementPool().createElement();
        e->setType(XmlTypeElement);
        e->setName(KelStringBase(name));
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

// A refused move or copy changes nothing: an attribute that stays where it was read is still copied
// from its own source text when its tag is written anew, references and all.
TEST_F(EditTest, ARefusedMoveLeavesTheElementAsItWas) {
    const std::string document = "<!DOCTYPE r [<!ENTITY e 'E'>]><r><a x='&e;'  y='1'><b/></a></r>";
    const std::string expected = "<!DOCTYPE r [<!ENTITY e 'E'>]><r><a x='&e;'  y='2'><b/></a></r>";
    XmlKelParser other(&group, true);
    other.initialize();
    struct Case {
        const char* what;
        std::function<void(KelSyntaxElement* root, KelSyntaxElement* x)> refused;
    };
    const Case cases[] = {
        {"none", [](KelSyntaxElement*, KelSyntaxElement*) {}},
        {"beside itself", [](KelSyntaxElement*, KelSyntaxElement* x) { x->attachBefore(x); }},
        {"after itself", [](KelSyntaxElement*, KelSyntaxElement* x) { x->attachAfter(x); }},
        {"beside the root, which has no parent", [](KelSyntaxElement* root, KelSyntaxElement* x) { root->attachAfter(x); }},
        {"before the root", [](KelSyntaxElement* root, KelSyntaxElement* x) { root->attachBefore(x); }},
        // The source's error comes part way through reading it: nothing of it is taken.
        {"a deep copy of a part of another message with an error in it",
         [&](KelSyntaxElement*, KelSyntaxElement*) {
             other.refreshElementsFromBitStream(nullptr, KelBuffer::fromString("<s><u n='1'><v/><w>2</x></u></s>"),
                                                546, 1208);
             at("r/a")->copy(other.rootElement()->firstChild()->firstChild(), true, false, false);
         }},
    };
    for (const Case& c : cases) {
        parse(document);
        KelSyntaxElement* a = at("r/a");
        ASSERT_NE(a, nullptr);
        KelSyntaxElement* x = a->firstChild();
        if (std::string(c.what) != "none") {
            EXPECT_THROW(c.refused(root(), x), KelRecoverableException) << c.what;
        }
        ASSERT_NE(at("r/a"), nullptr) << c.what;
        EXPECT_EQ(at("r/a")->firstChild(), x) << c.what;
        x->nextSibling()->setValue(KelStringBase(u"2"));
        const std::string out = write();
        EXPECT_EQ(out, expected) << c.what;
        EXPECT_TRUE(libxml_reading::readsAs(out, expected)) << c.what;
    }
}

// Marking stops at an ancestor marked before, whose own ancestors were marked with it: edits
// after moves, and edits while the scan is still open, must still reach every byte they change.
TEST_F(EditTest, AnEditBelowAnElementMarkedBeforeReachesTheOutput) {
    struct Case {
        const char* what;
        std::function<void(EditTest&)> edits;
        const char* expected;
    };
    const Case cases[] = {
        {"edit, move the edited branch, edit it again",
         [](EditTest& t) {
             text(t.at("r/a/b/c"))->setActualValue(KelStringBase(u"2"));
             t.at("r/x/y")->attachAsLastChild(t.at("r/a/b"));
             text(t.at("r/x/y/b/c"))->setActualValue(KelStringBase(u"3"));
         },
         "<r><a> </a><x><y><b><c>3</c></b></y></x><z>9</z></r>"},
        {"move a branch first, then edit below it twice",
         [](EditTest& t) {
             t.at("r/x/y")->attachAsLastChild(t.at("r/a/b"));
             text(t.at("r/x/y/b/c"))->setActualValue(KelStringBase(u"2"));
             KelSyntaxElement* n = t.parser.elementPool().createElement();
             n->setType(XmlTypeElement);
             n->setName(KelStringBase(u"n"));
             t.at("r/x/y/b/c")->attachAsLastChild(n);
         },
         "<r><a> </a><x><y><b><c>2<n/></c></b></y></x><z>9</z></r>"},
        {"edits while the document element is still open, then after its end",
         [](EditTest& t) {
             text(t.at("r/a/b/c"))->setActualValue(KelStringBase(u"2"));
             text(t.at("r/a/b/c"))->setActualValue(KelStringBase(u"4"));
             text(t.at("r/z"))->setActualValue(KelStringBase(u"8"));
         },
         "<r><a> <b><c>4</c></b></a><x><y/></x><z>8</z></r>"},
        // Elements without spans (renamed, made by the host) stop the marking too, once passed.
        {"a renamed branch given a child, moved under an unchanged element, given more below",
         [](EditTest& t) {
             t.at("r")->lastChild();
             KelSyntaxElement* b = t.at("r/a/b");
             KelSyntaxElement* y = t.at("r/x/y");
             b->setName(KelStringBase(u"B"));
             KelSyntaxElement* n = t.newElement(u"n");
             b->attachAsLastChild(n);
             y->attachAsLastChild(b);
             n->attachAsLastChild(t.newElement(u"m"));
         },
         "<r><a> </a><x><y><B><c>1</c><n><m/></n></B></y></x><z>9</z></r>"},
        {"a new branch edited below, detached, attached elsewhere, edited below again",
         [](EditTest& t) {
             t.at("r")->lastChild();
             KelSyntaxElement* n = t.newElement(u"n");
             t.at("r/a/b/c")->attachAsLastChild(n);
             KelSyntaxElement* m = t.newElement(u"m");
             n->attachAsLastChild(m);
             m->setValue(KelStringBase(u"v"));
             n->detach();
             t.at("r/x/y")->attachAsFirstChild(n);
             m->setValue(KelStringBase(u"w"));
         },
         "<r><a> <b><c>1</c></b></a><x><y><n><m>w</m></n></y></x><z>9</z></r>"},
    };
    for (const Case& c : cases) {
        parse("<r><a> <b><c>1</c></b></a><x><y/></x><z>9</z></r>");
        c.edits(*this);
        const std::string out = write();
        EXPECT_EQ(out, c.expected) << c.what;
        EXPECT_TRUE(libxml_reading::readsAs(out, c.expected)) << c.what;
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
    // a keeps its tags: only its content changed.
    EXPECT_EQ(write(), "<r><a></a></r>");
    EXPECT_TRUE(libxml_reading::readsAs(write(), "<r><a/></r>"));
    KelWriteBuffer out(1208);
    other.refreshBitStreamFromElements(nullptr, &out, other.rootElement(), 546, 1208);
    EXPECT_EQ(out.toString(), "<o><p><x>1</x></p></o>");
    EXPECT_TRUE(libxml_reading::readsAs(out.toString(), "<o><p><x>1</x></p></o>"));
}

// A part moved or copied from one message into another carries its entity references. Where the
// message it goes into declares no such entity, a reference would make that message no XML: what
// it stood for (the expansion the tree holds) is written in its place, in every page, whether the
// receiving tree was walked or is written up to its scan frontier. A reference whose text the tree
// lacks (its entity declared in an external subset) is refused, in content and in an attribute;
// where the receiving message may declare the entity (an external subset), the reference stays.
TEST_F(EditTest, ReferencesCarriedIntoAnotherMessageStayWhatTheyStoodFor) {
    const std::string declared = "<!DOCTYPE a [<!ENTITY e 'E<i a=\"1\">&#38;amp;&#38;#60;</i>'><!ENTITY f '&e;!'>]>"
                                 "<a><b>x&e;y&f;z&lt;<c>&f;</c></b></a>";
    const std::string expansion =
        "<b>xE<i a=\"1\">&amp;&lt;</i>yE<i a=\"1\">&amp;&lt;</i>!z&lt;<c>E<i a=\"1\">&amp;&lt;</i>!</c></b>";
    const std::string references = "<b>x&e;y&f;z&lt;<c>&f;</c></b>";
    const std::string plain = "<?xml version='1.0' encoding='UTF-8'?><z><y/><w>tail</w></z>";
    const std::string external = "<!DOCTYPE z SYSTEM 'z.dtd'><z><y/><w>tail</w></z>";
    struct Case {
        const char* what;
        const std::string& source;
        const std::string& into;
        bool copy;      // else moved
        bool first;     // put before the receiving tree's first element, which leaves it partly scanned
        int ccsid;
        int encoding;
        std::string expected;   // the document libxml2 must read; empty: refused
        const char* insert;
    };
    const Case cases[] = {
        {"moved, UTF-8", declared, plain, false, false, 1208, 546, "<z><y/><w>tail</w>" + expansion + "</z>", ""},
        {"moved, UTF-8, frontier", declared, plain, false, true, 1208, 546, "<z>" + expansion + "<y/><w>tail</w></z>", ""},
        {"copied, UTF-16 little-endian, frontier", declared, plain, true, true, 1200, 546,
         "<z>" + expansion + "<y/><w>tail</w></z>", ""},
        {"moved, EBCDIC", declared, plain, false, false, 37, 785, "<z><y/><w>tail</w>" + expansion + "</z>", ""},
        {"copied, EBCDIC, frontier", declared, plain, true, true, 37, 785, "<z>" + expansion + "<y/><w>tail</w></z>",
         ""},
        {"moved into a message with an external subset", declared, external, false, false, 1208, 546,
         "<!DOCTYPE z SYSTEM 'z.dtd'><z><y/><w>tail</w>" + references + "</z>", ""},
        {"moved, its entity declared outside", "<!DOCTYPE a SYSTEM 'a.dtd'><a><b>x&u;</b></a>", plain, false, false,
         1208, 546, "", "u"},
        {"copied, its entity declared outside", "<!DOCTYPE a SYSTEM 'a.dtd'><a><b>x&u;</b></a>", plain, true, false,
         1208, 546, "", "u"},
        {"moved, an attribute's entity declared outside", "<!DOCTYPE a SYSTEM 'a.dtd'><a><b k='&u;'/></a>", plain,
         false, false, 1208, 546, "", "k"},
        {"copied, an attribute's entity declared outside", "<!DOCTYPE a SYSTEM 'a.dtd'><a><b k='&u;'/></a>", plain,
         true, false, 1208, 546, "", "k"},
        {"copied into a message with an external subset, an attribute's entity declared outside",
         "<!DOCTYPE a SYSTEM 'a.dtd'><a><b k='x&u;'/></a>", external, true, true, 1208, 546, "", "k"},
    };
    for (const Case& c : cases) {
        parse(c.source);
        XmlKelParser into(&group, true);
        into.initialize();
        into.refreshElementsFromBitStream(nullptr, KelBuffer::fromString(c.into), 546, 1208);
        KelSyntaxElement* z = into.rootElement()->firstChild();
        while (z->type() != XmlTypeElement) z = z->nextSibling();
        KelSyntaxElement* b = at("a/b");
        KelSyntaxElement* carried = b;
        if (c.copy) {
            carried = z->createFirstChild();
            carried->detach();
            carried->copy(b, true, false, false);
        } else {
            b->detach();
        }
        if (c.first) z->firstChild()->attachBefore(carried);
        else z->attachAsLastChild(carried);
        KelWriteBuffer out(c.ccsid);
        try {
            into.refreshBitStreamFromElements(nullptr, &out, into.rootElement(), c.encoding, c.ccsid);
            ASSERT_FALSE(c.expected.empty()) << c.what << " was written: " << out.toString();
            EXPECT_TRUE(libxml_reading::readsAs(out.toString(), c.expected)) << c.what;
            if (c.ccsid == 1208 && !c.first) {
                EXPECT_EQ(out.toString(), (c.into == plain ? "<?xml version='1.0' encoding='UTF-8'?>" : "") + c.expected)
                    << c.what;
            }
        } catch (const KelException& e) {
            ASSERT_TRUE(c.expected.empty()) << c.what << ": " << e.what();
            EXPECT_EQ(e.catalogueNumber(), 5010u) << c.what;
            ASSERT_EQ(e.nested().size(), 1u) << c.what;
            EXPECT_EQ(e.nested()[0]->catalogueNumber(), 5006u) << c.what;
            EXPECT_EQ(e.nested()[0]->inserts(), std::vector<std::string>{c.insert}) << c.what;
        }
    }
    // Within its own message a copied attribute gives back the source text, reference and all; a
    // renamed one has no source text left, and its value alone would drop the reference.
    const std::string own = "<!DOCTYPE a SYSTEM 'a.dtd'><a><b k='x\"&u;'/><c/></a>";
    parse(own);
    KelSyntaxElement* copied = at("a/c")->createFirstChild();
    copied->copy(at("a/b")->firstChild(), false, false, false);
    const std::string expected = "<!DOCTYPE a SYSTEM 'a.dtd'><a><b k='x\"&u;'/><c k='x\"&u;'/></a>";
    EXPECT_EQ(write(), expected);
    EXPECT_TRUE(libxml_reading::readsAs(write(), expected));
    parse(own);
    at("a/b")->firstChild()->setName(KelStringBase(u"j"));
    try {
        ADD_FAILURE() << "renamed, written: " << write();
    } catch (const KelException& e) {
        EXPECT_EQ(e.catalogueNumber(), 5010u);
        ASSERT_EQ(e.nested().size(), 1u);
        EXPECT_EQ(e.nested()[0]->inserts(), std::vector<std::string>{"j"});
    }
    // A value set anew is whole: written as it is.
    parse(own);
    at("a/b")->firstChild()->setValue(KelStringBase(u"v"));
    EXPECT_EQ(write(), "<!DOCTYPE a SYSTEM 'a.dtd'><a><b k='v'/><c/></a>");
}

// The tree keeps names as written and namespace declarations as attributes. An element or
// attribute moved or copied away from the declaration of its prefix would be written where no
// reader that reads namespaces can take it: the write is refused (5010, with 5008 naming the
// prefix). Where a declaration of the prefix is in scope, in the element moved or above where it
// lands, it is written; what stands where it was read is never looked at.
TEST_F(EditTest, MovedNamesKeepTheirPrefixesDeclaredOrAreRefused) {
    const std::string source = "<r xmlns:p='urn:p'><a><p:x p:k='1'><p:y/></p:x><u><p:v/></u></a>"
                               "<s><p:w xmlns:p='urn:p'><p:t/></p:w><k><p:w xmlns:p='urn:p'/><p:z/></k></s></r>";
    const std::string bare = "<o><i/></o>";
    const std::string declaring = "<o xmlns:p='urn:p'><i/></o>";
    enum How { Move, Copy, MoveAttribute };
    struct Case {
        const char* what;
        const char* path;    // in the source
        How how;
        const std::string* into;   // null: below r's last child, in the source's own tree
        std::string expected;      // what the tree written reads as; empty: refused
    };
    const Case cases[] = {
        {"moved within its tree, still below the declaration", "r/a/x", Move, nullptr,
         "<r xmlns:p='urn:p'><a><u><p:v/></u></a><s><p:w xmlns:p='urn:p'><p:t/></p:w><k><p:w xmlns:p='urn:p'/><p:z/></k>"
         "<p:x p:k='1'><p:y/></p:x></s></r>"},
        {"moved into a tree without the declaration", "r/a/x", Move, &bare, ""},
        {"copied into a tree without the declaration", "r/a/x", Copy, &bare, ""},
        {"moved, a descendant's prefix declared above it", "r/a/u", Move, &bare, ""},
        {"moved attribute", "r/a/x", MoveAttribute, &bare, ""},
        {"moved into a tree that declares the prefix", "r/a/x", Move, &declaring,
         "<o xmlns:p='urn:p'><i><p:x p:k='1'><p:y/></p:x></i></o>"},
        {"copied, declaring its own prefix", "r/s/w", Copy, &bare,
         "<o><i><p:w xmlns:p='urn:p'><p:t/></p:w></i></o>"},
        {"moved, declaring its own prefix", "r/s/w", Move, &bare, "<o><i><p:w xmlns:p='urn:p'><p:t/></p:w></i></o>"},
        {"moved, a declaration inside that a later sibling is outside of", "r/s/k", Move, &bare, ""},
    };
    auto named = [](KelSyntaxElement* parent, const char* name) {
        KelSyntaxElement* c = parent->firstChild();
        while (c && c->name().toUtf8() != name) c = c->nextSibling();
        return c;
    };
    for (const Case& c : cases) {
        parse(source);
        at("r")->lastChild();
        const std::string path = c.path;
        KelSyntaxElement* element = named(at(path.substr(0, 3)), path == "r/a/x" ? "p:x" : path == "r/a/u" ? "u"
                                                        : path == "r/s/k" ? "k" : "p:w");
        ASSERT_NE(element, nullptr) << c.what;
        XmlKelParser into(&group, true);
        into.initialize();
        KelSyntaxElement* target = at("r/s");
        if (c.into) {
            into.refreshElementsFromBitStream(nullptr, KelBuffer::fromString(*c.into), 546, 1208);
            target = into.rootElement()->firstChild()->lastChild();
            ASSERT_EQ(target->name().toUtf8(), "i") << c.what;
        }
        if (c.how == Move) {
            target->attachAsLastChild(element);
        } else if (c.how == Copy) {
            KelSyntaxElement* copy = target->createLastChild();
            copy->copy(element, true, false, false);
        } else {
            target->attachAsLastChild(element->firstChild());   // p:k
        }
        KelParser& written = c.into ? static_cast<KelParser&>(into) : parser;
        KelWriteBuffer out(1208);
        try {
            written.refreshBitStreamFromElements(nullptr, &out, written.rootElement(), 546, 1208);
            ASSERT_FALSE(c.expected.empty()) << c.what << " was written: " << out.toString();
            EXPECT_TRUE(libxml_reading::readsWithNamespacesAs(out.toString(), c.expected)) << c.what;
        } catch (const KelException& e) {
            ASSERT_TRUE(c.expected.empty()) << c.what << ": " << e.what();
            EXPECT_EQ(e.catalogueNumber(), 5010u) << c.what;
            ASSERT_EQ(e.nested().size(), 1u) << c.what;
            EXPECT_EQ(e.nested()[0]->catalogueNumber(), 5008u) << c.what;
            EXPECT_EQ(e.nested()[0]->inserts(), std::vector<std::string>{"p"}) << c.what;
        }
    }
    // A message whose prefix was never declared, edited where it stands, is written as before.
    parse("<r><p:x/><a>1</a></r>");
    text(at("r/a"))->setValue(KelStringBase(u"2"));
    EXPECT_EQ(write(), "<r><p:x/><a>2</a></r>");
    // A name given a prefix where names rely on declarations finds one in scope, or is refused.
    struct Rename {
        const char* what;
        const char* document;
        std::function<void(EditTest&)> edit;
        const char* expected;   // empty: refused, naming the prefix q
    };
    const Rename renames[] = {
        {"element given an undeclared prefix", "<r xmlns:p='urn:p'><a k='1'><b/></a></r>",
         [](EditTest& t) { t.at("r/a")->setName(KelStringBase(u"q:a")); }, ""},
        {"attribute given an undeclared prefix", "<r xmlns:p='urn:p'><a k='1'><b/></a></r>",
         [](EditTest& t) { t.at("r/a")->firstChild()->setName(KelStringBase(u"q:k")); }, ""},
        {"element given a prefix declared above", "<r xmlns:p='urn:p'><a k='1'><b/></a></r>",
         [](EditTest& t) { t.at("r/a")->setName(KelStringBase(u"p:a")); },
         "<r xmlns:p='urn:p'><p:a k='1'><b/></p:a></r>"},
        {"element and attribute given a prefix and its declaration", "<r xmlns:p='urn:p'><a k='1'><b/></a></r>",
         [](EditTest& t) {
             KelSyntaxElement* a = t.at("r/a");
             a->firstChild()->setName(KelStringBase(u"q:k"));
             a->setName(KelStringBase(u"q:a"));
             KelSyntaxElement* declaration = a->createFirstChild(KelStringBase(u"xmlns:q"));
             declaration->setType(XmlTypeAttribute);
             declaration->setValue(KelStringBase(u"urn:q"));
         },
         "<r xmlns:p='urn:p'><q:a xmlns:q='urn:q' q:k='1'><b/></q:a></r>"},
        {"attribute given the xml prefix", "<r xmlns:p='urn:p'><a k='1'><b/></a></r>",
         [](EditTest& t) { t.at("r/a")->firstChild()->setName(KelStringBase(u"xml:lang")); },
         "<r xmlns:p='urn:p'><a xml:lang='1'><b/></a></r>"},
        {"element renamed in a message without declarations", "<r><a k='1'><b/></a></r>",
         [](EditTest& t) { t.at("r/a")->setName(KelStringBase(u"q:a")); }, "<r><q:a k='1'><b/></q:a></r>"},
    };
    for (const Rename& c : renames) {
        parse(c.document);
        c.edit(*this);
        KelWriteBuffer out(1208);
        try {
            parser.refreshBitStreamFromElements(nullptr, &out, root(), 546, 1208);
            ASSERT_STRNE(c.expected, "") << c.what << " was written: " << out.toString();
            if (std::string(c.document).find("xmlns") != std::string::npos)
                EXPECT_TRUE(libxml_reading::readsWithNamespacesAs(out.toString(), c.expected)) << c.what;
            else
                EXPECT_TRUE(libxml_reading::readsAs(out.toString(), c.expected)) << c.what;
        } catch (const KelException& e) {
            ASSERT_STREQ(c.expected, "") << c.what << ": " << e.what();
            EXPECT_EQ(e.catalogueNumber(), 5010u) << c.what;
            ASSERT_EQ(e.nested().size(), 1u) << c.what;
            EXPECT_EQ(e.nested()[0]->catalogueNumber(), 5008u) << c.what;
            EXPECT_EQ(e.nested()[0]->inserts(), std::vector<std::string>{"q"}) << c.what;
        }
    }
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
    // A part with a prolog of its own: below an element its declarations have no place and are
    // passed over, and what its references stood for is written in their place.
    part->refreshElementsFromBitStream(
        nullptr, KelBuffer::fromString("<?xml version='1.0'?><!DOCTYPE in3 [<!ENTITY e 'E'>]><in3>&e;</in3>"), 546,
        1208);
    const std::string withProlog = write();
    EXPECT_EQ(withProlog, "<r><a/><XML><in3>E</in3></XML><b/></r>");
    EXPECT_TRUE(libxml_reading::readsAs(withProlog, "<r><a/><XML><in3>E</in3></XML><b/></r>"));
}

// Values a user set that would make the output ill-formed are refused when the tree is written
// (5010, with the offending name or text in the nested exception); nothing is written. Values
// that are merely unusual are written, and libxml2 reads them.
TEST_F(EditTest, ValuesThatWouldWriteIllFormedMarkupAreRefused) {
    const std::string document = "<r a='1'><!--c--><?pi d?><e/></r>";
    auto whiteSpace = [](KelSyntaxElement* e, const char16_t* text) {
        e->setType(XmlTypeWhiteSpace);
        e->setValue(KelStringBase(text));
    };
    // A part of an XML declaration the host adds before the document element.
    auto declaration = [](EditTest& t, int part, const char16_t* value) {
        KelSyntaxElement* decl = t.root()->firstChild();
        if (decl->type() != XmlTypeXmlDecl) {
            decl = t.root()->createFirstChild(KelStringBase(u"XmlDeclaration"));
            decl->setType(XmlTypeXmlDecl);
        }
        KelSyntaxElement* child = decl->createLastChild();
        child->setType(part);
        child->setValue(KelStringBase(value));
    };
    // A document type the host adds, with an identifier of each kind where given.
    auto docType = [](EditTest& t, const char16_t* publicId, const char16_t* systemId) {
        KelSyntaxElement* doctype = t.root()->createFirstChild(KelStringBase(u"r"));
        doctype->setType(XmlTypeDocTypeDecl);
        for (auto [type, value] : {std::pair{XmlTypePublicId, publicId}, std::pair{XmlTypeSystemId, systemId}}) {
            if (value == nullptr) continue;
            KelSyntaxElement* id = doctype->createLastChild();
            id->setType(type);
            id->setValue(KelStringBase(value));
        }
    };
    // The same document under a document type that declares its element and attributes, and
    // the nth item of a kind in it.
    const std::string declared = "<!DOCTYPE r [<!ELEMENT r (#PCDATA|e)*><!ATTLIST r a CDATA #IMPLIED k (x|y) 'x'>]>" +
                                 document;
    auto inSubset = [&declared](EditTest& t, int type, int nth) {
        if (t.root()->firstChild()->type() != XmlTypeDocTypeDecl) t.parse(declared);
        std::vector<KelSyntaxElement*> open{t.root()->firstChild()};
        while (!open.empty()) {
            KelSyntaxElement* e = open.back();
            open.pop_back();
            if (e->type() == type && nth-- == 0) return e;
            for (KelSyntaxElement* c = e->lastChild(); c; c = c->previousSibling()) open.push_back(c);
        }
        ADD_FAILURE() << "no such declaration";
        return t.root();
    };
    auto comment = [](EditTest& t) { return t.at("r")->firstChild()->nextSibling(); };
    auto pi = [&](EditTest& t) { return comment(t)->nextSibling(); };
    struct Case {
        const char* what;
        std::function<void(EditTest&)> edit;
        unsigned number;      // of the nested exception; 0: written
        const char* insertOrOutput;
    };
    const Case cases[] = {
        {"comment with --", [&](EditTest& t) { comment(t)->setValue(KelStringBase(u"x--y")); }, 5006, "x--y"},
        {"comment ending in -", [&](EditTest& t) { comment(t)->setValue(KelStringBase(u"x-")); }, 5006, "x-"},
        {"PI data with ?>", [&](EditTest& t) { pi(t)->setValue(KelStringBase(u"a?>b")); }, 5006, "a?>b"},
        {"PI target xml", [&](EditTest& t) { pi(t)->setName(KelStringBase(u"xml")); }, 5008, "xml"},
        {"PI target XmL", [&](EditTest& t) { pi(t)->setName(KelStringBase(u"XmL")); }, 5008, "XmL"},
        {"PI target not a name", [&](EditTest& t) { pi(t)->setName(KelStringBase(u"p i")); }, 5008, "p i"},
        {"element name with a space", [](EditTest& t) { t.at("r/e")->setName(KelStringBase(u"b c")); }, 5008, "b c"},
        {"element name starting with a digit", [](EditTest& t) { t.at("r/e")->setName(KelStringBase(u"1e")); },
         5008, "1e"},
        {"attribute name with a space", [](EditTest& t) { t.at("r")->firstChild()->setName(KelStringBase(u"b c")); },
         5008, "b c"},
        {"attribute name with <", [](EditTest& t) { t.at("r")->firstChild()->setName(KelStringBase(u"a<")); }, 5008,
         "a<"},
        // Kinds that no markup in content stands for were left out without a word.
        {"new child whose type was never set",
         [](EditTest& t) { t.at("r")->createLastChild(KelStringBase(u"n"))->setValue(KelStringBase(u"x")); }, 5006, "n"},
        {"XML declaration inside an element",
         [](EditTest& t) { t.at("r/e")->createLastChild(KelStringBase(u"XmlDeclaration"))->setType(XmlTypeXmlDecl); },
         5006, "XmlDeclaration"},
        {"element put below an attribute",
         [](EditTest& t) { t.at("r")->firstChild()->createLastChild(KelStringBase(u"item"))->setType(XmlTypeElement); },
         5006, "item"},
        {"element put below text",
         [](EditTest& t) {
             KelSyntaxElement* text = t.at("r/e")->createLastChild();
             text->setType(XmlTypeContent);
             text->setValue(KelStringBase(u"t"));
             text->createLastChild(KelStringBase(u"inner"))->setType(XmlTypeElement);
         },
         5006, "inner"},
        // Outside the document element only white space may stand between the items.
        {"white space before the document element holding text",
         [&](EditTest& t) { whiteSpace(t.root()->createFirstChild(), u"junk"); }, 5006, "junk"},
        {"white space after the document element holding text",
         [&](EditTest& t) { whiteSpace(t.root()->createLastChild(), u"\n<x/>"); }, 5006, "\n<x/>"},
        // The XML declaration's parts and the document type's names are written as they stand.
        {"declaration version that is no version",
         [&](EditTest& t) { declaration(t, XmlTypeVersion, u"2.0'?><x"); }, 5006, "2.0'?><x"},
        {"declaration encoding taken for UTF-8 that is no encoding name",
         [&](EditTest& t) { declaration(t, XmlTypeEncoding, u"UTF 8"); }, 5006, "UTF 8"},
        {"declaration standalone neither yes nor no",
         [&](EditTest& t) { declaration(t, XmlTypeStandalone, u"maybe"); }, 5006, "maybe"},
        {"document type name with a space",
         [](EditTest& t) { t.root()->createFirstChild(KelStringBase(u"r x"))->setType(XmlTypeDocTypeDecl); }, 5008,
         "r x"},
        {"entity declared under a name with a space",
         [](EditTest& t) {
             KelSyntaxElement* doctype = t.root()->createFirstChild(KelStringBase(u"r"));
             doctype->setType(XmlTypeDocTypeDecl);
             KelSyntaxElement* subset = doctype->createLastChild();
             subset->setType(XmlTypeInternalSubset);
             KelSyntaxElement* entity = subset->createLastChild(KelStringBase(u"e e"));
             entity->setType(XmlTypeEntityDecl);
             KelSyntaxElement* text = entity->createLastChild();
             text->setType(XmlTypeEntityValue);
             text->setValue(KelStringBase(u"v"));
         },
         5008, "e e"},
        // A system literal holds no references, and a public identifier only its own characters.
        {"system identifier holding both quotes", [&](EditTest& t) { docType(t, nullptr, u"a\"b'c"); }, 5006,
         "a\"b'c"},
        {"system literal after a public identifier holding both quotes",
         [&](EditTest& t) { docType(t, u"-//p", u"a'b\"c"); }, 5006, "a'b\"c"},
        {"public identifier holding a double quote", [&](EditTest& t) { docType(t, u"a\"b", u"s"); }, 5006, "a\"b"},
        {"public identifier holding a brace", [&](EditTest& t) { docType(t, u"a{b", u"s"); }, 5006, "a{b"},
        {"public identifier holding a tab", [&](EditTest& t) { docType(t, u"a\tb", u"s"); }, 5006, "a\tb"},
        {"public identifier holding a letter beyond ASCII", [&](EditTest& t) { docType(t, u"\u00e9", u"s"); }, 5006,
         "\xc3\xa9"},
        // Declarations are written as they stand, and only what XML reads.
        {"content model not closed",
         [&](EditTest& t) { inSubset(t, XmlTypeElementDef, 0)->setValue(KelStringBase(u"(a|b")); }, 5006, "(a|b"},
        {"content model mixing separators",
         [&](EditTest& t) { inSubset(t, XmlTypeElementDef, 0)->setValue(KelStringBase(u"(a,b|c)")); }, 5006,
         "(a,b|c)"},
        {"mixed content naming elements but not repeated",
         [&](EditTest& t) { inSubset(t, XmlTypeElementDef, 0)->setValue(KelStringBase(u"(#PCDATA|e)")); }, 5006,
         "(#PCDATA|e)"},
        {"content model ending the declaration",
         [&](EditTest& t) { inSubset(t, XmlTypeElementDef, 0)->setValue(KelStringBase(u"EMPTY>")); }, 5006, "EMPTY>"},
        {"attribute type that is no type",
         [&](EditTest& t) { inSubset(t, XmlTypeAttDefType, 0)->setName(KelStringBase(u"TEXT")); }, 5006, "TEXT"},
        {"enumeration not closed",
         [&](EditTest& t) { inSubset(t, XmlTypeAttDefType, 1)->setValue(KelStringBase(u"(x|y")); }, 5006, "(x|y"},
        {"default that is no default",
         [&](EditTest& t) { inSubset(t, XmlTypeAttDefDefaultType, 0)->setValue(KelStringBase(u"NONE")); }, 5006,
         "NONE"},
        // Unusual but well-formed.
        {"declarations spaced and nested as XML allows",
         [&](EditTest& t) {
             inSubset(t, XmlTypeElementDef, 0)->setValue(KelStringBase(u" ( e , ((e|e:f))+ , e? )* "));
             inSubset(t, XmlTypeAttDefType, 1)->setValue(KelStringBase(u"( 1x | -y )"));
             inSubset(t, XmlTypeAttDefDefaultType, 0)->setValue(KelStringBase(u"REQUIRED"));
         },
         0,
         "<!DOCTYPE r [<!ELEMENT r  ( e , ((e|e:f))+ , e? )* ><!ATTLIST r a CDATA #REQUIRED k ( 1x | -y ) \"x\">]>"
         "<r a='1'><!--c--><?pi d?><e/></r>"},
        {"identifiers holding one kind of quote each",
         [&](EditTest& t) { docType(t, u"-//a'b (c)+,./:=?;!*#@$_%\r\n", u"s\"t"); }, 0,
         "<!DOCTYPE r PUBLIC \"-//a'b (c)+,./:=?;!*#@$_%\r\n\" 's\"t'><r a='1'><!--c--><?pi d?><e/></r>"},
        {"comment with single dashes", [&](EditTest& t) { comment(t)->setValue(KelStringBase(u"-x-y")); }, 0,
         "<r a='1'><!---x-y--><?pi d?><e/></r>"},
        {"PI target starting with xml", [&](EditTest& t) { pi(t)->setName(KelStringBase(u"xml-stylesheet")); }, 0,
         "<r a='1'><!--c--><?xml-stylesheet d?><e/></r>"},
        {"PI data with ? and >", [&](EditTest& t) { pi(t)->setValue(KelStringBase(u"? >")); }, 0,
         "<r a='1'><!--c--><?pi ? >?><e/></r>"},
        {"white space after the document element", [&](EditTest& t) { whiteSpace(t.root()->createLastChild(), u"\n"); },
         0, "<r a='1'><!--c--><?pi d?><e/></r>\n"},
        {"declaration of version 1.1 and standalone no",
         [&](EditTest& t) {
             declaration(t, XmlTypeVersion, u"1.1");
             declaration(t, XmlTypeStandalone, u"no");
         },
         0, "<?xml version=\"1.1\" standalone=\"no\"?><r a='1'><!--c--><?pi d?><e/></r>"},
        {"names with a colon, a dot and letters beyond ASCII",
         [](EditTest& t) {
             t.at("r/e")->setName(KelStringBase::fromUtf8("p:\xc3\xa9.l-1\xc2\xb7"));
             t.at("r")->firstChild()->setName(KelStringBase::fromUtf8("_\xe6\x97\xa5"));
         },
         0, "<r _\xe6\x97\xa5='1'><!--c--><?pi d?><p:\xc3\xa9.l-1\xc2\xb7/></r>"},
    };
    for (const Case& c : cases) {
        parse(document);
        c.edit(*this);
        KelWriteBuffer out(1208);
        try {
            parser.refreshBitStreamFromElements(nullptr, &out, root(), 546, 1208);
            EXPECT_EQ(c.number, 0u) << c.what << " was written: " << out.toString();
            EXPECT_EQ(out.toString(), c.insertOrOutput) << c.what;
            EXPECT_TRUE(libxml_reading::readsAs(out.toString(), c.insertOrOutput)) << c.what;
        } catch (const KelException& e) {
            ASSERT_NE(c.number, 0u) << c.what << ": " << e.what();
            EXPECT_EQ(e.catalogueNumber(), 5010u) << c.what;
            ASSERT_EQ(e.nested().size(), 1u) << c.what;
            EXPECT_EQ(e.nested()[0]->catalogueNumber(), c.number) << c.what;
            EXPECT_EQ(e.nested()[0]->inserts(), std::vector<std::string>{c.insertOrOutput}) << c.what;
        }
    }
}

// A start tag that names one attribute twice is refused, whether a rename or a new attribute
// makes it so, and in a tag with many attributes too; distinct names are written.
TEST_F(EditTest, AnAttributeNameSetTwiceIsRefused) {
    std::string many = "<r";
    for (int i = 0; i < 40; ++i) many += " a" + std::to_string(i) + "='" + std::to_string(i) + "'";
    many += "><e x='1' y='2'/></r>";
    for (const char* target : {"r/e", "r"}) {
        parse(many);
        KelSyntaxElement* element = at(target);
        KelSyntaxElement* last = element->firstChild();
        while (last->nextSibling() && last->nextSibling()->type() == XmlTypeAttribute) last = last->nextSibling();
        last->setName(KelStringBase(element->firstChild()->name()));
        KelWriteBuffer out(1208);
        try {
            parser.refreshBitStreamFromElements(nullptr, &out, root(), 546, 1208);
            ADD_FAILURE() << target << ": written " << out.toString();
        } catch (const KelException& e) {
            EXPECT_EQ(e.catalogueNumber(), 5010u) << target;
            ASSERT_EQ(e.nested().size(), 1u) << target;
            EXPECT_EQ(e.nested()[0]->catalogueNumber(), 5006u) << target;
            EXPECT_EQ(e.nested()[0]->inserts(), std::vector<std::string>{element->firstChild()->name().toUtf8()});
        }
    }
    parse(many);
    at("r/e")->firstChild()->setName(KelStringBase(u"z"));
    const std::string written = write();
    EXPECT_NE(written.find("<e z='1' y='2'/>"), std::string::npos) << written;
    EXPECT_TRUE(libxml_reading::readsAs(written, written));
}

// Every mutator a user can reach marks what it changes, so that span reuse never writes the old
// bytes of a changed value: the value setters that store on the element itself, the reset, and
// a new identity for a resolved element. The builder's own values mark nothing: an unchanged
// message is still copied whole.
TEST_F(EditTest, EveryValueMutatorMarksWhatItChanges) {
    const std::string document = "<order id='PO-1'><qty>2</qty><note>n</note></order>";
    auto id = [](EditTest& t) { return t.at("order")->firstChild(); };
    auto qty = [](EditTest& t) { return text(t.at("order/qty")); };
    struct Case {
        const char* what;
        std::function<void(EditTest&)> edit;
        const char* expected;
    };
    const Case cases[] = {
        {"attribute, string", [&](EditTest& t) { id(t)->setActualValue(KelStringBase(u"PO-2")); },
         "<order id='PO-2'><qty>2</qty><note>n</note></order>"},
        {"attribute, UTF-16 text", [&](EditTest& t) { id(t)->setActualValue(u"PO-3"); },
         "<order id='PO-3'><qty>2</qty><note>n</note></order>"},
        {"attribute, UTF-16 text and length", [&](EditTest& t) { id(t)->setActualValue(u"PO-45", 4); },
         "<order id='PO-4'><qty>2</qty><note>n</note></order>"},
        {"attribute, value", [&](EditTest& t) { id(t)->setActualValue(KelValue(KelStringBase(u"PO-5"))); },
         "<order id='PO-5'><qty>2</qty><note>n</note></order>"},
        // An attribute without a value is written as none.
        {"attribute, reset", [&](EditTest& t) { id(t)->reset(); }, "<order><qty>2</qty><note>n</note></order>"},
        {"text, string", [&](EditTest& t) { qty(t)->setActualValue(KelStringBase(u"3")); },
         "<order id='PO-1'><qty>3</qty><note>n</note></order>"},
        {"text, integer", [&](EditTest& t) { qty(t)->setActualValue(7); },
         "<order id='PO-1'><qty>7</qty><note>n</note></order>"},
        {"text, reset", [&](EditTest& t) { qty(t)->reset(); }, "<order id='PO-1'><qty></qty><note>n</note></order>"},
        {"element, new name by resolveIdentity",
         [](EditTest& t) { t.at("order/note")->resolveIdentity(XmlTypeElement, KelStringBase(u"memo")); },
         "<order id='PO-1'><qty>2</qty><memo>n</memo></order>"},
    };
    for (const bool spanReuse : {true, false}) {
        for (const Case& c : cases) {
            XmlKelParser p(&group, spanReuse);
            p.initialize();
            p.refreshElementsFromBitStream(nullptr, KelBuffer::fromString(document), 546, 1208);
            current = &p;
            c.edit(*this);
            KelWriteBuffer out(1208);
            p.refreshBitStreamFromElements(nullptr, &out, p.rootElement(), 546, 1208);
            current = &parser;
            EXPECT_TRUE(libxml_reading::readsAs(out.toString(), c.expected)) << c.what << (spanReuse ? "" : ", no reuse");
        }
    }
    // Nothing changed: every element keeps the span the builder gave it.
    parse(document);
    for (KelSyntaxElement* e : {at("order"), at("order/qty"), at("order/note")})
        EXPECT_TRUE(static_cast<XmlKelSyntaxElement*>(e)->hasSpan()) << e->name().toUtf8();
    EXPECT_EQ(write(), document);
}
