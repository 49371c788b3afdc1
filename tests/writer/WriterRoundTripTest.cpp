// Parsed documents written back: unchanged documents come back byte for byte, rewritten ones
// read back to the same tree, a change deep down rewrites only its path, code pages and byte
// orders convert both ways, and what the writer must repair (the ">" of a document type
// declaration, "]]>" in CDATA, nested entity references, deep nesting) holds with real trees.
#include "WriterTestDocument.hpp"
#include "WriterTestTree.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Doc = WriterTestDocument;

const std::vector<std::string>& documents() {
    static const std::vector<std::string> all = {
        "<?xml version=\"1.0\" standalone='yes'?>\n<!-- head & 'tail' -->\n<?pi href=\"a<b\"?>\n"
        "<a x='1' y=\"2\">t &amp; u<b/>&lt;<![CDATA[c]]>&#65;<c z = 'q' ></c><?p d?><!--k--></a>\n<!--end-->\n",
        "<!DOCTYPE a SYSTEM \"a.dtd\"><a><b>1</b></a>",
        "<!DOCTYPE a PUBLIC \"-//P//EN\" 'it\"s.dtd'  >\n<a/>",
        "<!DOCTYPE a [\n<!ELEMENT a (#PCDATA|b)*>\n<!ELEMENT b EMPTY>\n"
        "<!ATTLIST a x CDATA #FIXED 'v\"&amp;&lt;' y (r|g) #IMPLIED z CDATA 'tab&#9;'>\n"
        "<!ENTITY e \"a&amp;b&#38;#38;c\">\n<!ENTITY % pe 'x'>\n<!NOTATION n PUBLIC 'pn'>\n"
        "<!ENTITY u SYSTEM 'u.bin' NDATA n>\n<!-- dtd & comment -->\n<?dpi data?>\n]>\n<a>x&e;y<b/></a>",
        "<r>\n  <e n=\"1\">one</e>\n  <e n=\"2\">two<![CDATA[ ]]> </e>\n</r>",
        "<?xml version=\"1.1\"?><!DOCTYPE a [<!ENTITY e \"\"><!ENTITY % p ''><!NOTATION n SYSTEM \"\">"
        "<!ENTITY x SYSTEM ''><!ENTITY c \"&#x85;\">]><a v=\"&#x2;&#x85;&#x2028;\">&#xC;&#x85;&#x2028;&e;&c;</a>",
    };
    return all;
}

TEST(WriterRoundTrip, UnchangedDocumentsComeBackByteForByte) {
    for (const std::string& text : documents()) {
        Doc doc(text);
        EXPECT_EQ(doc.write(), text);
    }
}

TEST(WriterRoundTrip, RewrittenDocumentsReadBackToTheSameTree) {
    for (const std::string& text : documents()) {
        Doc original(text, 1208, 546, false);
        const std::string written = original.write();
        Doc again(written, 1208, 546, false);
        EXPECT_EQ(again.describe(), original.describe()) << text << "\n--- written as ---\n" << written;
    }
}

TEST(WriterRoundTrip, ChangeDeepDownRewritesOnlyItsPath) {
    // Every unchanged item beside the path is copied, after markup (w) or after text (w2).
    const std::string text =
        "<r a = '0'>\n <s  k='1'><t  v=\"old\"/><u >keep</u ></s><w >also</w >\n<w2 >text</w2 ></r>";
    Doc doc(text);
    KelSyntaxElement* r = Doc::child(doc.root(), XmlTypeElement);
    KelSyntaxElement* s = Doc::child(r, XmlTypeElement, 0);
    KelSyntaxElement* t = Doc::child(s, XmlTypeElement, 0);
    Doc::child(t, XmlTypeAttribute)->setValue(ks("new & <x>"));
    const std::string written = doc.write();
    EXPECT_EQ(written,
              "<r a = '0'>\n <s  k='1'><t  v=\"new &amp; &lt;x&gt;\"/><u >keep</u ></s><w >also</w >\n<w2 >text</w2 ></r>");
    Doc again(written);
    Doc expected("<r a='0'>\n <s k='1'><t v=\"new &amp; &lt;x&gt;\"/><u>keep</u></s><w>also</w>\n<w2>text</w2></r>");
    EXPECT_EQ(again.describe(), expected.describe());
}

TEST(WriterRoundTrip, CodePagesAndByteOrdersBothWays) {
    const std::string text = "<!--\xC3\xA9-->\n<a x=\"caf\xC3\xA9\">[t] &amp; <b>\xC3\xBC</b></a>";
    Doc utf8(text);
    const std::string reference = utf8.describe();
    struct Case {
        int ccsid;
        int encoding;
        std::string bytes;
        int readEncoding;   // without a mark the reader is told the byte order
    } cases[] = {
        {1200, 546, "\xFF\xFE" + encodeAs(text, 1200, -1), 546},
        {1200, 273, "\xFE\xFF" + encodeAs(text, 1200, 1), 273},
        {1200, 0, encodeAs(text, 1200, -1), 546},
        {37, 785, encodeAs(text, 37), 785},
        {1047, 785, encodeAs(text, 1047), 785},
    };
    for (const Case& c : cases) {
        const std::string written = utf8.write(c.ccsid, c.encoding);
        EXPECT_EQ(written, c.bytes) << c.ccsid << "/" << c.encoding;
        Doc back(written, c.ccsid, c.readEncoding);
        EXPECT_EQ(back.describe(), reference) << c.ccsid << "/" << c.encoding;
        // Copied back into UTF-8, and, rewritten, into UTF-8 as well.
        EXPECT_EQ(back.write(1208, 546), text) << c.ccsid << "/" << c.encoding;
        Doc rewritten(written, c.ccsid, c.readEncoding, false);
        Doc reread(rewritten.write(1208, 546));
        EXPECT_EQ(reread.describe(), reference) << c.ccsid << "/" << c.encoding;
    }
    // Big-endian input with its mark, out to little-endian and to another UTF-16 page.
    Doc big("\xFE\xFF" + encodeAs(text, 1200, 1), 1200, 273);
    EXPECT_EQ(big.write(1200, 546), "\xFF\xFE" + encodeAs(text, 1200, -1));
    EXPECT_EQ(big.write(13488, 0), encodeAs(text, 13488, -1));
    EXPECT_EQ(big.write(17584, 273), "\xFE\xFF" + encodeAs(text, 17584, 1));
}

TEST(WriterRoundTrip, DocumentTypeDeclarationStaysClosed) {
    // The body rewritten after a copied declaration.
    Doc body("<!DOCTYPE a SYSTEM \"a.dtd\" ><a><b>1</b></a>");
    KelSyntaxElement* a = Doc::child(body.root(), XmlTypeElement);
    Doc::child(a, XmlTypeElement)->setName(ks("c"));
    EXPECT_EQ(body.write(), "<!DOCTYPE a SYSTEM \"a.dtd\" ><a><c>1</c></a>");

    // The declaration rewritten before a copied body.
    Doc decl("<!DOCTYPE a SYSTEM \"a.dtd\" >\n<a><b>1</b></a>");
    KelSyntaxElement* d = Doc::child(decl.root(), XmlTypeDocTypeDecl);
    Doc::child(d, XmlTypeSystemId)->setValue(ks("b.dtd"));
    const std::string written = decl.write();
    EXPECT_EQ(written, "<!DOCTYPE a SYSTEM \"b.dtd\">\n<a><b>1</b></a>");
    Doc again(written);
    EXPECT_EQ(Doc::child(Doc::child(again.root(), XmlTypeDocTypeDecl), XmlTypeSystemId)->actualValue().valueAsCharacter().toUtf8(),
              "b.dtd");

    // The same in EBCDIC.
    const std::string ebcdic = encodeAs("<!DOCTYPE a SYSTEM \"a.dtd\"><a><b>1</b></a>", 37);
    Doc e(ebcdic, 37, 785);
    Doc::child(Doc::child(e.root(), XmlTypeElement), XmlTypeElement)->setName(ks("c"));
    EXPECT_EQ(e.write(37, 785), encodeAs("<!DOCTYPE a SYSTEM \"a.dtd\"><a><c>1</c></a>", 37));
}

TEST(WriterRoundTrip, CDataWithEndMarkerReadsBackAsTheSameText) {
    Doc doc("<a><![CDATA[x]]></a>");
    KelSyntaxElement* a = Doc::child(doc.root(), XmlTypeElement);
    Doc::child(a, XmlTypeCData)->setValue(ks("1]]>2]]>"));
    Doc again(doc.write());
    EXPECT_EQ(Doc::child(again.root(), XmlTypeElement)->value().valueAsCharacter().toUtf8(), "1]]>2]]>");
}

TEST(WriterRoundTrip, NestedEntityReferencesAreWrittenAsReferencesOnly) {
    const std::string dtd = "<!DOCTYPE r [<!ENTITY in \"<i>x</i>\"><!ENTITY out \"a&in;b\">]>";
    Doc doc(dtd + "<r k='1'>&out;z&in;</r>");
    KelSyntaxElement* r = Doc::child(doc.root(), XmlTypeElement);
    Doc::child(r, XmlTypeAttribute)->setValue(ks("2"));
    const std::string written = doc.write();
    EXPECT_EQ(written.substr(written.find("<r")), "<r k='2'>&out;z&in;</r>");
    Doc again(written);
    EXPECT_EQ(Doc::child(again.root(), XmlTypeElement)->value().valueAsCharacter().toUtf8(), "abz");
}

TEST(WriterRoundTrip, DocumentNestedOneHundredThousandLevelsIsRewritten) {
    constexpr std::size_t depth = 100000;
    const std::string text = repeat("<e>", depth) + "x" + repeat("</e>", depth);
    Doc doc(text, 1208, 546, false);
    EXPECT_EQ(doc.write(), text);
    Doc copied(text);
    EXPECT_EQ(copied.write(1200, 273), "\xFE\xFF" + encodeAs(text, 1200, 1));
}

} // namespace
