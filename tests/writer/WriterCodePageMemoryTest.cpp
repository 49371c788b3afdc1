// Copies of original UTF-8 stretches into single-byte pages: what one writer has learnt about a
// page's characters must not leak into a write to another page, and a writer that has written
// many pages writes each exactly as a fresh one does.
#include "WriterTestDocument.hpp"
#include "WriterTestTree.hpp"

#include "host/KelException.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {
// Characters of one, two, three and four bytes; the euro sign is in 1140 but not in 37 or 819,
// the emoji in none of them; the currency sign is in 37, 819 and 500 but not in 1140.
const std::string kDocument =
    "<r>\n"
    "  <a x='\xC3\xA9t\xC3\xA9'>caf\xC3\xA9 \xE2\x82\xAC 5</a>\n"
    "  <b y=\"\xF0\x9F\x98\x80\">smile \xF0\x9F\x98\x80 \xC3\xBC</b>\n"
    "  <c>plain \xC3\xA9\xC3\xA8\xC3\xA0 \xC2\xA4</c>\n"
    "</r>";

std::string writeFresh(long ccsid) {
    WriterTestDocument fresh(kDocument);
    return fresh.write(ccsid, 785);
}
} // namespace

TEST(WriterCodePageMemory, OneWriterOverSeveralPagesWritesEachAsAFreshWriterDoes) {
    WriterTestDocument doc(kDocument);
    for (long ccsid : {37L, 1140L, 37L, 819L, 1140L, 500L, 37L}) {
        const std::string out = doc.write(ccsid, 785);
        EXPECT_EQ(out, writeFresh(ccsid)) << "code page " << ccsid;
        // Every page lacks the emoji, so its record is rewritten with references.
        EXPECT_NE(out.find(encodeAs("&#x1F600;", static_cast<int>(ccsid))), std::string::npos) << ccsid;
        const bool hasEuro = ccsid == 1140;
        EXPECT_EQ(out.find(encodeAs("&#x20AC;", static_cast<int>(ccsid))) == std::string::npos, hasEuro) << ccsid;
        // A record the page can hold is copied, converted; one it cannot is rewritten.
        const std::string c = hasEuro ? "<c>plain \xC3\xA9\xC3\xA8\xC3\xA0 &#xA4;</c>" : "<c>plain \xC3\xA9\xC3\xA8\xC3\xA0 \xC2\xA4</c>";
        EXPECT_NE(out.find(encodeAs(c, static_cast<int>(ccsid))), std::string::npos) << ccsid;
    }
    EXPECT_EQ(doc.write(1208, 546), kDocument);
}

TEST(WriterCodePageMemory, CopiedStretchWithCutOrBadUtf8StillFailsAsTheConverterSays) {
    // A span whose bytes end inside a character: converting it must fail as it always has,
    // not produce a shortened text.
    WriterTestTree t;
    KelSyntaxElement* a = t.add(t.root, XmlTypeElement, "a");
    t.addValue(a, XmlTypeContent, "x");
    t.span(a, std::string("<a>x\xC3"), 1208);
    EXPECT_THROW(t.write(37, 785), KelException);
}
