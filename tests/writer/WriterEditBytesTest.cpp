// What a write changes, byte for byte: text the output page cannot hold in a CDATA section, a
// document type written anew around parameter entity references, where a refused conversion
// stands, and how few bytes an edit rewrites. Every output is also read by libxml2.
#include "WriterTestDocument.hpp"
#include "WriterTestTree.hpp"

#include "tests/support/LibxmlCanonicalReader.hpp"

#include "host/KelException.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Doc = WriterTestDocument;

// What libxml2 reads from `bytes` (told the page when it is one no reader finds by itself).
std::string canonical(const std::string& bytes, const char* encoding = nullptr) {
    const LibxmlReading reading = LibxmlCanonicalReader::read(bytes, encoding);
    return reading.ok ? reading.canonical : "error: " + reading.error;
}

// The element at `path` (names separated by '/') below the document root, or null.
KelSyntaxElement* elementAt(KelSyntaxElement* root, const std::string& path) {
    KelSyntaxElement* e = root;
    std::size_t from = 0;
    while (e != nullptr && from <= path.size()) {
        const std::size_t to = std::min(path.find('/', from), path.size());
        const std::string step = path.substr(from, to - from);
        KelSyntaxElement* found = nullptr;
        for (KelSyntaxElement* c = e->firstChild(); c && !found; c = c->nextSibling())
            if (c->type() == XmlTypeElement && c->name().toUtf8() == step) found = c;
        e = found;
        from = to + 1;
    }
    return e;
}

// One edit of one value: `path` names an element, `attribute` one of its attributes (set, or
// added when it has none of that name; removed when `value` is null), or nothing for the
// element's text.
struct Edit {
    const char* path;
    const char* attribute;   // null: the element's text
    const char* value;
};

void apply(Doc& doc, const Edit& edit) {
    KelSyntaxElement* element = elementAt(doc.root(), edit.path);
    ASSERT_NE(element, nullptr) << edit.path;
    if (edit.attribute == nullptr) {
        element->setValue(ks(edit.value));
        return;
    }
    for (KelSyntaxElement* c = element->firstChild(); c; c = c->nextSibling()) {
        if (c->type() == XmlTypeAttribute && c->name().toUtf8() == edit.attribute) {
            if (edit.value == nullptr) c->detach();
            else c->setValue(ks(edit.value));
            return;
        }
    }
    KelSyntaxElement* added = element->createFirstChild();
    added->setType(XmlTypeAttribute);
    added->setName(ks(edit.attribute));
    added->setValue(ks(edit.value));
}

// The pages every edit is written in: the input's page, and its bytes compared as such.
struct Page {
    int ccsid;
    int encoding;
    const char* mark;
};
const Page kPages[] = {{1208, 546, ""}, {1200, 273, "\xFE\xFF"}, {37, 785, ""}};

// Writes `input` (UTF-8 text) in each page after `edit` and expects `expected` in that page.
void expectEditWrites(const std::string& input, const Edit& edit, const std::string& expected) {
    for (const Page& page : kPages) {
        SCOPED_TRACE("ccsid " + std::to_string(page.ccsid));
        const std::string bytes = page.mark + encodeAs(input, page.ccsid);
        Doc doc(bytes, page.ccsid, page.encoding);
        apply(doc, edit);
        const std::string out = doc.write(page.ccsid, page.encoding);
        EXPECT_EQ(out, page.mark + encodeAs(expected, page.ccsid));
        const char* name = page.ccsid == 37 ? "IBM037" : nullptr;
        EXPECT_EQ(canonical(out, name), canonical(expected));
    }
}

// `doc` with its first `from` replaced by `to`.
std::string replaced(std::string doc, const std::string& from, const std::string& to) {
    doc.replace(doc.find(from), from.size(), to);
    return doc;
}

struct EditCase {
    Edit edit;
    std::string expected;
};

void expectEachEditWrites(const std::string& doc, const std::vector<EditCase>& cases) {
    for (const EditCase& c : cases) {
        SCOPED_TRACE(std::string(c.edit.path) + (c.edit.attribute ? std::string("/@") + c.edit.attribute : ""));
        expectEditWrites(doc, c.edit, c.expected);
    }
}

// ---- an edit rewrites only what it changed ------------------------------------------------------

TEST(WriterEditBytes, UnchangedTextAndSectionsUnderAChangedParentKeepTheirBytes) {
    const std::string crlf = "<r>\r\n  <a x=\"1\">t&#x41;\r\nu<![CDATA[c\r\nd]]>&amp;&#233;<b>z</b>\r\n<!--k-->\r\n</a>\r\n</r>\r\n";
    struct Case {
        std::string input;
        Edit edit;
        std::string expected;
    } cases[] = {
        {crlf, {"r/a", "x", "2"},
         "<r>\r\n  <a x=\"2\">t&#x41;\r\nu<![CDATA[c\r\nd]]>&amp;&#233;<b>z</b>\r\n<!--k-->\r\n</a>\r\n</r>\r\n"},
        {crlf, {"r/a/b", nullptr, "w"},
         "<r>\r\n  <a x=\"1\">t&#x41;\r\nu<![CDATA[c\r\nd]]>&amp;&#233;<b>w</b>\r\n<!--k-->\r\n</a>\r\n</r>\r\n"},
        {"<r>&#xD;&#10;<a>1</a>x&lt;y<![CDATA[]]]]><![CDATA[>]]>\n</r>", {"r/a", nullptr, "2"},
         "<r>&#xD;&#10;<a>2</a>x&lt;y<![CDATA[]]]]><![CDATA[>]]>\n</r>"},
        // Text before and after a reference to a declared entity, beside predefined ones.
        {"<!DOCTYPE r [<!ENTITY e 'ee'>]><r k='1'>A&#66;\r\nC&e;D&#69;\r\n<b/>z&amp;&e;</r>", {"r", "k", "2"},
         "<!DOCTYPE r [<!ENTITY e 'ee'>]><r k='2'>A&#66;\r\nC&e;D&#69;\r\n<b/>z&amp;&e;</r>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        expectEditWrites(c.input, c.edit, c.expected);
    }
}

TEST(WriterEditBytes, AncestorsOfAnEditKeepTheirStartAndEndTags) {
    // Start tags over several lines, references in attribute values, CRLF line ends.
    const std::string doc = "<order\r\n    id=\"&#x50;-1\"\r\n    note='a &amp; b'>\r\n"
                            "  <items count = \"2\">\r\n    <item sku=\"A\">one</item>\r\n"
                            "    <item sku=\"B\" qty=\"1\">two&#xD;</item>\r\n  </items>\r\n</order>\r\n";
    expectEachEditWrites(doc, {
                                  {{"order/items/item", nullptr, "uno"}, replaced(doc, ">one<", ">uno<")},
                                  {{"order/items/item", "sku", "Z"}, replaced(doc, "sku=\"A\"", "sku=\"Z\"")},
                              });
}

TEST(WriterEditBytes, AChangedAddedOrRemovedAttributeRewritesOnlyItsOwnBytes) {
    const std::string tag = "<r>\r\n  <e a=\"1\"\r\n     b = 'x&amp;y'\r\n\tc=\"&#65;\"   >t&#66;</e\t>\r\n"
                            "  <f k='v' />\r\n  <g/>\r\n</r>\r\n";
    auto with = [&](const std::string& from, const std::string& to) { return replaced(tag, from, to); };
    expectEachEditWrites(tag, {
        // The value alone, between the quotes it had; a quote inside is escaped.
        {{"r/e", "b", "n'w"}, with("'x&amp;y'", "'n&apos;w'")},
        {{"r/e", "a", "2"}, with("a=\"1\"", "a=\"2\"")},
        {{"r/e", "c", "Z"}, with("\"&#65;\"", "\"Z\"")},
        {{"r/f", "k", "w"}, with("k='v'", "k='w'")},
        // Added: its own bytes where it stands in the tree, the rest copied.
        {{"r/e", "z", "n"}, with("<e a=", "<e z=\"n\" a=")},
        {{"r/g", "z", "n"}, with("<g/>", "<g z=\"n\"/>")},
        // Removed: its bytes and the white space before it, nothing else.
        {{"r/e", "b", nullptr}, with("\r\n     b = 'x&amp;y'", "")},
        {{"r/e", "a", nullptr}, with(" a=\"1\"", "")},
        {{"r/e", "c", nullptr}, with("\r\n\tc=\"&#65;\"", "")},
        {{"r/f", "k", nullptr}, with(" k='v'", "")},
    });
}

TEST(WriterEditBytes, AnAttributeFromAnotherTagIsWrittenFromItsValue) {
    // Moved or copied, an attribute no longer stands in the tag it was read from: the tag it
    // joins has one of the same name with another value, which must not be copied for it.
    for (bool move : {true, false}) {
        SCOPED_TRACE(move ? "moved" : "copied");
        Doc doc("<r><a x='1' y='2'/><b x='3'/></r>", 1208, 546);
        KelSyntaxElement* a = elementAt(doc.root(), "r/a");
        KelSyntaxElement* b = elementAt(doc.root(), "r/b");
        KelSyntaxElement* ax = a->firstChild();
        KelSyntaxElement* bx = b->firstChild();
        ASSERT_TRUE(ax && bx);
        if (move) {
            bx->detach();
            b->attachAsLastChild(ax);
        } else {
            bx->copy(ax, true, true, false);
        }
        const std::string out = doc.write();
        const std::string expected = move ? "<r><a y='2'/><b x='1'/></r>" : "<r><a x='1' y='2'/><b x='1'/></r>";
        EXPECT_EQ(canonical(out), canonical(expected)) << out;
    }
}

// ---- CDATA sections holding characters the output page lacks ---------------------------------

TEST(WriterEditBytes, CDataHoldingCharactersThePageLacksIsSplitAroundCharacterReferences) {
    struct Case {
        const char* content;    // UTF-8, inside <a>...</a>
        int ccsid;
        const char* encoding;   // for libxml2
        const char* expected;   // UTF-8 of what is written inside <a>...</a>
    } cases[] = {
        {"<![CDATA[\xE2\x80\x9C<Alt>\xE2\x80\x9D]]>", 819, "ISO-8859-1",
         "<![CDATA[]]>&#x201C;<![CDATA[<Alt>]]>&#x201D;"},
        {"<![CDATA[x\xE2\x82\xAC]]>y\xE2\x82\xAC", 819, "ISO-8859-1", "<![CDATA[x]]>&#x20AC;y&#x20AC;"},
        {"<![CDATA[a]]\xE2\x82\xAC>b]]>", 819, "ISO-8859-1", "<![CDATA[a]]]]>&#x20AC;<![CDATA[>b]]>"},
        {"<![CDATA[\xF0\x9F\x98\x80 \xC3\xA9&]]>", 819, "ISO-8859-1", "<![CDATA[]]>&#x1F600;<![CDATA[ \xC3\xA9&]]>"},
        {"<![CDATA[<\xE2\x82\xAC\r\n>]]>", 37, "IBM037", "<![CDATA[<]]>&#x20AC;<![CDATA[\n>]]>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        const std::string input = std::string("<a>") + c.content + "</a>";
        for (bool reuse : {true, false}) {
            Doc doc(input, 1208, 546, reuse);
            std::string out;
            ASSERT_NO_THROW(out = doc.write(c.ccsid, 785));
            EXPECT_EQ(out, encodeAs(std::string("<a>") + c.expected + "</a>", c.ccsid));
            EXPECT_EQ(canonical(out, c.encoding), canonical(input));
        }
    }
}

// ---- document types written anew around parameter entity references ---------------------------

TEST(WriterEditBytes, RewrittenDocumentTypeAddsNoSpaceAfterParameterEntityReferences) {
    const char* documents[] = {
        "<!DOCTYPE r [<!ENTITY % p \"<!-- c -->\"> %p;\n]><r/>",
        "<!DOCTYPE r [<!ENTITY % p \"<!-- c -->\">%p;<!ENTITY e \"x\">]><r>&e;</r>",
        "<!DOCTYPE r [<!ENTITY % p \"<!-- c -->\">%p;%p;\t]><r/>",
        "<!DOCTYPE r [<!ENTITY % p SYSTEM \"x.ent\"> %p; <!ENTITY e \"x\">]><r/>",
        "<!DOCTYPE r SYSTEM \"r.dtd\" [%u;\n<!ENTITY % p \"<!ENTITY f 'y'>\">%p;]><r>&f;</r>",
    };
    for (const char* document : documents) {
        SCOPED_TRACE(document);
        Doc original(document, 1208, 546, false);
        const std::string tree = original.describe();
        const std::string once = original.write();
        EXPECT_EQ(once, document);
        // Written again from what it wrote: the same bytes and the same tree, every time.
        Doc again(once, 1208, 546, false);
        EXPECT_EQ(again.describe(), tree);
        EXPECT_EQ(again.write(), once);
        EXPECT_EQ(canonical(once), canonical(document));
    }
}

// ---- a conversion that must refuse says where ----------------------------------------------------

TEST(WriterEditBytes, RefusedConversionSaysWhereInTheInputAndInWhat) {
    struct Case {
        const char* document;   // UTF-8
        int ccsid;
        long line, column, offset;   // of the item that cannot be written
        const char* what;
        int inCcsid = 1208;   // other than 1208: an EBCDIC page, its lines ended in NL (0x15)
    } cases[] = {
        {"<a>\n  <!-- it\xE2\x80\x99s -->\n</a>", 819, 2, 3, 6, "U+2019 in a comment"},
        {"<a>\r\n<x/><?pi \xE2\x80\x99?></a>", 37, 2, 5, 9, "U+2019 in a processing instruction"},
        {"<a>\n <b\xE4\xB8\xAD x=\"1\"/></a>", 819, 2, 2, 5, "U+4E2D in a name"},
        {"<a>\n <b \xE4\xB8\xAD=\"1\">\xE2\x82\xAC</b></a>", 1252, 2, 2, 5, "U+4E2D in a name"},
        {"<a>\n<!-- \xE2\x82\xAC -->\n</a>", 819, 2, 1, 4, "U+20AC in a comment", 1140},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.document);
        std::string input = c.document;
        if (c.inCcsid != 1208) {
            KelWriteBuffer page(c.inCcsid);
            page.appendMbs(KelStringBase::fromUtf8(input), c.inCcsid, 0);
            input = page.toString();
            for (char& b : input)
                if (b == '\x25') b = '\x15';
        }
        Doc doc(input, c.inCcsid);
        try {
            // As a host writes: through the parser, which says where the failure lies.
            KelWriteBuffer buffer(c.ccsid);
            doc.parser.refreshBitStreamFromElements(nullptr, &buffer, doc.root(), 785, c.ccsid);
            ADD_FAILURE() << "written";
        } catch (const KelParserException& e) {
            EXPECT_EQ(e.catalogueNumber(), 5010u);
            const KelParserException* at = KelParserException::positioned(e);
            ASSERT_NE(at, nullptr);
            EXPECT_EQ(at->documentLine(), c.line);
            EXPECT_EQ(at->documentColumn(), c.column);
            EXPECT_EQ(at->documentOffset(), c.offset);
            ASSERT_FALSE(at->inserts().empty());
            EXPECT_EQ(at->inserts().back(), c.what);
        }
    }
}

} // namespace
