// The write driver and the output buffer: byte-order marks and byte order, batching of pieces
// around the flush threshold, copies of original stretches in every code page and byte order
// combination, bad stretches, and text the output code page cannot hold.
#include "WriterTestTree.hpp"

#include "host/KelException.hpp"
#include "host/KelParser.hpp"
#include "host/KelSyntaxElementAccess.hpp"
#include "common/XmlElementType.hpp"

#include <gtest/gtest.h>

namespace {

// <a>t</a> built by hand.
void smallDocument(WriterTestTree& t) {
    KelSyntaxElement* a = t.add(t.root, XmlTypeElement, "a");
    t.addValue(a, XmlTypeContent, "t");
}

TEST(WriterByteOrder, MarkFollowsTheEncodingAndGoesAfterWhatTheBufferHolds) {
    struct Case {
        long ccsid;
        long encoding;
        std::string mark;
    } cases[] = {
        {1200, 546, "\xFF\xFE"}, {1200, 273, "\xFE\xFF"}, {1200, 785, "\xFE\xFF"}, {1200, 0, ""},
        {13488, 546, "\xFF\xFE"}, {17584, 273, "\xFE\xFF"}, {1208, 273, ""}, {1208, 546, ""},
    };
    for (const Case& c : cases) {
        WriterTestTree t;   // no children at all: only the mark
        KelWriteBuffer buffer(static_cast<int>(c.ccsid));
        buffer.append("ab", 2);
        const int n = t.writer().writeBuffer(&buffer, t.root, c.ccsid, c.encoding);
        EXPECT_EQ(buffer.toString(), "ab" + c.mark) << c.ccsid << "/" << c.encoding;
        EXPECT_EQ(n, static_cast<int>(2 + c.mark.size())) << c.ccsid << "/" << c.encoding;
    }
}

TEST(WriterByteOrder, TextFollowsTheByteOrderOfTheMark) {
    WriterTestTree t;
    smallDocument(t);
    EXPECT_EQ(t.write(1200, 546), "\xFF\xFE" + encodeAs("<a>t</a>", 1200, -1));
    EXPECT_EQ(t.write(1200, 273), "\xFE\xFF" + encodeAs("<a>t</a>", 1200, 1));
    // No mark: little-endian.
    EXPECT_EQ(t.write(1200, 0), encodeAs("<a>t</a>", 1200, -1));
    EXPECT_EQ(t.write(13488, 785), "\xFE\xFF" + encodeAs("<a>t</a>", 13488, 1));
    EXPECT_EQ(t.write(1208, 546), "<a>t</a>");
}

TEST(WriterByteOrder, EndianValueIsDefinedForEveryOutputPage) {
    WriterTestTree t;
    smallDocument(t);
    t.writer().setEndian(12345);   // whatever the field held before
    t.write(1208, 546);
    EXPECT_EQ(t.writer().getEndian(), 1);
    t.write(1200, 546);
    EXPECT_EQ(t.writer().getEndian(), -1);
    t.write(37, 785);
    EXPECT_EQ(t.writer().getEndian(), 1);
    t.write(1200, 273);
    EXPECT_EQ(t.writer().getEndian(), 1);
}

// Pieces of 1023, 1024, 1025 and 2049 code units, plain and escaped, between tags: whatever goes
// straight to the buffer and whatever waits in the pending text must come out in order, in the
// output's byte order.
TEST(WriterPieces, PiecesAroundTheFlushThresholdKeepTheirOrderAndByteOrder) {
    for (std::size_t length : {std::size_t(1023), std::size_t(1024), std::size_t(1025), std::size_t(2049)}) {
        WriterTestTree t;
        KelSyntaxElement* r = t.add(t.root, XmlTypeElement, "r");
        t.add(r, XmlTypeElement, "a");
        const std::string plain(length, 'y');
        t.addValue(r, XmlTypeContent, plain);
        t.addValue(r, XmlTypeContent, "p&q");
        t.add(r, XmlTypeElement, "b");
        const std::string escaped = std::string(length, 'z') + "<";
        t.addValue(r, XmlTypeContent, escaped);
        t.addValue(r, XmlTypeRawContent, std::string(length, 'w'));
        t.add(r, XmlTypeElement, "c");
        const std::string expected = "<r><a/>" + plain + "p&amp;q<b/>" + std::string(length, 'z') + "&lt;" +
                                     std::string(length, 'w') + "<c/></r>";
        EXPECT_EQ(t.write(1208, 546), expected) << length;
        EXPECT_EQ(t.write(1200, 546), "\xFF\xFE" + encodeAs(expected, 1200, -1)) << length;
        EXPECT_EQ(t.write(1200, 273), "\xFE\xFF" + encodeAs(expected, 1200, 1)) << length;
    }
}

// ---- copies of original stretches ----------------------------------------------------------

// <r x='1'>A<!--c--></r>, whose span holds the same document written differently.
KelSyntaxElement* spannedDocument(WriterTestTree& t, const std::string& bytes, int ccsid, bool bigEndian = true) {
    KelSyntaxElement* r = t.add(t.root, XmlTypeElement, "r");
    t.attribute(r, "x", "1", false);
    t.addValue(r, XmlTypeContent, "A");
    t.addValue(r, XmlTypeComment, "c");
    t.span(r, bytes, ccsid, bigEndian);
    return r;
}

TEST(WriterSpans, SameCodePageCopiesTheExactBytesAndSpanReuseOffWritesMarkup) {
    // Odd spacing, a character reference and a byte that is not UTF-8: copied untouched.
    const std::string bytes = "<r  x = \"1\" >&#65;<!--c--></r >\xFF";
    WriterTestTree reuse(true);
    spannedDocument(reuse, bytes, 1208);
    EXPECT_EQ(reuse.write(), bytes);

    WriterTestTree markup(false);
    spannedDocument(markup, bytes, 1208);
    EXPECT_EQ(markup.write(), "<r x='1'>A<!--c--></r>");
}

TEST(WriterSpans, ChangedElementIsRewrittenWhileUnchangedChildrenAreCopied) {
    WriterTestTree t;
    KelSyntaxElement* r = t.add(t.root, XmlTypeElement, "r");
    KelSyntaxElement* x = t.attribute(r, "x", "1", true);
    KelSyntaxElement* b = t.add(r, XmlTypeElement, "b");
    t.addValue(b, XmlTypeContent, "1");
    KelSyntaxElement* c = t.add(r, XmlTypeElement, "c");
    t.span(r, "<r x=\"1\"><b >1</b ><c\t/></r>", 1208);
    t.span(b, "<b >1</b >", 1208);
    t.span(c, "<c\t/>", 1208);
    x->setValue(ks("2"));   // marks the attribute and r
    EXPECT_EQ(t.write(), "<r x=\"2\"><b >1</b ><c\t/></r>");
}

TEST(WriterSpans, Utf16StretchInTheOtherByteOrderIsSwappedPairByPair) {
    // Long enough for several rounds of the swap work area.
    const std::string text = "<r x='1'>" + repeat("\xC3\xA9z", 700) + "<!--c--></r>";
    WriterTestTree t;
    spannedDocument(t, encodeAs(text, 1200, 1), 1200, true);
    EXPECT_EQ(t.write(1200, 546), "\xFF\xFE" + encodeAs(text, 1200, -1));
    EXPECT_EQ(t.write(1200, 273), "\xFE\xFF" + encodeAs(text, 1200, 1));

    WriterTestTree little;
    spannedDocument(little, encodeAs(text, 1200, -1), 1200, false);
    EXPECT_EQ(little.write(1200, 273), "\xFE\xFF" + encodeAs(text, 1200, 1));
    EXPECT_EQ(little.write(1200, 0), encodeAs(text, 1200, -1));
}

TEST(WriterSpans, Utf16StretchIntoAnotherUtf16PageHonoursItsOwnByteOrder) {
    const std::string text = "<r x='1'>\xE2\x82\xAC<!--c--></r>";
    WriterTestTree big;
    spannedDocument(big, encodeAs(text, 1200, 1), 1200, true);
    EXPECT_EQ(big.write(13488, 273), "\xFE\xFF" + encodeAs(text, 13488, 1));
    EXPECT_EQ(big.write(17584, 546), "\xFF\xFE" + encodeAs(text, 17584, -1));

    WriterTestTree little;
    spannedDocument(little, encodeAs(text, 13488, -1), 13488, false);
    EXPECT_EQ(little.write(1200, 273), "\xFE\xFF" + encodeAs(text, 1200, 1));
    EXPECT_EQ(little.write(1200, 546), "\xFF\xFE" + encodeAs(text, 1200, -1));
}

TEST(WriterSpans, OtherCodePagesAreConverted) {
    const std::string text = "<r x='1'>caf\xC3\xA9 [x]<!--c--></r>";
    WriterTestTree utf8;
    spannedDocument(utf8, text, 1208);
    EXPECT_EQ(utf8.write(1200, 273), "\xFE\xFF" + encodeAs(text, 1200, 1));
    EXPECT_EQ(utf8.write(37, 785), encodeAs(text, 37));
    EXPECT_EQ(utf8.write(1208, 546), text);

    WriterTestTree ebcdic;
    spannedDocument(ebcdic, encodeAs(text, 1047), 1047);
    EXPECT_EQ(ebcdic.write(1208, 546), text);
    EXPECT_EQ(ebcdic.write(37, 785), encodeAs(text, 37));   // both EBCDIC, different pages
    EXPECT_EQ(ebcdic.write(1047, 785), encodeAs(text, 1047));
}

TEST(WriterSpans, BadStretchesAreInvalidBufferOffsets) {
    auto expectOffsetsError = [](WriterTestTree& t, long ccsid, long encoding) {
        try {
            t.write(ccsid, encoding);
            ADD_FAILURE() << "no error for " << ccsid;
        } catch (const KelParserException& e) {
            EXPECT_EQ(e.catalogueNumber(), 5001u);
            EXPECT_EQ(e.text(), "Invalid buffer offsets for output");
        }
    };
    // Half a UTF-16 code unit at the end: swapped, converted or copied, never read past.
    const std::string odd = encodeAs("<r/>", 1200, 1) + std::string(1, '\0');
    for (long out : {1200L, 13488L, 1208L}) {
        WriterTestTree t;
        spannedDocument(t, odd, 1200, true);
        expectOffsetsError(t, out, 546);
    }
    // End before start.
    WriterTestTree t;
    KelSyntaxElement* r = spannedDocument(t, "<r/>", 1208);
    const unsigned char* start = WriterTestTree::xml(r)->getBufferStart();
    WriterTestTree::xml(r)->setBufferStart(start + 3);
    WriterTestTree::xml(r)->setBufferEnd(start + 1);
    expectOffsetsError(t, 1208, 546);
}

// ---- text the output code page cannot hold ---------------------------------------------------

TEST(WriterCoverage, ContentAndAttributesGetCharacterReferencesForWhatThePageLacks) {
    WriterTestTree t;
    KelSyntaxElement* a = t.add(t.root, XmlTypeElement, "a");
    t.attribute(a, "v", "\xE2\x82\xAC<\xC3\xA9", true);
    t.addValue(a, XmlTypeContent, "x\xE2\x82\xAC y \xF0\x9F\x98\x80&\xC3\xA9");
    // ISO-8859-1 holds e-acute but neither the euro sign nor the emoji.
    EXPECT_EQ(t.write(819, 546), "<a v=\"&#x20AC;&lt;\xE9\">x&#x20AC; y &#x1F600;&amp;\xE9</a>");
    // UTF-8 holds everything: no references.
    EXPECT_EQ(t.write(1208, 546), "<a v=\"\xE2\x82\xAC&lt;\xC3\xA9\">x\xE2\x82\xAC y \xF0\x9F\x98\x80&amp;\xC3\xA9</a>");
    // EBCDIC 37 lacks the euro sign too (1140 would have it).
    EXPECT_EQ(t.write(37, 785), encodeAs("<a v=\"&#x20AC;&lt;\xC3\xA9\">x&#x20AC; y &#x1F600;&amp;\xC3\xA9</a>", 37));
    EXPECT_EQ(t.write(1140, 785), encodeAs("<a v=\"\xE2\x82\xAC&lt;\xC3\xA9\">x\xE2\x82\xAC y &#x1F600;&amp;\xC3\xA9</a>", 1140));
}

TEST(WriterCoverage, CopiedStretchThePageCannotHoldIsRewrittenAsMarkup) {
    WriterTestTree t;
    KelSyntaxElement* a = t.add(t.root, XmlTypeElement, "a");
    t.addValue(a, XmlTypeContent, "\xE2\x82\xAC");
    t.span(a, "<a >\xE2\x82\xAC</a >", 1208);
    EXPECT_EQ(t.write(819, 546), "<a>&#x20AC;</a>");
    EXPECT_EQ(t.write(1200, 273), "\xFE\xFF" + encodeAs("<a >\xE2\x82\xAC</a >", 1200, 1));
}

TEST(WriterCoverage, InvisibleCharactersThePageLacksAreNotDroppedSilently) {
    // A byte-order mark and a zero-width joiner inside the text, one as content, one in a span.
    WriterTestTree t;
    KelSyntaxElement* a = t.add(t.root, XmlTypeElement, "a");
    t.addValue(a, XmlTypeContent, "\xEF\xBB\xBF" "data\xE2\x80\x8D");
    KelSyntaxElement* b = t.add(a, XmlTypeElement, "b");
    t.addValue(b, XmlTypeContent, "\xEF\xBB\xBF" "x");
    t.span(b, "<b>\xEF\xBB\xBF" "x</b>", 1208);
    EXPECT_EQ(t.write(37, 785), encodeAs("<a>&#xFEFF;data&#x200D;<b>&#xFEFF;x</b></a>", 37));
    EXPECT_EQ(t.write(1200, 273), "\xFE\xFF" + encodeAs("<a>\xEF\xBB\xBF" "data\xE2\x80\x8D<b>\xEF\xBB\xBF" "x</b></a>", 1200, 1));
}

TEST(WriterCoverage, ElsewhereTheConversionErrorTravelsOut) {
    WriterTestTree comment;
    comment.addValue(comment.root, XmlTypeComment, "\xE2\x82\xAC");
    comment.add(comment.root, XmlTypeElement, "a");
    EXPECT_THROW(comment.write(819, 546), KelRecoverableException);

    WriterTestTree name;
    name.add(name.root, XmlTypeElement, "\xE2\x82\xAC");
    EXPECT_THROW(name.write(819, 546), KelRecoverableException);
}

// ---- elements of other parsers ----------------------------------------------------------------

// A parser of another group: its elements are written by the class of their type code.
class OtherDomainParser : public KelParser {
public:
    explicit OtherDomainParser(KelMessageGroup* group) : KelParser(group, sizeof(KelSyntaxElement)) {}
    const KelStringBase& parserGroupName() const override {
        static const KelStringBase name(u"mrm");
        return name;
    }
};

TEST(WriterOtherDomains, ElementOfAnotherDomainIsWrittenByItsClassByte) {
    KelMessageGroup otherGroup;
    OtherDomainParser other(&otherGroup);
    WriterTestTree t;
    auto make = [&other](KelSyntaxElement* parent, int type, const char* name, const char* value) {
        KelSyntaxElement* e = other.elementPool().createElement();
        KelSyntaxElementAccess::parserSetType(e, type);
        if (name) KelSyntaxElementAccess::parserSetName(e, ks(name));
        if (value) e->setActualValue(ks(value));
        if (parent) KelSyntaxElementAccess::parserAttachAsLastChild(parent, e);
        return e;
    };
    KelSyntaxElement* order = make(nullptr, 0x01000123, "order", nullptr);
    make(order, 0x01000045, "item", nullptr);
    make(order, 0x03000077, "id", "7");
    make(order, 0x02000001, nullptr, "a<b");   // CDATA's code, but class 0x02 is plain text here
    make(order, 0x06000018, nullptr, "not a comment here");
    KelSyntaxElementAccess::parserAttachAsLastChild(t.root, order);
    EXPECT_EQ(t.write(), "<order id='7'><item/>a&lt;b</order>");
}

TEST(WriterOtherDomains, ElementOfAnotherXmlParserKeepsItsFullTypeAndSpan) {
    WriterTestTree other;   // outlives the tree that borrows its elements
    WriterTestTree t;
    KelSyntaxElement* a = t.add(t.root, XmlTypeElement, "a");
    KelSyntaxElement* cdata = other.addValue(other.root, XmlTypeCData, "a<b");
    cdata->detach();
    a->attachAsLastChild(cdata);
    KelSyntaxElement* copied = other.add(other.root, XmlTypeElement, "c");
    other.span(copied, "<c  />", 1208);
    copied->detach();
    KelSyntaxElementAccess::parserAttachAsLastChild(a, copied);
    EXPECT_EQ(t.write(), "<a><![CDATA[a<b]]><c  /></a>");
}

} // namespace
