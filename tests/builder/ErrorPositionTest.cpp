// Where a parse failure is, as the parse error gives it through its typed accessors: line,
// column, byte offset and the element at fault, for a table of broken documents in UTF-8,
// UTF-16 (both byte orders, with and without a mark) and EBCDIC. The message inserts keep
// their layout.
#include "BuilderTestDocument.hpp"

#include <string>
#include <vector>

namespace {

struct Page {
    int ccsid;
    int byteOrder;
    int encoding;
    bool mark;
    bool newLines = false;   // EBCDIC lines that end in NL (0x15), as mainframes write them
};

const Page kPages[] = {{1208, 1, 546, false}, {1200, 1, 273, true}, {1200, -1, 546, false}, {37, 1, 546, false},
                       {37, 1, 546, false, true}};

// The page's bytes as sent: with the mark, or with NL for every line feed.
std::string withMark(std::string bytes, const Page& page) {
    if (page.newLines)
        for (char& b : bytes)
            if (b == '\x25') b = '\x15';
    if (!page.mark) return bytes;
    return (page.byteOrder == 1 ? std::string("\xFE\xFF") : std::string("\xFF\xFE")) + bytes;
}

// Parses all of `bytes`; the positioned parse error it ends in (fails the test when none).
KelParserException failureOf(const std::string& bytes, const Page& page, const XmlBuilderLimits* limits = nullptr) {
    BuilderTestDocument doc(bytes, page.ccsid, page.encoding);
    if (limits) {
        doc.builder()->setLimits(*limits);
        doc.load(bytes, page.ccsid, page.encoding);
    }
    try {
        doc.describe();
    } catch (const KelException& e) {
        const KelParserException* at = KelParserException::positioned(e);
        if (at) return *at;
        ADD_FAILURE() << "no position in " << e.what();
        return KelParserException(__FILE__, __LINE__, "", "", 0, "");
    }
    ADD_FAILURE() << "parsed";
    return KelParserException(__FILE__, __LINE__, "", "", 0, "");
}

struct Broken {
    std::string document;   // UTF-8
    long line, column;
    std::size_t faultIndex; // character index of the fault in the document text
    const char* element;    // the element at fault ("" for none)
    const char* text;       // part of the scanner's message
};

const Broken kBroken[] = {
    {"<a><b></a>", 1, 9, 8, "b", "expected end of tag 'b'"},
    {"<a>\n  <b x=\"1\" x=\"2\"/></a>", 2, 17, 20, "b", "attribute 'x' is already specified"},
    {"<a>\n<b\n  c=\"1\" c=\"2\"/></a>", 3, 14, 20, "b", "attribute 'c' is already specified"},
    {std::string("<a>\n b\xC3\xA9\0c</a>", 13), 2, 4, 7, "a", "invalid character 0x0"},
    {"<a>\n x &bogus; y</a>", 2, 11, 14, "a", "entity 'bogus' not found"},
    {"<r>\n<a><b>", 2, 7, 10, "b", "input ended before all started tags were ended"},
    {"<?xml version=\"1.0\"?>\n<a/><b/>", 2, 5, 26, "", "expected"},
};

} // namespace

TEST(ErrorPosition, BrokenDocumentsInEveryPageTellTheirPlace) {
    for (const Broken& b : kBroken) {
        const std::string& text = b.document;
        for (const Page& page : kPages) {
            SCOPED_TRACE(b.document + " in " + std::to_string(page.ccsid) + (page.mark ? " with mark" : "") +
                         (page.newLines ? " with NL" : ""));
            const std::string bytes = withMark(encodeAs(text, page.ccsid, page.byteOrder), page);
            const KelParserException e = failureOf(bytes, page);
            EXPECT_EQ(e.documentLine(), b.line);
            EXPECT_EQ(e.documentColumn(), b.column);
            // The byte offset of the fault's character in this page, the mark included.
            const std::u16string units(KelStringBase::fromUtf8(text).view());
            const std::string prefix = KelStringBase(units.substr(0, b.faultIndex)).toUtf8();
            const long expectedOffset = static_cast<long>(encodeAs(prefix, page.ccsid, page.byteOrder).size()) + (page.mark ? 2 : 0);
            EXPECT_EQ(e.documentOffset(), expectedOffset);
            EXPECT_EQ(e.faultElement().toUtf8(), b.element);
            // The inserts as hosts read them: code, identifier, line, column, text, element.
            ASSERT_EQ(e.inserts().size(), 6u);
            EXPECT_EQ(e.inserts()[2], std::to_string(b.line));
            EXPECT_EQ(e.inserts()[3], std::to_string(b.column));
            EXPECT_NE(e.inserts()[4].find(b.text), std::string::npos) << e.inserts()[4];
        }
    }
}

TEST(ErrorPosition, AnXml11DocumentsLinesEndAtNelAndLineSeparatorToo) {
    // The scanner counts them as line ends in XML 1.1: the offset of its line and column is found
    // counting them too (it was the end of the message, or a place lines away).
    const std::string decl = "<?xml version=\"1.1\"?>";
    const struct {
        std::string document;   // UTF-8
        long line, column;
        std::size_t faultIndex;
    } cases[] = {
        {decl + "\n<a>\xC2\x85<b>x</c>\xC2\x85</a>", 3, 7, 32},
        {decl + "\r\xC2\x85<a>\r\xC2\x85<b>x</c></a>", 3, 7, 34},
        {decl + "\n<a>\xE2\x80\xA8<b>x</c>\n</a>", 3, 7, 32},
        {decl + "\n<a>\r\xE2\x80\xA8<b>x</c></a>", 4, 7, 33},
        {"<?xml version='1.0'?>\n<a>\xE2\x80\xA8<b>x</c>\n</a>", 2, 11, 32},
    };
    for (const auto& c : cases) {
        // The EBCDIC pages write their line ends as NL and refuse U+0085 as a character: the
        // rows above for them are those of the NL page.
        for (const Page& page : kPages) {
            if (page.ccsid == 37) continue;
            SCOPED_TRACE(c.document + " in " + std::to_string(page.ccsid) + (page.newLines ? " with NL" : ""));
            const std::string bytes = withMark(encodeAs(c.document, page.ccsid, page.byteOrder), page);
            const KelParserException e = failureOf(bytes, page);
            EXPECT_EQ(e.documentLine(), c.line);
            EXPECT_EQ(e.documentColumn(), c.column);
            const std::u16string units(KelStringBase::fromUtf8(c.document).view());
            const std::string prefix = KelStringBase(units.substr(0, c.faultIndex)).toUtf8();
            EXPECT_EQ(e.documentOffset(),
                      static_cast<long>(encodeAs(prefix, page.ccsid, page.byteOrder).size()) + (page.mark ? 2 : 0));
            EXPECT_EQ(e.faultElement().toUtf8(), "b");
        }
    }
}

TEST(ErrorPosition, BytesThePageRejectsAreFoundWhereTheyAre) {
    // The scanner decodes ahead and would name the start of its block (column 1 of line 1, or
    // the character after the declaration); the place is that of the bad bytes themselves.
    const struct {
        std::string document;
        long line, column, offset;
    } cases[] = {
        {"<a>xx \xFF yy</a>", 1, 7, 6},
        {"<a>text\xC3\x28</a>", 1, 8, 7},
        {"<?xml version=\"1.0\"?><a>text\xFF</a>", 1, 29, 28},
        {"<a>\n\n    text \xC3\x28 more</a>", 3, 10, 14},
        {"<a>\xC3\xA9\xC3\xA9 \xE2\x82</a>", 1, 7, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.document);
        const KelParserException e = failureOf(c.document, kPages[0]);
        EXPECT_EQ(e.documentLine(), c.line);
        EXPECT_EQ(e.documentColumn(), c.column);
        EXPECT_EQ(e.documentOffset(), c.offset);
        ASSERT_EQ(e.inserts().size(), 6u);
        EXPECT_EQ(e.inserts()[2], std::to_string(c.line));
        EXPECT_EQ(e.inserts()[3], std::to_string(c.column));
    }
    // A single-byte page read through its table: the byte it rejects is found where it stands.
    const KelParserException ascii = failureOf("<a>\n xx\x80 y</a>", Page{367, 1, 546, false});
    EXPECT_EQ(ascii.documentLine(), 2);
    EXPECT_EQ(ascii.documentColumn(), 4);
    EXPECT_EQ(ascii.documentOffset(), 7);
    // An unpaired surrogate in UTF-16 is the same kind of fault.
    const std::string lone("\xFF\xFE<\0a\0>\0\n\0 \0\x00\xD8" "c\0<\0/\0a\0>\0", 22);
    const KelParserException e = failureOf(lone, kPages[2]);
    EXPECT_EQ(e.documentLine(), 2);
    EXPECT_EQ(e.documentOffset(), 12);
}

TEST(ErrorPosition, LimitsNameTheElementThatBreaksThem) {
    XmlBuilderLimits limits;
    limits.nestingDepth = 3;
    KelParserException deep = failureOf("<a><b><c><d x='1'/></c></b></a>", kPages[0], &limits);
    EXPECT_EQ(deep.catalogueNumber(), 5011u);
    EXPECT_EQ(deep.faultElement().toUtf8(), "d");
    EXPECT_EQ(deep.documentLine(), 1);
    // The insert keeps naming the element being filled, as before.
    ASSERT_EQ(deep.inserts().size(), 5u);
    EXPECT_EQ(deep.inserts()[4], "c");
    limits = XmlBuilderLimits();
    limits.attributesPerElement = 2;
    for (const Page& page : kPages) {
        KelParserException many = failureOf(withMark(encodeAs("<a>\n<ok p='1'/>\n<many p='1' q='2' r='3'/></a>", page.ccsid, page.byteOrder), page),
                                            page, &limits);
        EXPECT_EQ(many.faultElement().toUtf8(), "many");
        EXPECT_EQ(many.documentLine(), 3);
        EXPECT_GT(many.documentOffset(), 0);
    }
}
