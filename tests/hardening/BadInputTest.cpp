// Hostile and broken input, one row each: every row ends in a clear error of the right kind
// (or, where the code page decides, in the right text), never in a crash, and leaves the input
// bytes as they were and the elements built so far readable.
#include "tests/builder/BuilderTestDocument.hpp"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

// Walks everything (without recursion); "ok <text of the document element>" or "error <number>
// <cause number>". Afterwards checks that the bitstream is untouched and what was built reads.
std::string outcome(const std::string& bytes, int ccsid = 1208, int encoding = 546) {
    KelMessageGroup group;
    XmlKelParser parser(&group, true);
    parser.initialize();
    const KelBuffer input = KelBuffer::fromString(bytes);
    std::string result;
    try {
        parser.refreshElementsFromBitStream(nullptr, input, encoding, ccsid);
        KelSyntaxElement* root = parser.rootElement();
        KelSyntaxElement* e = root;
        while (e) {
            if (KelSyntaxElement* c = e->firstChild()) {
                e = c;
                continue;
            }
            while (e != root && !e->nextSibling()) e = e->parent();
            e = e == root ? nullptr : e->nextSibling();
        }
        parser.validate();
        for (KelSyntaxElement* c = root->firstChild(); c; c = c->nextSibling())
            if (c->type() == XmlTypeElement) result = "ok " + c->value().valueAsCharacter().toUtf8();
    } catch (const KelException& failure) {
        result = "error " + std::to_string(failure.catalogueNumber());
        if (!failure.nested().empty()) result += " " + std::to_string(failure.nested().front()->catalogueNumber());
    }
    EXPECT_EQ(input.toString(), bytes) << "the input was changed";
    EXPECT_EQ(parser.storedBitStream().toString(), bytes) << "the stored input was changed";
    // Everything built, by known links only: names and values still read.
    KelSyntaxElement* root = parser.rootElement();
    for (KelSyntaxElement* e = root; e;) {
        (void)e->storedName().toUtf8();
        (void)e->storedValue().valueAsCharacter().toUtf8();
        if (KelSyntaxElement* c = e->knownFirstChild()) {
            e = c;
            continue;
        }
        while (e != root && !e->knownNextSibling()) e = e->parent();
        e = e == root ? nullptr : e->knownNextSibling();
    }
    return result;
}

const std::string kParseError = "error 5009 5004";

TEST(BadInput, EmptyTruncatedGarbageAndNulBytes) {
    // Nothing at all is no document: the fault the tree-less check and the tree checks give.
    EXPECT_EQ(outcome(""), "error 5009 5005");
    const std::string message = "<?xml version='1.0'?><order id='7'>bolt &amp; nut<item qty=\"2\"/></order><!--c-->";
    EXPECT_EQ(outcome(message), "ok bolt & nut");
    // Cut at every byte: never a tree that passes for complete.
    for (std::size_t cut = 0; cut < message.size(); ++cut) {
        if (cut == message.find("<!--")) continue;   // there the document is complete without its comment
        EXPECT_EQ(outcome(message.substr(0, cut)).substr(0, 10), "error 5009") << "cut at " << cut;
    }
    std::string garbage;
    for (int i = 0; i < 512; ++i) garbage += static_cast<char>((i * 7919 + 13) & 0xFF);
    EXPECT_EQ(outcome(garbage), kParseError);
    EXPECT_EQ(outcome(std::string("<a>x\0y</a>", 10)), kParseError);
    EXPECT_EQ(outcome(std::string("\0\0\0\0", 4)), kParseError);
    // NUL padding after a complete document is where the message ends, as with other trailing bytes.
    EXPECT_EQ(outcome(std::string("<a>t</a>\0\0", 10)), "ok t");
}

TEST(BadInput, BytesThatDoNotFitTheirCodePage) {
    // Invalid UTF-8: a lone continuation byte, an overlong form, a surrogate, a cut sequence.
    for (const char* bad : {"\x80", "\xC0\xAF", "\xED\xA0\x80", "\xE2\x82"})
        EXPECT_EQ(outcome(std::string("<a>") + bad + "</a>"), kParseError) << bad;
    // UTF-16 of odd length.
    const std::string utf16 = encodeAs("<a>text</a>", 1200);
    EXPECT_EQ(outcome(utf16, 1200, 273), "ok text");
    EXPECT_EQ(outcome(utf16 + "<", 1200, 273).substr(0, 10), "error 5009");
    // A lone surrogate in UTF-16 is no character wherever it stands: before a quote, an
    // ampersand or '?>', in a declared default or a system literal, as in text.
    for (const auto& [before, after] : std::vector<std::pair<std::string, std::string>>{
             {"<a b='x", "'/>"}, {"<a b=\"x", "\">t</a>"}, {"<a b='x", "&amp;'/>"}, {"<a><?p x", "?></a>"},
             {"<!DOCTYPE a [<!ATTLIST a b CDATA 'x", "'>]><a/>"}, {"<!DOCTYPE a [<!ENTITY e 'x", "'>]><a/>"},
             {"<!DOCTYPE a SYSTEM 'x", "'><a/>"}, {"<a>x", "</a>"}}) {
        for (const char* lone : {"\x00\xD8", "\x00\xDC"}) {
            const std::string bytes = encodeAs(before, 1200, -1) + std::string(lone, 2) + encodeAs(after, 1200, -1);
            EXPECT_EQ(outcome(bytes, 1200, 546), kParseError) << before << "|" << after;
        }
    }
    // A UTF-16 byte-order mark in a UTF-8 message; a UTF-8 mark in a UTF-16 one.
    EXPECT_EQ(outcome("\xFF\xFE<a/>"), kParseError);
    EXPECT_EQ(outcome("\xEF\xBB\xBF" + utf16, 1200, 273), kParseError);
    // A declaration that names another encoding: the ccsid says what the bytes are.
    EXPECT_EQ(outcome("<?xml version='1.0' encoding='ISO-8859-1'?><a>\xC3\xA9</a>"), "ok \xC3\xA9");
    EXPECT_EQ(outcome(encodeAs("<?xml version='1.0' encoding='UTF-8'?><a>\xC3\xA9</a>", 37), 37), "ok \xC3\xA9");
    // A code page no converter knows, and one that is not a code page at all.
    EXPECT_EQ(outcome("<a/>", 4242), kParseError);
    EXPECT_EQ(outcome("<a/>", -1), kParseError);
}

TEST(BadInput, HandBuiltTreesWithEveryShapeTheChecksRefuse) {
    struct Shape {
        const char* what;
        std::function<void(KelSyntaxElement*)> build;
        unsigned number;
    };
    auto add = [](KelSyntaxElement* parent, int type, const char* name) {
        KelSyntaxElement* e = parent->createLastChild(ks(name));
        e->setType(type);
        return e;
    };
    const Shape shapes[] = {
        {"no body", [&](KelSyntaxElement*) {}, 5005},
        {"two bodies", [&](KelSyntaxElement* r) { add(r, XmlTypeElement, "a"); add(r, XmlTypeElement, "b"); }, 5005},
        {"two declarations",
         [&](KelSyntaxElement* r) { add(r, XmlTypeXmlDecl, "XML"); add(r, XmlTypeXmlDecl, "XML"); add(r, XmlTypeElement, "a"); },
         5006},
        {"two doctypes",
         [&](KelSyntaxElement* r) { add(r, XmlTypeDocTypeDecl, "a"); add(r, XmlTypeDocTypeDecl, "a"); add(r, XmlTypeElement, "a"); },
         5006},
        {"text at the top", [&](KelSyntaxElement* r) { add(r, XmlTypeContent, ""); add(r, XmlTypeElement, "a"); }, 5007},
        {"attribute at the top", [&](KelSyntaxElement* r) { add(r, XmlTypeAttribute, "x"); add(r, XmlTypeElement, "a"); }, 5007},
        {"empty name", [&](KelSyntaxElement* r) { add(add(r, XmlTypeElement, "a"), XmlTypeElement, ""); }, 5008},
        {"slash in a name", [&](KelSyntaxElement* r) { add(r, XmlTypeElement, "a/b"); }, 5008},
        {"comment opener as a name", [&](KelSyntaxElement* r) { add(r, XmlTypeElement, "!--x"); }, 5008},
    };
    for (const Shape& shape : shapes) {
        KelMessageGroup group;
        XmlKelParser parser(&group, true);
        parser.initialize();
        parser.refreshElementsFromBitStream(nullptr, KelBuffer::fromString("<seed/>"), 546, 1208);
        KelSyntaxElement* root = parser.rootElement();
        root->firstChild()->detach();
        shape.build(root);
        KelWriteBuffer out(1208);
        out.append("kept", 4);
        try {
            parser.refreshBitStreamFromElements(nullptr, &out, root, 546, 1208);
            ADD_FAILURE() << shape.what << ": written as " << out.toString();
        } catch (const KelParserException& e) {
            // The check's own error, inside the write error.
            EXPECT_EQ(e.catalogueNumber(), 5010u) << shape.what;
            ASSERT_EQ(e.nested().size(), 1u) << shape.what;
            EXPECT_EQ(e.nested().front()->catalogueNumber(), shape.number) << shape.what;
        }
        // Nothing half-written is claimed: the buffer holds what it held before.
        EXPECT_EQ(out.toString(), "kept") << shape.what;
    }
}

} // namespace
