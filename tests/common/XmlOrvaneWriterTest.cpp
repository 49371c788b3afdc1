// The markup primitives: exact text of every primitive with and without escaping, that they only
// append, that a paused writer appends nothing, and the writer's own state.
#include "common/XmlOrvaneWriter.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

KelStringBase s(const char* text) { return KelStringBase::fromUtf8(text); }

struct Primitive {
    const char* label;
    std::function<void(XmlOrvaneWriter&, KelStringBase&)> call;
    const char* appended; // what the call appends when the writer is not paused
};

// Arguments carry special characters so that escaping, and its absence, shows in the result.
std::vector<Primitive> allPrimitives() {
    const KelStringBase q = XmlConstants::wcsDoubleQuote;
    return {
        {"startElementBegin", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputStartElementBegin(o, s("a&b")); }, "<a&b"},
        {"startElementEnd", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputStartElementEnd(o, s("ignored")); }, ">"},
        {"endEmptyElement", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputEndEmptyElement(o, s("ignored")); }, "/>"},
        {"endElement", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputEndElement(o, s("a<")); }, "</a<>"},
        {"endElement empty", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputEndElement(o, s("any"), true); }, "/>"},
        {"endElement not empty", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputEndElement(o, s("e"), false); }, "</e>"},
        {"characters escaped", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputCharacters(o, s("a&b"), true); }, "a&amp;b"},
        {"characters raw", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputCharacters(o, s("a&b"), false); }, "a&b"},
        {"ignorableWhiteSpace", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputIgnorableWhiteSpace(o, s(" \n\t<")); }, " \n\t<"},
        {"attribute escaped", [q](XmlOrvaneWriter& w, KelStringBase& o) { w.outputAttribute(o, s("a"), s("1<2\""), q, true); }, " a=\"1&lt;2&quot;\""},
        {"attribute raw single", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputAttribute(o, s("n&"), s("it's"), XmlConstants::wcsSingleQuote, false); }, " n&='it's'"},
        {"processingInstruction escaped", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputProcessingInstruction(o, s("t<"), s("d>"), true); }, "<?t< d&gt;?>"},
        {"processingInstruction empty data", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputProcessingInstruction(o, s("t"), KelStringBase(), true); }, "<?t ?>"},
        {"entityDeclarationBegin", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputEntityDeclarationBegin(o, s("e'"), true); }, "<!ENTITY e&apos;"},
        {"parameterEntityDeclarationBegin", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputParameterEntityDeclarationBegin(o, s("p'"), false); }, "<!ENTITY % p'"},
        {"entityDeclarationEnd", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputEntityDeclarationEnd(o, s("ignored")); }, ">"},
        {"notationReference", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputNotationReference(o, s("n>"), true); }, " NDATA n&gt;"},
        {"systemId", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputSystemId(o, s("s&"), true); }, " SYSTEM \"s&amp;\""},
        {"systemId raw", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputSystemId(o, s("s&"), false); }, " SYSTEM \"s&\""},
        {"publicId", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputPublicId(o, s("-//p\""), true); }, " PUBLIC \"-//p&quot;\""},
        {"notationDeclarationBegin", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputNotationDeclarationBegin(o, s("n<"), true); }, "<!NOTATION n&lt; "},
        {"notationDeclarationEnd", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputNotationDeclarationEnd(o, s("ignored")); }, ">"},
        {"xmlDeclBegin", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputXmlDeclBegin(o); }, "<?xml"},
        {"xmlVersion", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputXmlVersion(o, s("1.0"), true); }, " version=\"1.0\""},
        {"xmlEncoding", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputXmlEncoding(o, s("UTF-8"), true); }, " encoding=\"UTF-8\""},
        {"xmlStandAlone", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputXmlStandAlone(o, s("y\"s"), true); }, " standalone=\"y&quot;s\""},
        {"xmlDeclEnd", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputXmlDeclEnd(o); }, "?>"},
        {"xmlComment escaped", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputXmlComment(o, s(" a&b "), true); }, "<!-- a&amp;b -->"},
        {"xmlComment raw", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputXmlComment(o, s("a--&b"), false); }, "<!--a--&b-->"},
        {"entityReference", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputEntityReference(o, s("e"), true); }, "&e;"},
        {"cDataSection", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputCDataSection(o, s("<&>")); }, "<![CDATA[<&>]]>"},
        {"docTypeBegin", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputDocTypeBegin(o, s("r&"), true); }, "<!DOCTYPE r&amp;"},
        {"docTypeEnd", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputDocTypeEnd(o); }, ">"},
        {"docType both ids", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputDocType(o, s("r"), s("p&"), s("s&"), true); }, "<!DOCTYPE r PUBLIC \"p&amp;\" \"s&amp;\">"},
        {"docType system only", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputDocType(o, s("r"), KelStringBase(), s("s"), true); }, "<!DOCTYPE r SYSTEM \"s\">"},
        {"docType public only", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputDocType(o, s("r"), s("p"), KelStringBase(), true); }, "<!DOCTYPE r PUBLIC \"p\">"},
        {"docType no ids", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputDocType(o, s("r<"), KelStringBase(), KelStringBase(), false); }, "<!DOCTYPE r<>"},
        {"internalSubsetBegin", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputInternalSubsetBegin(o); }, " ["},
        {"internalSubsetEnd", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputInternalSubsetEnd(o); }, "]"},
        {"elementDef", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputElementDef(o, s("e"), s("(a|b)*"), true); }, "<!ELEMENT e (a|b)*>"},
        {"elementDef escaped", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputElementDef(o, s("e'"), s("<x>"), true); }, "<!ELEMENT e&apos; &lt;x&gt;>"},
        {"attListBegin", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputAttListBegin(o, s("e"), true); }, "<!ATTLIST e"},
        {"attDef", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputAttDef(o, s("x CDATA \"d&\""), false); }, " x CDATA \"d&\""},
        {"attDef escaped", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputAttDef(o, s("x CDATA \"d\""), true); }, " x CDATA &quot;d&quot;"},
        {"attListEnd", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputAttListEnd(o); }, ">"},
        {"attributeDefDefaultType", [](XmlOrvaneWriter& w, KelStringBase& o) { w.outputAttributeDefDefaultType(o, s("REQUIRED")); }, " #REQUIRED"},
    };
}

} // namespace

TEST(XmlOrvaneWriterPrimitives, EachAppendsItsExactMarkup) {
    XmlOrvaneWriter writer;
    for (const Primitive& p : allPrimitives()) {
        SCOPED_TRACE(p.label);
        // A prefix proves the primitive appends and never replaces; a long one puts `out` on the heap.
        for (const char* prefix : {"", "P", "a prefix long enough to need a heap block: "}) {
            KelStringBase out = s(prefix);
            p.call(writer, out);
            EXPECT_EQ(out.toUtf8(), std::string(prefix) + p.appended);
        }
    }
}

TEST(XmlOrvaneWriterPrimitives, PausedWriterAppendsNothingUntilResumed) {
    XmlOrvaneWriter writer;
    writer.pause();
    EXPECT_TRUE(writer.isPaused());
    for (const Primitive& p : allPrimitives()) {
        SCOPED_TRACE(p.label);
        KelStringBase out = s("unchanged");
        p.call(writer, out);
        EXPECT_EQ(out.toUtf8(), "unchanged");
    }
    // Empty arguments too.
    KelStringBase out = s("unchanged");
    writer.outputCharacters(out, KelStringBase(), false);
    writer.outputDocType(out, KelStringBase(), KelStringBase(), KelStringBase(), true);
    EXPECT_EQ(out.toUtf8(), "unchanged");

    // Pauses do not nest: one resume ends two pauses.
    writer.pause();
    writer.resume();
    EXPECT_FALSE(writer.isPaused());
    for (const Primitive& p : allPrimitives()) {
        SCOPED_TRACE(p.label);
        KelStringBase resumed;
        p.call(writer, resumed);
        EXPECT_EQ(resumed.toUtf8(), p.appended);
    }
}

TEST(XmlOrvaneWriterPrimitives, EmptyArgumentsAppendOnlyTheFixedPieces) {
    XmlOrvaneWriter writer;
    const KelStringBase none;
    KelStringBase out;
    writer.outputCharacters(out, none, true);
    writer.outputCharacters(out, none, false);
    EXPECT_TRUE(out.empty());
    writer.outputAttribute(out, none, none, XmlConstants::wcsDoubleQuote, true);
    EXPECT_EQ(out.toUtf8(), " =\"\"");
    out.clear();
    writer.outputEndElement(out, none);
    EXPECT_EQ(out.toUtf8(), "</>");
}

TEST(XmlOrvaneWriterPrimitives, NotationDeclarationAndIdStandTwoSpacesApart) {
    XmlOrvaneWriter writer;
    KelStringBase out;
    writer.outputNotationDeclarationBegin(out, s("n"), true);
    writer.outputPublicId(out, s("p"), true);
    writer.outputNotationDeclarationEnd(out, s("n"));
    EXPECT_EQ(out.toUtf8(), "<!NOTATION n  PUBLIC \"p\">");
}

TEST(XmlOrvaneWriterPrimitives, ArgumentMayBeTheOutputString) {
    XmlOrvaneWriter writer;
    KelStringBase out = s("t&");
    writer.outputCharacters(out, out, false);
    EXPECT_EQ(out.toUtf8(), "t&t&");

    out = s("v");
    writer.outputAttribute(out, out, out, out, true);
    EXPECT_EQ(out.toUtf8(), "v v=vvv");

    out = s("a text that lives on the heap, x<y");
    writer.outputXmlComment(out, out, true);
    EXPECT_EQ(out.toUtf8(), "a text that lives on the heap, x<y<!--a text that lives on the heap, x&lt;y-->");
}

TEST(XmlOrvaneWriterState, EndianAndPauseAreCopied) {
    XmlOrvaneWriter writer;
    EXPECT_EQ(writer.getEndian(), 1);
    EXPECT_FALSE(writer.isPaused());
    writer.setEndian(-1);
    writer.pause();

    XmlOrvaneWriter copy(writer);
    EXPECT_EQ(copy.getEndian(), -1);
    EXPECT_TRUE(copy.isPaused());

    XmlOrvaneWriter assigned;
    assigned = writer;
    EXPECT_EQ(assigned.getEndian(), -1);
    EXPECT_TRUE(assigned.isPaused());

    // Copies are independent afterwards.
    copy.resume();
    copy.setEndian(1);
    EXPECT_TRUE(writer.isPaused());
    EXPECT_EQ(writer.getEndian(), -1);
}
