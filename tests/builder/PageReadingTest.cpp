// Reading code pages at their edges: a character cut off by the end of the bitstream, the shift
// codes of stateful double-byte EBCDIC pages in element spans, and EBCDIC NL line ends.
#include "BuilderTestDocument.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using Doc = BuilderTestDocument;

// Parses the whole document; "ok" or the scanner's message number and text.
std::string parseAll(const std::string& bytes, int ccsid = 1208, int encoding = 546) {
    Doc doc(bytes, ccsid, encoding);
    try {
        doc.describe();
        doc.parser.validate();
        return "ok";
    } catch (const KelException& failure) {
        const KelException& scanner = scannerError(failure);
        return std::to_string(scanner.catalogueNumber());
    }
}

TEST(PageReading, ACharacterCutOffAtTheEndIsAParseError) {
    // Every cut of a multi-byte character after a complete document, as anywhere else.
    for (const char* cut : {"\xE2\x82", "\xE2", "\xF0\x9F\x98", "\xC3", "\xF0"})
        EXPECT_EQ(parseAll(std::string("<r/>") + cut), "5004") << cut;
    EXPECT_EQ(parseAll("<r/>\n\xE2\x82"), "5004");
    EXPECT_EQ(parseAll(encodeAs("<r/>", 943) + "\x82", 943), "5004");
    // A lone high surrogate at the end of UTF-16.
    EXPECT_EQ(parseAll("\xFF\xFE" + encodeAs("<r/>", 1200, -1) + "\x3D\xD8", 1200), "5004");
    // Whole characters at the end, NUL padding, and a stateful page's closing shift are fine.
    EXPECT_EQ(parseAll("<r/>\n"), "ok");
    EXPECT_EQ(parseAll("<r>\xE2\x82\xAC</r>"), "ok");
    EXPECT_EQ(parseAll(std::string("<r/>\0\0", 6)), "ok");
    EXPECT_EQ(parseAll(encodeAs("<r>\xE8\xAA\x9E</r>", 930), 930), "ok");
}

TEST(PageReading, ShiftOutBelongsToTheTextItOpens) {
    // <r><a><b/>語</a><c/>語<d/></r> in 930: the text is SO, two bytes, SI.
    const std::string bytes = encodeAs("<r><a><b/>\xE8\xAA\x9E</a><c/>\xE8\xAA\x9E<d/></r>", 930);
    Doc doc(bytes, 930, 785);
    KelSyntaxElement* r = doc.documentElement();
    KelSyntaxElement* a = Doc::child(r, XmlTypeElement, 0);
    KelSyntaxElement* b = Doc::child(a, XmlTypeElement);
    KelSyntaxElement* c = Doc::child(r, XmlTypeElement, 1);
    KelSyntaxElement* d = Doc::child(r, XmlTypeElement, 2);
    // <b/> ends at its '>', before the shift-out; </a> starts right after the shift-in.
    EXPECT_EQ(doc.span(b), "<b/>");
    EXPECT_EQ(xml(b)->getBufferEnd()[0], 0x0E);
    EXPECT_EQ(doc.span(a), "<a><b/>\xE8\xAA\x9E</a>");
    EXPECT_EQ(doc.span(c), "<c/>");
    EXPECT_EQ(doc.span(d), "<d/>");
    EXPECT_EQ(xml(d)->getBufferStart()[-1], 0x0F);
    EXPECT_EQ(Doc::child(r, XmlTypeContent)->actualValue().valueAsCharacter().toUtf8(), "\xE8\xAA\x9E");
}

TEST(PageReading, EbcdicNewLineIsALineEndOnlyInEbcdic) {
    // NL after the document element and between attributes, in 37 and 1047.
    for (int ccsid : {37, 1047}) {
        std::string bytes = encodeAs("<r\na='1'>x\ny</r>\n", ccsid);
        for (char& ch : bytes)
            if (static_cast<unsigned char>(ch) == 0x25) ch = 0x15;
        Doc doc(bytes, ccsid, 785);
        KelSyntaxElement* r = doc.documentElement();
        EXPECT_EQ(Doc::child(r, XmlTypeContent)->actualValue().valueAsCharacter().toUtf8(), "x\ny") << ccsid;
        // The span holds the bytes as they were: NL, which the converter alone reads as U+0085.
        EXPECT_EQ(doc.span(r), "<r\xC2\x85" "a='1'>x\xC2\x85y</r>");
        EXPECT_EQ(parseAll(bytes, ccsid, 785), "ok");
    }
    // In UTF-8 U+0085 stays a character: not white space after the document element, and text
    // inside it.
    EXPECT_EQ(parseAll("<r/>\xC2\x85"), "5004");
    Doc utf8("<r>x\xC2\x85y</r>");
    EXPECT_EQ(Doc::child(utf8.documentElement(), XmlTypeContent)->actualValue().valueAsCharacter().toUtf8(),
              "x\xC2\x85y");
}

} // namespace
