// The independent reader itself: it must see what a consumer sees, so that a fault of quarn's
// output cannot pass. Its two halves are held to libxml2's reading of hand-written documents.
#include "tests/support/CanonicalTreeSerialiser.hpp"
#include "tests/support/LibxmlCanonicalReader.hpp"
#include "tests/support/OutputPage.hpp"
#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "tests/writer/WriterTestDocument.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string canonicalOf(const std::string& xml) {
    const LibxmlReading r = LibxmlCanonicalReader::read(xml);
    EXPECT_TRUE(r.ok) << r.error << "\n" << xml;
    return r.canonical;
}

} // namespace

TEST(IndependentReader, TheOutputsOwnDeclarationDecidesHowItIsRead) {
    // "<?xml version='1.0' encoding='IBM037'?><r>\xe9</r>" in code page 37.
    const std::string ebcdic("\x4c\x6f\xa7\x94\x93\x40\xa5\x85\x99\xa2\x89\x96\x95\x7e\x7d\xf1\x4b\xf0\x7d\x40"
                             "\x85\x95\x83\x96\x84\x89\x95\x87\x7e\x7d\xc9\xc2\xd4\xf0\xf3\xf7\x7d\x6f\x6e"
                             "\x4c\x99\x6e\x51\x4c\x61\x99\x6e", 47);
    const LibxmlReading right = LibxmlCanonicalReader::read(ebcdic);
    ASSERT_TRUE(right.ok) << right.error;
    EXPECT_EQ(right.canonical, "<r>\xc3\xa9</r>");
    // The same bytes declaring UTF-8, as a writer that forgets to rename the page would leave
    // them: no consumer can read them.
    std::string wrong = ebcdic;
    wrong.replace(30, 6, std::string("\xe4\xe3\xc6\x60\xf8", 5));   // IBM037 -> UTF-8
    EXPECT_FALSE(LibxmlCanonicalReader::read(wrong).ok);
    // Latin-1 bytes declared as UTF-8 are not silently taken either.
    EXPECT_FALSE(LibxmlCanonicalReader::read("<?xml version='1.0' encoding='UTF-8'?><r>\xe9</r>").ok);
    EXPECT_EQ(LibxmlCanonicalReader::read("<?xml version='1.0' encoding='ISO-8859-1'?><r>\xe9</r>").canonical,
              "<r>\xc3\xa9</r>");
    // UTF-16 is known by its mark.
    const std::string utf16("\xff\xfe<\0r\0/\0>\0", 10);
    EXPECT_EQ(LibxmlCanonicalReader::read(utf16).canonical, "<r></r>");
}

TEST(IndependentReader, NothingOutsideTheBytesIsRead) {
    const LibxmlReading r = LibxmlCanonicalReader::read(
        "<!DOCTYPE r SYSTEM 'http://example.invalid/r.dtd' [<!ENTITY e SYSTEM '/etc/hostname'>]><r>&e;</r>");
    // Either refused or read without the entity's text: never the file's contents.
    if (r.ok) {
        EXPECT_EQ(r.canonical, "<r></r>");
    }
}

TEST(IndependentReader, TheTreeIsSerialisedWithEverythingAReaderCouldChangeEscaped) {
    // Text and values that a careless serialisation would lose: a carriage return from a
    // reference, tab and newline in an attribute, markup characters, "]]>" in CDATA, an entity's
    // expansion, a defaulted attribute, comments and instructions around the document element.
    const std::string doc = "<?xml version='1.0'?><!--a--><?p q?>"
                            "<!DOCTYPE r [<!ENTITY e 'x&#38;#60;y'><!ATTLIST r d CDATA 'dv'>]>"
                            "<r a='&#9;&#10;&#13;&lt;&amp;&quot;&apos;'>t&#13;&#10;&gt;<![CDATA[c]]]]>"
                            "<![CDATA[>]]>&e;<s/><!--in--><?pi?></r><!--z-->";
    WriterTestDocument parsed(doc);
    const std::string fromTree = canonicalOf(CanonicalTreeSerialiser::serialise(parsed.root()));
    EXPECT_EQ(fromTree, canonicalOf(doc));
    EXPECT_NE(fromTree.find("d=\"dv\""), std::string::npos) << fromTree;
    EXPECT_NE(fromTree.find("x&lt;y"), std::string::npos) << fromTree;
    // A value that no XML text can hold makes the serialisation unreadable: such a tree must
    // not be written.
    WriterTestDocument edited("<r><!--c--></r>");
    KelSyntaxElement* comment = edited.root()->firstChild()->firstChild();
    comment->setValue(KelStringBase(u"a--b"));
    EXPECT_FALSE(LibxmlCanonicalReader::read(CanonicalTreeSerialiser::serialise(edited.root())).ok);
}

TEST(IndependentReader, PagesKnowWhatTheyLack) {
    EXPECT_FALSE(OutputPage::lacksAnyOf(37, u"abc\u00e9"));
    EXPECT_TRUE(OutputPage::lacksAnyOf(37, u"\u4e2d"));
    EXPECT_TRUE(OutputPage::lacksAnyOf(819, u"\u20ac"));
    EXPECT_FALSE(OutputPage::lacksAnyOf(1252, u"\u20ac"));
    EXPECT_FALSE(OutputPage::lacksAnyOf(930, u"\u4e2d"));
    EXPECT_FALSE(OutputPage::lacksAnyOf(1208, u"\U0001F600"));
}

TEST(IndependentReader, CarriageReturnsInCDataSectionsReachTheReader) {
    // A carriage return set into a CDATA section cannot stand in it: every reader turns it into
    // a line feed. It is written between two sections as a reference, in every page.
    for (int ccsid : {1208, 1200, 37, 819, 930}) {
        WriterTestDocument doc("<r><![CDATA[x]]></r>");
        KelSyntaxElement* section = doc.root()->firstChild()->firstChild();
        ASSERT_EQ(section->type(), XmlTypeCData);
        section->setValue(KelStringBase(u"a\rb\r\n]]>c\r"));
        const std::string out = doc.write(ccsid, 546);
        const LibxmlReading read = LibxmlCanonicalReader::read(out, ccsid == 1208 || ccsid == 1200 ? nullptr : OutputPage::libxmlName(ccsid));
        ASSERT_TRUE(read.ok) << ccsid << ": " << read.error;
        EXPECT_EQ(read.canonical, "<r>a&#xD;b&#xD;\n]]&gt;c&#xD;</r>") << ccsid;
    }
}

TEST(IndependentReader, DelInAPcPageIsAReferenceOrRefusedNeverTheRotatedByte) {
    // ICU's IBM PC tables give DEL the byte 0x1C, which a reader of "IBM850" takes for U+001C,
    // no XML character. Unchanged text holding DEL is written anew with a reference; a comment,
    // which can hold no reference, is refused as a character the page lacks.
    for (int ccsid : {850, 437}) {
        WriterTestDocument doc("<r a='\x7f'>x\x7fy<b>\x7f</b></r>");
        const std::string out = doc.write(ccsid, 546);
        EXPECT_EQ(out.find('\x1c'), std::string::npos) << ccsid;
        const LibxmlReading read = LibxmlCanonicalReader::read(out);
        ASSERT_TRUE(read.ok) << ccsid << ": " << read.error << "\n" << out;
        EXPECT_EQ(read.canonical, "<r a=\"\x7f\">x\x7fy<b>\x7f</b></r>") << ccsid;

        WriterTestDocument comment("<r><!--a\x7f--></r>");
        EXPECT_THROW(comment.write(ccsid, 546), KelException) << ccsid;
    }
}

TEST(IndependentReader, U0085IntoAnEbcdicPageIsAReferenceOrRefusedNeverNl) {
    // NL (0x15) is a line end to quarn and to the mainframe readers of these pages: U+0085 from a
    // page without NL is written as a reference, whether its text was copied or written anew, and
    // a comment or processing instruction, which can hold no reference, is refused.
    for (int ccsid : {500, 37}) {
        for (bool reuse : {true, false}) {
            WriterTestDocument doc("<r a='\xc2\x85'>x\xc2\x85y<b>\xc2\x85</b></r>", 1208, 546, reuse);
            const std::string out = doc.write(ccsid, 546);
            EXPECT_EQ(out.find('\x15'), std::string::npos) << ccsid;
            const LibxmlReading read = LibxmlCanonicalReader::read(OutputPage::withLineFeeds(out, ccsid),
                                                                   OutputPage::libxmlName(ccsid));
            ASSERT_TRUE(read.ok) << ccsid << ": " << read.error;
            EXPECT_EQ(read.canonical, "<r a=\"\xc2\x85\">x\xc2\x85y<b>\xc2\x85</b></r>") << ccsid;
            // And quarn reads the character back, not a line end.
            WriterTestDocument again(out, ccsid, 546);
            EXPECT_EQ(again.describe(), doc.describe()) << ccsid;
        }
        WriterTestDocument comment("<r><!--a\xc2\x85--></r>");
        EXPECT_THROW(comment.write(ccsid, 546), KelException) << ccsid;
        WriterTestDocument pi("<r><?p a\xc2\x85?></r>");
        EXPECT_THROW(pi.write(ccsid, 546), KelException) << ccsid;
    }
    // An EBCDIC document's own NL line ends stay NL.
    const std::u16string lines = u"<r>\n<b>x</b>\n</r>";
    std::string ebcdic(lines.size(), '\0');
    KelConverter::setCodepage(500)->convertFromUnicode(lines.data(), lines.size(),
                                                       reinterpret_cast<unsigned char*>(&ebcdic[0]), ebcdic.size(), 0);
    for (char& c : ebcdic)
        if (c == '\x25') c = '\x15';
    WriterTestDocument own(ebcdic, 500, 546);
    EXPECT_EQ(own.write(37, 546).find('\x25'), std::string::npos);
}

TEST(IndependentReader, AttributeDefinitionsWrittenAnewStayDeclarations) {
    // An empty default, fixed or not, is still a default: without it the definition is no XML.
    const std::string doc = "<!DOCTYPE r [<!ATTLIST r a CDATA \"\" b CDATA #FIXED \"\" c (x|y) \"x\">]><r/>";
    WriterTestDocument rewritten(doc, 1208, 546, false);
    const std::string out = rewritten.write(1208, 546);
    const LibxmlReading read = LibxmlCanonicalReader::read(out);
    ASSERT_TRUE(read.ok) << read.error << "\n" << out;
    EXPECT_EQ(read.canonical, "<r a=\"\" b=\"\" c=\"x\"></r>") << out;
    // A name token of an enumeration that the output page cannot hold has no reference to stand
    // for it: the write fails instead of writing one.
    WriterTestDocument latin("<!DOCTYPE r [<!ATTLIST r s (\xC3\xBF|n) \"n\">]><r/>", 1208, 546, false);
    EXPECT_THROW(latin.write(943, 546), KelException);
    EXPECT_TRUE(LibxmlCanonicalReader::read(latin.write(819, 546), OutputPage::libxmlName(819)).ok);
}
