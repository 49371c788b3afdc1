// What the tree builder makes of each kind of scanner event: element types, names, values, quote
// flags, completion flags, and the exact bytes of every recorded span (including how the spans of
// consecutive items tile the input).
#include "BuilderTestDocument.hpp"

#include <string>
#include <vector>

namespace {

using Doc = BuilderTestDocument;

std::vector<int> typesOf(const std::vector<KelSyntaxElement*>& elements) {
    std::vector<int> out;
    for (KelSyntaxElement* e : elements) out.push_back(e->type());
    return out;
}

std::string value(KelSyntaxElement* e) { return e->actualValue().valueAsCharacter().toUtf8(); }
std::string name(KelSyntaxElement* e) { return e->name().toUtf8(); }
bool isLeaf(KelSyntaxElement* e) { return e->isCompleteLeft() && e->isCompleteRight(); }

TEST(TreeBuilding, PrologItemsGetExactSpansThatTileTheInput) {
    const std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<!--c-->\n"
                             "<?pi some data?>\n<a/>\n<!--after-->";
    Doc doc(text);
    const auto kids = Doc::children(doc.root());
    ASSERT_EQ(typesOf(kids), (std::vector<int>{XmlTypeXmlDecl, XmlTypeWhiteSpace, XmlTypeComment, XmlTypeWhiteSpace,
                                               XmlTypeProcessingInstruction, XmlTypeWhiteSpace, XmlTypeElement,
                                               XmlTypeWhiteSpace, XmlTypeComment}));
    const std::vector<std::string> spans = {"<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>",
                                            "\n", "<!--c-->", "\n", "<?pi some data?>", "\n", "<a/>", "\n",
                                            "<!--after-->"};
    std::string joined;
    for (size_t i = 0; i < kids.size(); ++i) {
        EXPECT_EQ(doc.span(kids[i]), spans[i]) << i;
        EXPECT_TRUE(isLeaf(kids[i])) << i;
        joined += doc.span(kids[i]);
    }
    EXPECT_EQ(joined, text);

    KelSyntaxElement* decl = kids[0];
    EXPECT_EQ(name(decl), "XML");
    const auto parts = Doc::children(decl);
    ASSERT_EQ(typesOf(parts), (std::vector<int>{XmlTypeVersion, XmlTypeEncoding, XmlTypeStandalone}));
    EXPECT_EQ(value(parts[0]), "1.0");
    EXPECT_EQ(value(parts[1]), "UTF-8");
    EXPECT_EQ(value(parts[2]), "yes");
    EXPECT_EQ(doc.span(parts[0]), "<none>");
    EXPECT_EQ(value(kids[2]), "c");
    EXPECT_EQ(name(kids[4]), "pi");
    EXPECT_EQ(value(kids[4]), "some data");
    EXPECT_TRUE(doc.root()->isCompleteLeft() && doc.root()->isCompleteRight());
}

TEST(TreeBuilding, ElementContentKindsQuotesAndSpans) {
    const std::string text = "<a x='1' y=\"2\"><b/>t<![CDATA[c]]><![CDATA[d]]>m<!--k--><?p d?><e></e></a>";
    Doc doc(text);
    KelSyntaxElement* a = doc.documentElement();
    const auto kids = Doc::children(a);
    ASSERT_EQ(typesOf(kids),
              (std::vector<int>{XmlTypeAttribute, XmlTypeAttribute, XmlTypeElement, XmlTypeContent, XmlTypeCData,
                                XmlTypeCData, XmlTypeContent, XmlTypeComment, XmlTypeProcessingInstruction,
                                XmlTypeElement}));
    EXPECT_EQ(doc.span(a), text);
    EXPECT_EQ(name(kids[0]), "x");
    EXPECT_EQ(value(kids[0]), "1");
    EXPECT_FALSE(xml(kids[0])->isDoubleQuotedAttribute());
    EXPECT_TRUE(xml(kids[1])->isDoubleQuotedAttribute());
    EXPECT_EQ(doc.span(kids[0]), "<none>");
    // The first child element starts where the start tag ended.
    EXPECT_EQ(doc.span(kids[2]), "<b/>");
    EXPECT_EQ(value(kids[3]), "t");
    EXPECT_EQ(value(kids[4]), "c");
    EXPECT_EQ(value(kids[5]), "d");
    EXPECT_EQ(value(kids[6]), "m");
    // Text and CDATA sections have their own bytes, which a rewritten parent copies.
    const char* spans[] = {"t", "<![CDATA[c]]>", "<![CDATA[d]]>", "m"};
    for (int i : {3, 4, 5, 6}) EXPECT_EQ(doc.span(kids[i]), spans[i - 3]) << i;
    // Character data ends where the next item's markup starts, so that item has its own text.
    EXPECT_EQ(doc.span(kids[7]), "<!--k-->");
    EXPECT_EQ(doc.span(kids[8]), "<?p d?>");
    EXPECT_EQ(doc.span(kids[9]), "<e></e>");
    EXPECT_TRUE(isLeaf(kids[9]));
    EXPECT_EQ(kids[9]->knownFirstChild(), nullptr);
    for (KelSyntaxElement* k : kids) EXPECT_TRUE(isLeaf(k));
    EXPECT_TRUE(isLeaf(a));
}

TEST(TreeBuilding, CharacterDataInManyChunksBecomesOneElement) {
    // Far more text than the scanner hands over in one piece.
    // (The scanner also hands text over in pieces around every reference.)
    std::string body;
    std::string expected;
    for (int i = 0; body.size() < 3u * 1024 * 1024; ++i) {
        body += "line " + std::to_string(i) + " &amp; more\n";
        expected += "line " + std::to_string(i) + " & more\n";
    }
    Doc doc("<a>" + body + "<b/>tail</a>");
    const auto kids = Doc::children(doc.documentElement());
    ASSERT_EQ(typesOf(kids), (std::vector<int>{XmlTypeContent, XmlTypeElement, XmlTypeContent}));
    EXPECT_EQ(value(kids[0]), expected);
    EXPECT_EQ(value(kids[2]), "tail");
}

TEST(TreeBuilding, EntityReferencesAreMarkedAndTheirReplacementTextHasNoSpans) {
    const std::string text = "<!DOCTYPE r [<!ENTITY e \"<i q='1' w=&#34;2&#34;>in</i>\"><!ENTITY t \"txt\">]>"
                             "<r>&e;<b/>x&t;y</r>";
    Doc doc(text);
    KelSyntaxElement* r = doc.documentElement();
    const auto kids = Doc::children(r);
    ASSERT_EQ(typesOf(kids), (std::vector<int>{XmlTypeEntityReferenceStart, XmlTypeElement, XmlTypeEntityReferenceEnd,
                                               XmlTypeElement, XmlTypeContent, XmlTypeEntityReferenceStart,
                                               XmlTypeContent, XmlTypeEntityReferenceEnd, XmlTypeContent}));
    EXPECT_EQ(value(kids[0]), "e");
    EXPECT_EQ(value(kids[2]), "e");
    // Offsets inside the replacement text are not offsets into the bitstream.
    KelSyntaxElement* i = kids[1];
    EXPECT_EQ(doc.span(i), "<none>");
    const auto attributes = Doc::children(i);
    ASSERT_EQ(attributes.size(), 3u);
    EXPECT_FALSE(xml(attributes[0])->isDoubleQuotedAttribute());
    EXPECT_TRUE(xml(attributes[1])->isDoubleQuotedAttribute());
    EXPECT_EQ(value(attributes[2]), "in");
    // The element after the reference starts after it.
    EXPECT_EQ(doc.span(kids[3]), "<b/>");
    EXPECT_EQ(value(kids[4]), "x");
    EXPECT_EQ(value(kids[6]), "txt");
    EXPECT_EQ(value(kids[8]), "y");
    EXPECT_EQ(doc.span(r), "<r>&e;<b/>x&t;y</r>");
}

TEST(TreeBuilding, DocumentTypeDeclarationWithInternalSubset) {
    const std::string subset =
        "[\n<!ELEMENT r (a|b)*>\n"
        "<!ATTLIST r c CDATA #REQUIRED e (red|green|blue) \"red\" n NOTATION (x|y) #IMPLIED f CDATA #FIXED \"v\" "
        "z (z) #IMPLIED>\n"
        "<!ENTITY g \"gv\">\n<!ENTITY % p \"pv\">\n<!ENTITY x SYSTEM \"x.txt\">\n"
        "<!ENTITY % xp PUBLIC \"xpub\" \"xp.txt\">\n<!ENTITY u SYSTEM \"u.bin\" NDATA x>\n"
        "<!NOTATION x PUBLIC \"npub\" \"nsys\">\n<!NOTATION y SYSTEM \"ysys\">\n<!--dc--><?dpi dd?>\n]";
    const std::string text = "<!DOCTYPE r PUBLIC \"pub\" \"sys.dtd\" " + subset + ">\n<r c='1'/>";
    Doc doc(text);
    const auto top = Doc::children(doc.root());
    ASSERT_EQ(typesOf(top), (std::vector<int>{XmlTypeDocTypeDecl, XmlTypeWhiteSpace, XmlTypeElement}));
    KelSyntaxElement* decl = top[0];
    EXPECT_EQ(name(decl), "r");
    EXPECT_EQ(doc.span(decl), "<!DOCTYPE r PUBLIC \"pub\" \"sys.dtd\" ");
    // The declaration's closing '>' ends the internal subset's text, not a later item's.
    EXPECT_EQ(doc.span(top[1]), "\n");
    EXPECT_EQ(doc.span(top[2]), "<r c='1'/>");
    const auto parts = Doc::children(decl);
    ASSERT_EQ(typesOf(parts), (std::vector<int>{XmlTypePublicId, XmlTypeSystemId, XmlTypeInternalSubset,
                                                XmlTypeExternalSubset}));
    EXPECT_EQ(value(parts[0]), "pub");
    EXPECT_EQ(value(parts[1]), "sys.dtd");
    EXPECT_EQ(doc.span(parts[2]), subset + ">");
    EXPECT_EQ(parts[3]->knownFirstChild(), nullptr);

    std::vector<KelSyntaxElement*> decls;
    std::string tiled;
    for (KelSyntaxElement* c : Doc::children(parts[2])) {
        tiled += doc.span(c);
        if (c->type() != XmlTypeDocTypeWhiteSpace) decls.push_back(c);
    }
    EXPECT_EQ("[" + tiled + "]", subset);
    ASSERT_EQ(typesOf(decls), (std::vector<int>{XmlTypeElementDef, XmlTypeAttList, XmlTypeEntityDecl,
                                                XmlTypeParameterEntityDecl, XmlTypeExternalEntityDecl,
                                                XmlTypeExternalParameterEntityDecl, XmlTypeUnparsedEntityDecl,
                                                XmlTypeNotationDecl, XmlTypeNotationDecl, XmlTypeDocTypeComment,
                                                XmlTypeDocTypePI}));
    EXPECT_EQ(name(decls[0]), "r");
    EXPECT_EQ(value(decls[0]), "(a|b)*");

    // Attribute definitions: type, then default value, then default kind.
    std::vector<std::string> definitions;
    for (KelSyntaxElement* def : Doc::children(decls[1])) {
        if (def->type() != XmlTypeAttDef) continue;
        std::string line = name(def) + ":";
        for (KelSyntaxElement* part : Doc::children(def))
            line += " " + std::string(xmlElementTypeName(part->type())) + "[" + name(part) + "|" + value(part) + "]";
        definitions.push_back(line);
    }
    EXPECT_EQ(definitions,
              (std::vector<std::string>{
                  "c: XmlTypeAttDefType[CDATA|] XmlTypeAttDefDefaultType[|REQUIRED]",
                  "e: XmlTypeAttDefType[|(red|green|blue)] XmlTypeAttDefValue[|red]",
                  "n: XmlTypeAttDefType[NOTATION|(x|y)] XmlTypeAttDefDefaultType[|IMPLIED]",
                  "f: XmlTypeAttDefType[CDATA|] XmlTypeAttDefValue[|v] XmlTypeAttDefDefaultType[|FIXED]",
                  // A one-value enumeration keeps its parentheses.
                  "z: XmlTypeAttDefType[|(z)] XmlTypeAttDefDefaultType[|IMPLIED]"}));
    EXPECT_EQ(doc.span(decls[1]).substr(0, 11), "<!ATTLIST r");

    auto partsOf = [&](KelSyntaxElement* e) {
        std::string out;
        for (KelSyntaxElement* part : Doc::children(e)) out += std::string(xmlElementTypeName(part->type())) + "=" + value(part) + " ";
        return out;
    };
    EXPECT_EQ(partsOf(decls[2]), "XmlTypeEntityValue=gv ");
    EXPECT_EQ(partsOf(decls[3]), "XmlTypeEntityValue=pv ");
    EXPECT_EQ(partsOf(decls[4]), "XmlTypeSystemId=x.txt ");
    EXPECT_EQ(partsOf(decls[5]), "XmlTypeSystemId=xp.txt XmlTypePublicId=xpub ");
    EXPECT_EQ(partsOf(decls[6]), "XmlTypeSystemId=u.bin XmlTypeNotationReference=x ");
    EXPECT_EQ(partsOf(decls[7]), "XmlTypePublicId=npub XmlTypeSystemId=nsys ");
    EXPECT_EQ(partsOf(decls[8]), "XmlTypeSystemId=ysys ");
    // The scanner reports a notation before its '>': the span still ends with it.
    EXPECT_EQ(doc.span(decls[7]), "<!NOTATION x PUBLIC \"npub\" \"nsys\">");
    EXPECT_EQ(doc.span(decls[8]), "<!NOTATION y SYSTEM \"ysys\">");
    EXPECT_EQ(value(decls[9]), "dc");
    EXPECT_EQ(name(decls[10]), "dpi");
    EXPECT_EQ(value(decls[10]), "dd");

    // Attributes defaulted from the declaration have no quotes in the text: double quotes.
    const auto attributes = Doc::children(top[2]);
    ASSERT_EQ(attributes.size(), 3u);
    EXPECT_EQ(name(attributes[0]) + name(attributes[1]) + name(attributes[2]), "cef");
    EXPECT_FALSE(xml(attributes[0])->isDoubleQuotedAttribute());
    EXPECT_TRUE(xml(attributes[1])->isDoubleQuotedAttribute());
    EXPECT_EQ(value(attributes[2]), "v");
}

TEST(TreeBuilding, DocumentTypeDeclarationWithoutInternalSubset) {
    {
        Doc doc("<!DOCTYPE a>\n<a/>");
        const auto top = Doc::children(doc.root());
        ASSERT_EQ(top.size(), 3u);
        EXPECT_EQ(doc.span(top[0]), "<!DOCTYPE a>");
        // Closed by the next document-level item, complete on both sides though childless.
        EXPECT_TRUE(isLeaf(top[0]));
        EXPECT_EQ(top[0]->knownFirstChild(), nullptr);
        EXPECT_EQ(doc.span(top[1]), "\n");
    }
    {
        // An external subset is never read, and the declaration's own text runs to its '>'.
        Doc doc("<!DOCTYPE a SYSTEM \"a.dtd\"  ><!--c--><a/>");
        const auto top = Doc::children(doc.root());
        ASSERT_EQ(typesOf(top), (std::vector<int>{XmlTypeDocTypeDecl, XmlTypeComment, XmlTypeElement}));
        EXPECT_EQ(doc.span(top[0]), "<!DOCTYPE a SYSTEM \"a.dtd\"  >");
        EXPECT_EQ(doc.span(top[1]), "<!--c-->");
        const auto parts = Doc::children(top[0]);
        ASSERT_EQ(typesOf(parts), (std::vector<int>{XmlTypeSystemId, XmlTypeExternalSubset}));
        EXPECT_TRUE(isLeaf(parts[1]));
        EXPECT_EQ(parts[1]->knownFirstChild(), nullptr);
    }
    {
        Doc doc("<!DOCTYPE a [<!ELEMENT a ANY>] ><?p?><a/>");
        const auto top = Doc::children(doc.root());
        ASSERT_EQ(top.size(), 3u);
        EXPECT_EQ(doc.span(top[1]), "<?p?>");
        EXPECT_EQ(doc.span(top[2]), "<a/>");
    }
}

TEST(TreeBuilding, WithoutSpanReuseNoSpansButQuotesStillRight) {
    Doc doc("<?xml version='1.0'?><!--c--><a x='1' y=\"2\"><b z='3'/></a>", 1208, 546, false);
    std::vector<KelSyntaxElement*> pending{doc.root()};
    int attributes = 0;
    while (!pending.empty()) {
        KelSyntaxElement* e = pending.back();
        pending.pop_back();
        EXPECT_EQ(xml(e)->getBufferStart(), nullptr);
        EXPECT_EQ(xml(e)->getBufferEnd(), nullptr);
        if (e->type() == XmlTypeAttribute) {
            ++attributes;
            EXPECT_EQ(xml(e)->isDoubleQuotedAttribute(), name(e) == "y") << name(e);
        }
        for (KelSyntaxElement* c : Doc::children(e)) pending.push_back(c);
    }
    EXPECT_EQ(attributes, 3);
}

} // namespace
