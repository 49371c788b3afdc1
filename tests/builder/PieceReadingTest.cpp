// The scanner is handed a bitstream in pieces that start small and grow. Wherever a piece ends
// (inside a character of several bytes, a stateful page's shift sequence, a CR LF pair, a start
// tag, a reference, a CDATA section, an XML declaration longer than the first piece), the tree,
// its spans and the place of a fault must be what they are for the same text anywhere else.
#include "BuilderTestDocument.hpp"

#include "builder/XmlPacedInputSource.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Doc = BuilderTestDocument;

struct Page {
    int ccsid;
    int byteOrder;   // UTF-16: 1 big-endian, -1 little-endian
    int encoding;
    bool mark;       // UTF-16 with a byte-order mark
};

// UTF-8, UTF-16 both ways (with and without a mark), EBCDIC 37 and the stateful 930.
const Page kPages[] = {{1208, 1, 546, false}, {1200, 1, 273, true}, {1200, -1, 546, false}, {37, 1, 546, false},
                       {930, 1, 785, false}};

std::string bytesOf(const std::string& utf8, const Page& page) {
    const std::string text = encodeAs(utf8, page.ccsid, page.byteOrder);
    if (!page.mark) return text;
    return (page.byteOrder == 1 ? std::string("\xFE\xFF") : std::string("\xFF\xFE")) + text;
}

// The ends of the first pieces, as byte offsets into the bitstream after any mark.
std::vector<long> pieceEnds() {
    std::vector<long> ends;
    long end = 0;
    for (long piece = static_cast<long>(XmlPacedInputSource::kFirstPiece); ends.size() < 3; piece *= 2)
        ends.push_back(end += piece);
    return ends;
}

// Whether a piece ends strictly inside bytes [from, to) of the bitstream (mark included).
bool cutByAPiece(long from, long to, const Page& page) {
    const long mark = page.mark ? 2 : 0;
    for (long end : pieceEnds())
        if (from < end + mark && end + mark < to) return true;
    return false;
}

// Every filler length (in characters, up to `most`) that puts a piece end inside `middle`, where
// the document is prefix + filler + middle + suffix.
std::vector<std::size_t> cuttingFills(const std::string& prefix, const std::string& middle, const Page& page,
                                      std::size_t most) {
    std::vector<std::size_t> fills;
    for (std::size_t fill = 0; fill <= most; ++fill) {
        const std::string before = prefix + std::string(fill, 'x');
        const long from = static_cast<long>(bytesOf(before, page).size());
        const long to = static_cast<long>(bytesOf(before + middle, page).size());
        if (cutByAPiece(from, to, page)) fills.push_back(fill);
    }
    return fills;
}

// Characters of more than one byte in the page: two and three bytes in UTF-8 (and a surrogate
// pair before them), a shift sequence in 930; EBCDIC 37 has one byte a character.
std::string wideText(const Page& page) {
    if (page.ccsid == 930) return "\xE8\xAA\x9E\xE6\x97\xA5";
    if (page.ccsid == 37) return "\xC3\xA9\xC3\xBC";
    return "\xC3\xA9\xE8\xAA\x9E";
}
bool unicodePage(const Page& page) { return page.ccsid == 1208 || page.ccsid == 1200; }

// After the filler: characters of several bytes, a CR LF, references, a CDATA section, a comment
// and a processing instruction, in both quotes.
std::string tailText(const Page& page) {
    const std::string wide = wideText(page);
    return std::string(unicodePage(page) ? "<s>\xF0\x9F\x98\x80</s>" : "") + "<t a=\"" + wide + "&lt;\" b='1'>" + wide +
           "\r\nx&amp;y<![CDATA[c" + wide + "]]><!--k--><?p d?><v w='" + wide + "'/></t><u/>";
}

} // namespace

TEST(PieceReading, MarkupAndCharactersCutByAPieceEndReadAsWhole) {
    const std::string prefix = "<?xml version=\"1.0\"?>\n<r><f>";
    for (const Page& page : kPages) {
        const std::string wide = wideText(page);
        const std::string tail = tailText(page);
        const std::string middle = "</f>" + tail;
        const std::vector<std::size_t> fills = cuttingFills(prefix, middle, page, 900);
        ASSERT_GT(fills.size(), 20u) << page.ccsid;
        // The tree and spans of the text after the filler must not depend on where pieces end.
        std::string expectedTree;
        std::vector<std::string> expectedSpans;
        for (std::size_t fill : fills) {
            SCOPED_TRACE(std::to_string(page.ccsid) + (page.byteOrder < 0 ? " LE" : "") + " filler " +
                         std::to_string(fill));
            Doc doc(bytesOf(prefix + std::string(fill, 'x') + middle + "</r>", page), page.ccsid, page.encoding);
            KelSyntaxElement* r = doc.documentElement();
            ASSERT_NE(r, nullptr);
            KelSyntaxElement* f = Doc::child(r, XmlTypeElement, 0);
            ASSERT_NE(f, nullptr);
            EXPECT_EQ(f->firstChild() ? f->firstChild()->actualValue().valueAsCharacter().toUtf8() : std::string(),
                      std::string(fill, 'x'));
            std::string tree;
            std::vector<std::string> spans;
            for (KelSyntaxElement* c = f->nextSibling(); c != nullptr; c = c->nextSibling()) {
                tree += doc.describe(c, 0);
                spans.push_back(doc.span(c));
                for (KelSyntaxElement* g = c->firstChild(); g != nullptr; g = g->nextSibling())
                    if (g->type() != XmlTypeAttribute) spans.push_back(doc.span(g));
            }
            // What the text says, read without the scanner: the tags as they stand, the values.
            std::string written;
            for (const std::string& span : spans)
                if (span.rfind("<t", 0) == 0 || span.rfind("<s", 0) == 0 || span == "<u/>") written += span;
            EXPECT_EQ(written, tail);
            EXPECT_NE(tree.find("'a'='" + wide + "<' \""), std::string::npos) << tree;
            EXPECT_NE(tree.find("='" + wide + "\nx&y"), std::string::npos) << tree;
            if (expectedTree.empty()) {
                expectedTree = tree;
                expectedSpans = spans;
            }
            EXPECT_EQ(tree, expectedTree);
            EXPECT_EQ(spans, expectedSpans);
            EXPECT_EQ(doc.span(r), "<r><f>" + std::string(fill, 'x') + middle + "</r>");
        }
    }
}

TEST(PieceReading, ADeclarationLongerThanTheFirstPieceIsReadAsWhole) {
    for (const Page& page : kPages) {
        for (std::size_t blanks : {XmlPacedInputSource::kFirstPiece - 30, XmlPacedInputSource::kFirstPiece,
                                   3 * XmlPacedInputSource::kFirstPiece}) {
            SCOPED_TRACE(std::to_string(page.ccsid) + " blanks " + std::to_string(blanks));
            const std::string declaration = "<?xml version=\"1.0\"" + std::string(blanks, ' ') + "standalone='yes'?>";
            const std::string r = "<r a='" + wideText(page) + "'>x</r>";
            Doc doc(bytesOf(declaration + "\n" + r, page), page.ccsid, page.encoding);
            ASSERT_NE(doc.documentElement(), nullptr);
            EXPECT_EQ(doc.span(doc.documentElement()), r);
            EXPECT_EQ(doc.span(doc.root()->firstChild()), declaration);
        }
    }
}

TEST(PieceReading, AFaultBeyondAPieceEndIsFoundWhereItIs) {
    // A mismatched end tag on line 2 in every page, and bytes UTF-8 rejects (a bad second byte,
    // a character cut short), wherever a piece ends around them.
    const std::string prefix = "<r>\n<f>";
    struct Fault {
        bool utf8Only;
        std::string good;   // after the filler, up to the fault
        std::string rest;
    };
    for (const Page& page : kPages) {
        const std::string wide = wideText(page);
        const Fault faults[] = {{false, "</f><t>" + wide + "</", "u></r>"},
                                {true, "</f><t>" + wide + " ", "\xC3\x28</t></r>"},
                                {true, "</f><t>" + wide, "\xE2\x82</t></r>"}};
        for (const Fault& fault : faults) {
            if (fault.utf8Only && page.ccsid != 1208) continue;
            for (std::size_t fill : cuttingFills(prefix, fault.good + "xx", page, 900)) {
                SCOPED_TRACE(fault.good + " in " + std::to_string(page.ccsid) + " filler " + std::to_string(fill));
                const std::string before = prefix + std::string(fill, 'x') + fault.good;
                const std::string bytes =
                    fault.utf8Only ? before + fault.rest : bytesOf(before + fault.rest, page);
                Doc doc(bytes, page.ccsid, page.encoding);
                try {
                    doc.describe();
                    ADD_FAILURE() << "parsed";
                } catch (const KelException& failure) {
                    const KelParserException* at = KelParserException::positioned(failure);
                    ASSERT_NE(at, nullptr) << failure.what();
                    EXPECT_EQ(at->documentLine(), 2);
                    const long column = static_cast<long>(KelStringBase::fromUtf8(before.substr(4)).length()) + 1;
                    EXPECT_EQ(at->documentColumn(), column);
                    EXPECT_EQ(at->documentOffset(), static_cast<long>(bytesOf(before, page).size()));
                }
            }
        }
    }
}
