// Markup written from hand-built trees: elements, attributes and text, entity references and the
// pause, CDATA sections, the order of the prolog, the document type declaration and its closing
// ">", declarations of the internal subset, items the writer skips, and deep trees.
#include "WriterTestTree.hpp"

#include "host/KelException.hpp"
#include "common/XmlElementType.hpp"

#include <gtest/gtest.h>

namespace {

// ---- elements, attributes, text --------------------------------------------------------------

TEST(WriterElements, StartTagsAttributesAndQuotes) {
    WriterTestTree t;
    KelSyntaxElement* r = t.add(t.root, XmlTypeElement, "r");
    t.add(r, XmlTypeElement, "empty");
    KelSyntaxElement* attrs = t.add(r, XmlTypeElement, "attrs");
    t.attribute(attrs, "s", "it's \"x\" <&>", false);
    t.attribute(attrs, "d", "a\tb\nc\rd", true);
    KelSyntaxElement* blank = t.add(r, XmlTypeElement, "blank");
    t.addValue(blank, XmlTypeContent, "");
    // Attributes after content still go into the start tag; one without a value is left out.
    t.attribute(blank, "late", "L", true);
    t.add(blank, XmlTypeAttribute, "unset");
    t.add(blank, XmlTypeAttribute, "n")->setActualValue(42);
    EXPECT_EQ(t.write(), "<r><empty/><attrs s='it&apos;s &quot;x&quot; &lt;&amp;&gt;' d=\"a&#x9;b&#xA;c&#xD;d\"/>"
                         "<blank late=\"L\" n=\"42\"></blank></r>");
}

TEST(WriterElements, ContentIsEscapedRawContentIsNot) {
    WriterTestTree t;
    KelSyntaxElement* a = t.add(t.root, XmlTypeElement, "a");
    t.addValue(a, XmlTypeContent, "1 < 2 & 3 > 'x'");
    t.addValue(a, XmlTypeRawContent, "<b>&amp;</b>");
    t.addValue(a, XmlTypeContent, "line\r\nend\t");
    EXPECT_EQ(t.write(), "<a>1 &lt; 2 &amp; 3 &gt; &apos;x&apos;<b>&amp;</b>line&#xD;\nend\t</a>");
}

TEST(WriterElements, ControlCharactersAndLineSeparatorsBecomeCharacterReferences) {
    WriterTestTree t;
    KelSyntaxElement* a = t.add(t.root, XmlTypeElement, "a");
    const std::string text = std::string("b\xC2\x85" "c\xE2\x80\xA8" "d\x7F");
    t.attribute(a, "v", text, true);
    t.addValue(a, XmlTypeContent, text);
    const std::string expected = "b&#x85;c&#x2028;d&#x7F;";
    EXPECT_EQ(t.write(), "<a v=\"" + expected + "\">" + expected + "</a>");
}

// XML 1.0 has no control characters but tab, line feed and carriage return, not even as
// references, and XML 1.1 has them as references only; no version has NUL, U+FFFE or U+FFFF.
// A value holding one is refused (as a comment with "--" is) instead of written as text that
// every reader refuses.
TEST(WriterElements, CharactersNoReaderTakesBackAreRefused) {
    struct Case {
        const char* what;
        int type;
        std::string value;
        const char* written10;   // null: refused
        const char* written11;
    };
    const std::string control = std::string("x\x01" "y\x0C");
    const Case cases[] = {
        {"control characters in text", XmlTypeContent, control, nullptr, "<a>x&#x1;y&#xC;</a>"},
        {"control characters in an attribute", XmlTypeAttribute, control, nullptr, "<a v=\"x&#x1;y&#xC;\"/>"},
        {"a control character in CDATA", XmlTypeCData, control, nullptr,
         "<a><![CDATA[x]]>&#x1;<![CDATA[y]]>&#xC;</a>"},
        {"a control character in a comment", XmlTypeComment, control, nullptr, nullptr},
        {"a control character in an instruction", XmlTypeProcessingInstruction, control, nullptr, nullptr},
        {"NUL in text", XmlTypeContent, std::string("x\0y", 3), nullptr, nullptr},
        {"U+FFFE in an attribute", XmlTypeAttribute, "x\xEF\xBF\xBE", nullptr, nullptr},
        {"U+FFFF in CDATA", XmlTypeCData, "x\xEF\xBF\xBF", nullptr, nullptr},
        {"a control character in a system identifier", XmlTypeDocTypeDecl, control, nullptr, nullptr},
        {"U+FFFD is a character", XmlTypeContent, "x\xEF\xBF\xBD", "<a>x\xEF\xBF\xBD</a>", "<a>x\xEF\xBF\xBD</a>"},
    };
    for (const Case& c : cases) {
        for (const bool xml11 : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (xml11 ? ", XML 1.1" : ", XML 1.0"));
            WriterTestTree t;
            if (xml11) t.addValue(t.add(t.root, XmlTypeXmlDecl, "XML"), XmlTypeVersion, "1.1");
            if (c.type == XmlTypeDocTypeDecl) t.addValue(t.add(t.root, XmlTypeDocTypeDecl, "a"), XmlTypeSystemId, c.value);
            KelSyntaxElement* a = t.add(t.root, XmlTypeElement, "a");
            switch (c.type) {
            case XmlTypeDocTypeDecl: break;   // before the element, above
            case XmlTypeAttribute: t.attribute(a, "v", c.value, true); break;
            case XmlTypeProcessingInstruction: t.addValue(a, c.type, c.value, "pi"); break;
            default: t.addValue(a, c.type, c.value); break;
            }
            const char* expected = xml11 ? c.written11 : c.written10;
            try {
                const std::string out = t.write();
                ASSERT_NE(expected, nullptr) << "written: " << out;
                EXPECT_EQ(out, (xml11 ? "<?xml version=\"1.1\"?>" : "") + std::string(expected));
            } catch (const KelException& e) {
                // The writer's own refusal; the parser's write wraps it in 5010.
                ASSERT_EQ(expected, nullptr) << e.what();
                EXPECT_EQ(e.catalogueNumber(), 5006u) << e.what();
            }
        }
    }
}

TEST(WriterElements, CommentsAndProcessingInstructionsAreWrittenAsTheyStand) {
    WriterTestTree t;
    KelSyntaxElement* a = t.add(t.root, XmlTypeElement, "a");
    t.addValue(a, XmlTypeComment, " a & 'b' <c> ");
    t.addValue(a, XmlTypeProcessingInstruction, "href=\"a.xsl\" type='text/xsl'", "xml-stylesheet");
    t.addValue(a, XmlTypeProcessingInstruction, "", "empty");
    t.addValue(a, XmlTypeWhiteSpace, " \n");
    EXPECT_EQ(t.write(), "<a><!-- a & 'b' <c> --><?xml-stylesheet href=\"a.xsl\" type='text/xsl'?><?empty ?> \n</a>");
}

TEST(WriterElements, CDataHoldingTheEndMarkerIsSplitAcrossSections) {
    WriterTestTree t;
    KelSyntaxElement* a = t.add(t.root, XmlTypeElement, "a");
    t.addValue(a, XmlTypeCData, "x<&y");
    t.addValue(a, XmlTypeCData, "a]]>b");
    t.addValue(a, XmlTypeCData, "]]>]]>");
    EXPECT_EQ(t.write(), "<a><![CDATA[x<&y]]>"
                         "<![CDATA[a]]]]><![CDATA[>b]]>"
                         "<![CDATA[]]]]><![CDATA[>]]]]><![CDATA[>]]></a>");
}

// ---- entity references ------------------------------------------------------------------------

// The entities stand in an external subset, so a reference may name them (a reference to an
// entity the document cannot declare is written as what it stood for: EditTest).
TEST(WriterEntities, OnlyTheReferenceIsWrittenAlsoWhenReferencesNest) {
    WriterTestTree t;
    t.addValue(t.add(t.root, XmlTypeDocTypeDecl, "r"), XmlTypeSystemId, "r.dtd");
    KelSyntaxElement* r = t.add(t.root, XmlTypeElement, "r");
    t.addValue(r, XmlTypeContent, "a");
    t.addValue(r, XmlTypeEntityReferenceStart, "outer");
    t.addValue(r, XmlTypeContent, "expanded");
    t.addValue(r, XmlTypeEntityReferenceStart, "inner");
    t.addValue(r, XmlTypeContent, "inner text");
    KelSyntaxElement* copied = t.add(r, XmlTypeElement, "c");
    t.span(copied, "<c/>", 1208);
    t.addValue(r, XmlTypeEntityReferenceEnd, "inner");
    t.addValue(r, XmlTypeContent, "rest of outer");
    KelSyntaxElement* b = t.add(r, XmlTypeElement, "b");
    t.addValue(b, XmlTypeContent, "in b");
    t.addValue(r, XmlTypeEntityReferenceEnd, "outer");
    t.addValue(r, XmlTypeContent, "z");
    EXPECT_EQ(t.write(), "<!DOCTYPE r SYSTEM \"r.dtd\"><r>a&outer;z</r>");
}

TEST(WriterEntities, UnbalancedMarksStayInsideTheirElement) {
    WriterTestTree t;
    t.addValue(t.add(t.root, XmlTypeDocTypeDecl, "r"), XmlTypeSystemId, "r.dtd");
    KelSyntaxElement* r = t.add(t.root, XmlTypeElement, "r");
    KelSyntaxElement* b = t.add(r, XmlTypeElement, "b");
    t.addValue(b, XmlTypeContent, "1");
    t.addValue(b, XmlTypeEntityReferenceStart, "open");
    t.addValue(b, XmlTypeContent, "hidden");
    t.addValue(r, XmlTypeContent, "after");
    // An end mark without a start does not end the expansion around it.
    t.addValue(r, XmlTypeEntityReferenceStart, "o");
    KelSyntaxElement* c = t.add(r, XmlTypeElement, "c");
    t.addValue(c, XmlTypeEntityReferenceEnd, "stray");
    t.addValue(c, XmlTypeContent, "hidden too");
    t.addValue(r, XmlTypeContent, "hidden three");
    t.addValue(r, XmlTypeEntityReferenceEnd, "o");
    t.addValue(r, XmlTypeEntityReferenceEnd, "stray");
    t.addValue(r, XmlTypeContent, "z");
    const std::string expected = "<!DOCTYPE r SYSTEM \"r.dtd\"><r><b>1&open;</b>after&o;z</r>";
    EXPECT_EQ(t.write(), expected);
    // A pause left on the writer from outside does not silence the next write either.
    t.writer().pause();
    EXPECT_EQ(t.write(), expected);
}

TEST(WriterEntities, StartWithoutNameWritesNothingButStillPauses) {
    WriterTestTree t;
    KelSyntaxElement* r = t.add(t.root, XmlTypeElement, "r");
    t.addValue(r, XmlTypeContent, "a");
    t.add(r, XmlTypeEntityReferenceStart);
    t.addValue(r, XmlTypeContent, "x");
    t.add(r, XmlTypeEntityReferenceEnd);
    t.addValue(r, XmlTypeContent, "b");
    EXPECT_EQ(t.write(), "<r>ab</r>");
}

// ---- prolog and document order ----------------------------------------------------------------

TEST(WriterProlog, XmlDeclarationPartsAreWrittenInTheirOwnOrderWithDefaultVersion) {
    WriterTestTree bare;
    bare.add(bare.root, XmlTypeXmlDecl, "XML");
    bare.add(bare.root, XmlTypeElement, "a");
    EXPECT_EQ(bare.write(), "<?xml version=\"1.0\"?><a/>");

    WriterTestTree t;
    KelSyntaxElement* decl = t.add(t.root, XmlTypeXmlDecl, "XML");
    t.addValue(decl, XmlTypeStandalone, "yes");
    t.add(decl, XmlTypeVersion);                 // no value: passed over
    t.addValue(decl, XmlTypeVersion, "1.1");
    t.addValue(decl, XmlTypeEncoding, "UTF-8");
    t.add(t.root, XmlTypeElement, "a");
    EXPECT_EQ(t.write(), "<?xml version=\"1.1\" encoding=\"UTF-8\" standalone=\"yes\"?><a/>");
}

TEST(WriterProlog, DeclarationsAreMovedBeforeTheBodyAndWhatCannotFollowItIsSkipped) {
    WriterTestTree t;
    t.addValue(t.root, XmlTypeComment, "first");
    t.addValue(t.root, XmlTypeContent, "no text in the prolog");
    KelSyntaxElement* a = t.add(t.root, XmlTypeElement, "a");
    t.addValue(a, XmlTypeContent, "body");
    KelSyntaxElement* decl = t.add(t.root, XmlTypeXmlDecl, "XML");
    t.addValue(decl, XmlTypeVersion, "1.0");
    t.add(t.root, XmlTypeDocTypeDecl, "a");
    KelSyntaxElement* second = t.add(t.root, XmlTypeXmlDecl, "XML");
    t.addValue(second, XmlTypeVersion, "9.9");
    t.addValue(t.root, XmlTypeComment, "last");
    t.addValue(t.root, XmlTypeProcessingInstruction, "d", "pi");
    t.addValue(t.root, XmlTypeContent, "stray text");
    t.add(t.root, XmlTypeElement, "second");
    t.addValue(t.root, XmlTypeWhiteSpace, "\n");
    EXPECT_EQ(t.write(), "<?xml version=\"1.0\"?><!--first--><!DOCTYPE a><a>body</a><!--last--><?pi d?>\n");
}

TEST(WriterProlog, RootWithoutBodyWritesOnlyItsProlog) {
    WriterTestTree t;
    t.addValue(t.root, XmlTypeComment, "c");
    KelSyntaxElement* decl = t.add(t.root, XmlTypeXmlDecl, "XML");
    t.addValue(decl, XmlTypeVersion, "1.0");
    EXPECT_EQ(t.write(), "<?xml version=\"1.0\"?><!--c-->");
}

// ---- closing the document type declaration -----------------------------------------------------

TEST(WriterDocType, CopiedDeclarationIsClosedWhenWhatFollowsDoesNotCloseIt) {
    // The span of a declaration with an external identifier ends before its ">".
    WriterTestTree rewritten;
    KelSyntaxElement* d = rewritten.add(rewritten.root, XmlTypeDocTypeDecl, "a");
    rewritten.addValue(d, XmlTypeSystemId, "a.dtd");
    rewritten.span(d, "<!DOCTYPE a SYSTEM \"a.dtd\" ", 1208);
    rewritten.add(rewritten.root, XmlTypeElement, "a");
    EXPECT_EQ(rewritten.write(), "<!DOCTYPE a SYSTEM \"a.dtd\" ><a/>");

    // Nothing follows at all.
    WriterTestTree alone;
    KelSyntaxElement* d2 = alone.add(alone.root, XmlTypeDocTypeDecl, "a");
    alone.span(d2, "<!DOCTYPE a SYSTEM \"a.dtd\"", 1208);
    EXPECT_EQ(alone.write(), "<!DOCTYPE a SYSTEM \"a.dtd\">");

    // A declaration whose span has its ">" gets no second one.
    WriterTestTree closed;
    KelSyntaxElement* d3 = closed.add(closed.root, XmlTypeDocTypeDecl, "a");
    closed.span(d3, "<!DOCTYPE a>", 1208);
    closed.add(closed.root, XmlTypeElement, "a");
    EXPECT_EQ(closed.write(), "<!DOCTYPE a><a/>");
}

TEST(WriterDocType, RewrittenDeclarationIsNotClosedTwice) {
    WriterTestTree t;
    KelSyntaxElement* d = t.add(t.root, XmlTypeDocTypeDecl, "a");
    t.addValue(d, XmlTypeSystemId, "new.dtd");
    KelSyntaxElement* a = t.add(t.root, XmlTypeElement, "a");
    t.span(a, ">\n<a/>", 1208);   // the body's span took the old declaration's ">"
    EXPECT_EQ(t.write(), "<!DOCTYPE a SYSTEM \"new.dtd\">\n<a/>");
}

TEST(WriterDocType, CloseIsFoundInEveryCodePageAndByteOrder) {
    struct Case {
        int ccsid;
        int byteOrder;
        long encoding;
        std::string mark;
    } cases[] = {{37, 1, 785, ""}, {1047, 1, 785, ""}, {1200, -1, 546, "\xFF\xFE"}, {1200, 1, 273, "\xFE\xFF"}};
    for (const Case& c : cases) {
        WriterTestTree t;
        KelSyntaxElement* d = t.add(t.root, XmlTypeDocTypeDecl, "a");
        t.span(d, encodeAs("<!DOCTYPE a SYSTEM \"s\"\t ", c.ccsid, c.byteOrder), c.ccsid, c.byteOrder == 1);
        KelSyntaxElement* ws = t.addValue(t.root, XmlTypeWhiteSpace, " ");
        t.span(ws, encodeAs(" > ", c.ccsid, c.byteOrder), c.ccsid, c.byteOrder == 1);
        t.add(t.root, XmlTypeElement, "a");
        EXPECT_EQ(t.write(c.ccsid, c.encoding), c.mark + encodeAs("<!DOCTYPE a SYSTEM \"s\"\t  > <a/>", c.ccsid, c.byteOrder))
            << c.ccsid << "/" << c.byteOrder;
        // The same declaration with the item after it rewritten.
        ws->setValue(ks(" "));
        EXPECT_EQ(t.write(c.ccsid, c.encoding), c.mark + encodeAs("<!DOCTYPE a SYSTEM \"s\"\t > <a/>", c.ccsid, c.byteOrder))
            << c.ccsid << "/" << c.byteOrder;
    }
}

TEST(WriterDocType, CopiedDeclarationWithInternalSubset) {
    WriterTestTree t;
    KelSyntaxElement* d = t.add(t.root, XmlTypeDocTypeDecl, "a");
    t.span(d, "<!DOCTYPE a ", 1208);
    KelSyntaxElement* subset = t.add(d, XmlTypeInternalSubset);
    t.span(subset, "[ <!ELEMENT a ANY> ]", 1208);
    t.add(t.root, XmlTypeElement, "a");
    EXPECT_EQ(t.write(), "<!DOCTYPE a [ <!ELEMENT a ANY> ]><a/>");

    // The subset rewritten, its declarations still copied one by one.
    KelSyntaxElement* def = t.addValue(subset, XmlTypeElementDef, "ANY", "a");
    t.span(def, "<!ELEMENT a ANY>", 1208);
    WriterTestTree::xml(subset)->setBufferStart(nullptr);
    t.addValue(subset, XmlTypeDocTypeComment, "new");
    EXPECT_EQ(t.write(), "<!DOCTYPE a  [<!ELEMENT a ANY><!--new-->]><a/>");
}

// ---- rewritten declarations -------------------------------------------------------------------

TEST(WriterDeclarations, InternalSubsetIsRewrittenDeclarationByDeclaration) {
    WriterTestTree t;
    KelSyntaxElement* d = t.add(t.root, XmlTypeDocTypeDecl, "a");
    t.addValue(d, XmlTypeSystemId, "s.dtd");   // stands first, written after the public id
    t.addValue(d, XmlTypePublicId, "-//P//EN");
    KelSyntaxElement* subset = t.add(d, XmlTypeInternalSubset);
    t.addValue(subset, XmlTypeElementDef, "(#PCDATA|b)*", "a");
    KelSyntaxElement* list = t.add(subset, XmlTypeAttList, "a");
    KelSyntaxElement* x = t.add(list, XmlTypeAttDef, "x");
    t.addValue(x, XmlTypeAttDefValue, "v\"<&");   // value before the default kind in the tree
    t.addValue(x, XmlTypeAttDefDefaultType, "FIXED");
    t.addValue(x, XmlTypeAttDefType, "", "CDATA");
    KelSyntaxElement* y = t.add(list, XmlTypeAttDef, "y");
    t.addValue(y, XmlTypeAttDefType, "(r|g)");
    t.addValue(y, XmlTypeAttDefDefaultType, "IMPLIED");
    KelSyntaxElement* pe = t.add(subset, XmlTypeParameterEntityDecl, "pe");
    t.addValue(pe, XmlTypeEntityValue, "a&#38;b%c\"d<e/>");
    t.addValue(subset, XmlTypeDocTypeComment, "dc");
    t.addValue(subset, XmlTypeDocTypeWhiteSpace, "\n");
    t.addValue(subset, XmlTypeDocTypePI, "data", "target");
    KelSyntaxElement* n = t.add(subset, XmlTypeNotationDecl, "n");
    t.addValue(n, XmlTypePublicId, "pn");
    KelSyntaxElement* u = t.add(subset, XmlTypeUnparsedEntityDecl, "u");
    t.addValue(u, XmlTypeSystemId, "u.bin");
    t.addValue(u, XmlTypeNotationReference, "n");
    KelSyntaxElement* ext = t.add(subset, XmlTypeExternalEntityDecl, "x");
    t.addValue(ext, XmlTypePublicId, "-//X//EN");
    t.addValue(ext, XmlTypeSystemId, "it is \"here\".xml");
    KelSyntaxElement* extPe = t.add(subset, XmlTypeExternalParameterEntityDecl, "ep");
    t.addValue(extPe, XmlTypeSystemId, "a\"b.ent");
    t.addValue(subset, XmlTypeContent, "no text in a subset");
    t.add(d, XmlTypeExternalSubset);   // never rewritten
    t.add(t.root, XmlTypeElement, "a");
    EXPECT_EQ(t.write(),
              "<!DOCTYPE a PUBLIC \"-//P//EN\" \"s.dtd\" ["
              "<!ELEMENT a (#PCDATA|b)*>"
              "<!ATTLIST a x CDATA #FIXED \"v&quot;&lt;&amp;\" y (r|g) #IMPLIED>"
              "<!ENTITY % pe \"a&#x26;#38;b&#x25;c&#x22;d<e/>\">"
              "<!--dc-->\n<?target data?>"
              "<!NOTATION n  PUBLIC \"pn\">"
              "<!ENTITY u SYSTEM \"u.bin\" NDATA n>"
              "<!ENTITY x PUBLIC \"-//X//EN\" 'it is \"here\".xml'>"
              "<!ENTITY % ep SYSTEM 'a\"b.ent'>"
              "]><a/>");
}

TEST(WriterDeclarations, EmptyLiteralsThatReadBackAsNoChildAreStillWritten) {
    WriterTestTree t;
    KelSyntaxElement* d = t.add(t.root, XmlTypeDocTypeDecl, "a");
    KelSyntaxElement* subset = t.add(d, XmlTypeInternalSubset);
    t.add(subset, XmlTypeEntityDecl, "e");
    t.add(subset, XmlTypeParameterEntityDecl, "p");
    t.add(subset, XmlTypeNotationDecl, "n");
    t.add(subset, XmlTypeExternalEntityDecl, "x");
    KelSyntaxElement* u = t.add(subset, XmlTypeUnparsedEntityDecl, "u");
    t.addValue(u, XmlTypeNotationReference, "n");
    KelSyntaxElement* withValue = t.add(subset, XmlTypeEntityDecl, "v");
    t.addValue(withValue, XmlTypeEntityValue, "text");
    t.add(d, XmlTypeExternalSubset);
    t.add(t.root, XmlTypeElement, "a");
    EXPECT_EQ(t.write(), "<!DOCTYPE a SYSTEM \"\" [<!ENTITY e \"\"><!ENTITY % p \"\"><!NOTATION n  SYSTEM \"\">"
                         "<!ENTITY x SYSTEM \"\"><!ENTITY u SYSTEM \"\" NDATA n><!ENTITY v \"text\">]><a/>");
}

TEST(WriterDeclarations, DeclarationsNestedBeyondTheLimitAreRefused) {
    WriterTestTree t;
    KelSyntaxElement* d = t.add(t.root, XmlTypeDocTypeDecl, "a");
    KelSyntaxElement* e = d;
    for (int i = 0; i < XmlBrokerOrvaneWriter::kMaxDeclarationDepth + 5; ++i) e = t.add(e, XmlTypeInternalSubset);
    t.add(t.root, XmlTypeElement, "a");
    try {
        t.write();
        FAIL() << "no error";
    } catch (const KelParserException& ex) {
        EXPECT_EQ(ex.catalogueNumber(), 5006u);
    }
    // Just inside the limit it is written.
    WriterTestTree ok;
    KelSyntaxElement* d2 = ok.add(ok.root, XmlTypeDocTypeDecl, "a");
    e = d2;
    for (int i = 0; i < XmlBrokerOrvaneWriter::kMaxDeclarationDepth - 2; ++i) e = ok.add(e, XmlTypeInternalSubset);
    ok.add(ok.root, XmlTypeElement, "a");
    const std::string out = ok.write();
    EXPECT_EQ(out.size(), std::string("<!DOCTYPE a>").size() + 3 * (XmlBrokerOrvaneWriter::kMaxDeclarationDepth - 2) +
                              std::string("<a/>").size());
}

// ---- deep documents ---------------------------------------------------------------------------

TEST(WriterDepth, DocumentNestedOneHundredThousandLevelsIsWritten) {
    constexpr std::size_t depth = 100000;
    WriterTestTree t;
    KelSyntaxElement* e = t.root;
    for (std::size_t i = 0; i < depth; ++i) {
        e = t.add(e, XmlTypeElement, "e");
        if (i % 1000 == 0) t.attribute(e, "i", std::to_string(i), true);
    }
    t.addValue(e, XmlTypeContent, "x");
    std::string expected;
    for (std::size_t i = 0; i < depth; ++i) expected += (i % 1000 == 0) ? "<e i=\"" + std::to_string(i) + "\">" : "<e>";
    expected += "x" + repeat("</e>", depth);
    EXPECT_EQ(t.write(), expected);
    // And again, into UTF-16, with the work stack reused.
    EXPECT_EQ(t.write(1200, 273), "\xFE\xFF" + encodeAs(expected, 1200, 1));
}

} // namespace
