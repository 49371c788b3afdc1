// The same document in every supported code page and byte order, with and without byte-order
// mark, gives the same tree, the same attribute quotes and spans over the same text.
#include "BuilderTestDocument.hpp"

#include <string>
#include <utility>
#include <vector>

namespace {

using Doc = BuilderTestDocument;

struct Variant {
    const char* label;
    int ccsid;
    int encoding;
    std::string bytes;
};

// Every span in document order, as "type: text".
void collectSpans(Doc& doc, KelSyntaxElement* e, std::vector<std::string>& out) {
    for (KelSyntaxElement* c : Doc::children(e)) {
        out.push_back(std::string(xmlElementTypeName(c->type())) + ": " + doc.span(c));
        collectSpans(doc, c, out);
    }
}

std::vector<Variant> variantsOf(const std::string& utf8, bool singleBytePages) {
    const std::string be = encodeAs(utf8, 1200, 1);
    const std::string le = encodeAs(utf8, 1200, -1);
    std::vector<Variant> out = {
        {"1208", 1208, 546, utf8},
        {"1208 with mark", 1208, 546, "\xEF\xBB\xBF" + utf8},
        {"1200 big-endian", 1200, 273, be},
        {"1200 little-endian", 1200, 546, le},
        {"1200 big-endian with mark", 1200, 273, "\xFE\xFF" + be},
        {"1200 little-endian with mark", 1200, 546, "\xFF\xFE" + le},
        // The mark wins over the encoding value.
        {"1200 mark against encoding", 1200, 273, "\xFF\xFE" + le},
        {"13488", 13488, 273, be},
        {"17584", 17584, 546, le},
    };
    if (singleBytePages) {
        out.push_back({"819", 819, 546, encodeAs(utf8, 819)});
        out.push_back({"37", 37, 785, encodeAs(utf8, 37)});
        out.push_back({"1047", 1047, 785, encodeAs(utf8, 1047)});
    }
    return out;
}

void expectSameEverywhere(const std::vector<Variant>& variants) {
    Doc reference(variants.front().bytes, variants.front().ccsid, variants.front().encoding);
    const std::string tree = reference.describe();
    std::vector<std::string> spans;
    collectSpans(reference, reference.root(), spans);
    for (const Variant& v : variants) {
        Doc doc(v.bytes, v.ccsid, v.encoding);
        EXPECT_EQ(doc.describe(), tree) << v.label;
        std::vector<std::string> these;
        collectSpans(doc, doc.root(), these);
        EXPECT_EQ(these, spans) << v.label;
        // The first item starts right after any byte-order mark.
        const long mark = v.bytes.size() >= 2 && (static_cast<unsigned char>(v.bytes[0]) >= 0xEF) ? (v.ccsid == 1208 ? 3 : 2) : 0;
        EXPECT_EQ(doc.spanStart(doc.root()->firstChild()), mark) << v.label;
    }
}

TEST(CodePages, SameTreeQuotesAndSpansInEveryPage) {
    const std::string text =
        "<?xml version=\"1.0\"?>\n"
        "<!DOCTYPE r [<!ATTLIST r d CDATA \"d\xC3\xA9\" q (a|b) 'a'>\n<!ENTITY e \"<i k='\xC3\xA9'/>\">\n"
        "<!NOTATION n SYSTEM \"n\">]>\n"
        "<!-- comm\xC3\xA9nt -->\n"
        "<r s='1' t=\"\xC3\xA9t\xC3\xA9\"><b x=\"2\"/><?p d\xC3\xA0ta?>txt &amp; <![CDATA[cd\xC3\xA9]]>&e;"
        "<c y='3'></c></r>\n";
    const auto variants = variantsOf(text, true);
    expectSameEverywhere(variants);

    // The reference itself: quotes as written, defaulted attributes in double quotes.
    Doc doc(text);
    KelSyntaxElement* r = doc.documentElement();
    std::string quotes;
    for (KelSyntaxElement* c : Doc::children(r))
        if (c->type() == XmlTypeAttribute) quotes += c->name().toUtf8() + (xml(c)->isDoubleQuotedAttribute() ? "\" " : "' ");
    EXPECT_EQ(quotes, "s' t\" d\" q\" ");
    const std::string startTag = "<r s='1' t=\"\xC3\xA9t\xC3\xA9\">";
    EXPECT_EQ(doc.span(r).substr(0, startTag.size()), startTag);
    EXPECT_EQ(doc.span(Doc::child(r, XmlTypeProcessingInstruction)), "<?p d\xC3\xA0ta?>");
}

TEST(CodePages, MultiByteCharactersKeepSpansExact) {
    // Two-byte characters in Shift-JIS, three- and four-byte ones (a surrogate pair) in UTF-8.
    const std::string text = "<?xml version='1.0'?><\xE6\x96\x87 \xE5\xB1\x9E='\xE5\x80\xA4' b=\"2\">"
                             "<!--\xE6\xB3\xA8--><\xE8\xA6\x81/>\xE3\x83\x86</\xE6\x96\x87>";
    auto variants = variantsOf(text, false);
    variants.push_back({"943", 943, 546, encodeAs(text, 943)});
    expectSameEverywhere(variants);

    const std::string emoji = "<a t='\xF0\x9F\x98\x80' u=\"\xF0\x9F\x98\x80\"><!--\xF0\x9F\x98\x80--><b/></a>";
    expectSameEverywhere(variantsOf(emoji, false));
    Doc doc(emoji);
    const auto kids = Doc::children(doc.documentElement());
    ASSERT_EQ(kids.size(), 4u);
    EXPECT_FALSE(xml(kids[0])->isDoubleQuotedAttribute());
    EXPECT_TRUE(xml(kids[1])->isDoubleQuotedAttribute());
    EXPECT_EQ(doc.span(kids[2]), "<!--\xF0\x9F\x98\x80-->");
    EXPECT_EQ(doc.span(kids[3]), "<b/>");
}

} // namespace
