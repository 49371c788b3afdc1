// What a person sees of a bad document: FILE:LINE:COLUMN with the byte offset and the element
// at fault, the source line with a caret under the fault, in every code page; the message chain
// with --verbose; one JSON object per error with --error-format json.
#include "tests/tools/QuarnRun.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {
using namespace quarntest;

std::string converted(const std::string& utf8, const char* iconvName) {
    const std::string in = tempPath("conv-in"), out = tempPath("conv-out");
    spit(in, utf8);
    shell(std::string("iconv -f UTF-8 -t ") + iconvName + " " + quote(in) + " > " + quote(out));
    std::string bytes = slurp(out);
    std::remove(in.c_str());
    std::remove(out.c_str());
    return bytes;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t from = 0;
    for (std::size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1) out.push_back(text.substr(from, nl - from));
    return out;
}
} // namespace

TEST(QuarnErrorReport, PlaceSourceLineAndCaretInEveryCodePage) {
    const struct {
        std::string document;
        std::string where;    // "LINE:COLUMN: message"
        std::string details;  // what follows in parentheses, without the byte offset
        std::string source;   // the line shown
        std::size_t caret;    // characters before the caret
        long utf8Offset;
    } broken[] = {
        {"<order>\n  <item sku=\"A\" qty=\"1\" sku=\"B\"/>\n</order>", "2:32: attribute 'sku' is already specified for element 'item'",
         "element 'item'", "  <item sku=\"A\" qty=\"1\" sku=\"B\"/>", 31, 39},
        {"<a>\n\t<b>x</c></a>", "2:8: expected end of tag 'b'", "element 'b'", "\t<b>x</c></a>", 7, 11},
        {std::string("<a>\n b\0c</a>", 12), "2:3: NUL character (U+0000), which XML does not allow", "element 'a'", " b c</a>", 2, 6},
    };
    const struct {
        const char* iconv;
        int unit;      // bytes per character of these documents
        int mark;
        const char* options;
    } pages[] = {{"UTF-8", 1, 0, ""}, {"UTF-16", 2, 2, ""}, {"IBM037", 1, 0, " --ccsid 37"}};
    for (const auto& b : broken) {
        for (const auto& page : pages) {
            SCOPED_TRACE(b.document + " in " + page.iconv);
            const std::string file = tempPath("broken.xml");
            spit(file, converted(b.document, page.iconv));
            Result r = quarn(std::string("check") + page.options + " " + quote(file));
            EXPECT_EQ(r.status, 1);
            const std::vector<std::string> out = lines(r.err);
            ASSERT_EQ(out.size(), 3u) << r.err;
            const long offset = page.mark + page.unit * b.utf8Offset;
            EXPECT_EQ(out[0], file + ":" + b.where + " (byte offset " + std::to_string(offset) + ", " + b.details + ")");
            EXPECT_EQ(out[1], "  " + b.source);
            std::string caret = "  ";
            for (std::size_t i = 0; i < b.caret; ++i) caret += b.source[i] == '\t' ? '\t' : ' ';
            EXPECT_EQ(out[2], caret + "^");
            std::remove(file.c_str());
        }
    }
    // XML 1.1 ends lines at NEL and U+2028 as well: the line shown is the one the place counts.
    for (const char* end : {"\xC2\x85", "\xE2\x80\xA8"}) {
        SCOPED_TRACE(end);
        Result r = quarn("check -", std::string("<?xml version='1.1'?>\n<a>") + end + "\t<b>x</c>" + end + "</a>");
        const std::vector<std::string> out = lines(r.err);
        ASSERT_EQ(out.size(), 3u) << r.err;
        EXPECT_EQ(out[0].substr(out[0].find(':')), ":3:8: expected end of tag 'b' (byte offset " +
                                                       std::to_string(32 + std::strlen(end)) + ", element 'b')");
        EXPECT_EQ(out[1], "  \t<b>x</c>");
        EXPECT_EQ(out[2], "  \t      ^");
    }
}

// The caret stands under the fault as a terminal shows the line: a wide (CJK) character takes two
// columns, a combining mark none, and a byte-order mark is not shown; a control character shows
// as a space. The caret used to count
// each character one column, so it stood in the middle of a Japanese line, and a UTF-8 mark
// shown in the line moved it one column on.
TEST(QuarnErrorReport, TheCaretStandsUnderTheFaultAsATerminalShowsTheLine) {
    const struct {
        std::string document;
        std::string where;   // "LINE:COLUMN: message"
        std::string source;  // the line shown
        std::size_t columns; // columns before the caret
    } broken[] = {
        {"<a>\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x83\x86\xE3\x82\xAD</b>", "1:11: expected end of tag 'a'",
         "<a>\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x83\x86\xE3\x82\xAD</b>", 15},
        {"<a t=\"e\xCC\x81\xCC\x81\" t=\"2\"/>", "1:17: attribute 't' is already specified for element 'a'",
         "<a t=\"e\xCC\x81\xCC\x81\" t=\"2\"/>", 14},
        {"\xEF\xBB\xBF<a/>x", "1:5: comment or processing instruction expected", "<a/>x", 4},
        {"\xEF\xBB\xBF<a>\xEF\xBC\xA1</b>", "1:7: expected end of tag 'a'", "<a>\xEF\xBC\xA1</b>", 7},
        // A C1 control (here CSI, which a terminal may take for the start of an escape) shows as a space.
        {"<a>\xC2\x9B" "31m</b>", "1:10: expected end of tag 'a'", "<a> 31m</b>", 9},
    };
    for (const auto& b : broken) {
        for (const char* page : {"UTF-8", "UTF-16"}) {
            SCOPED_TRACE(b.document + " in " + page);
            const std::string file = tempPath("wide.xml");
            // iconv gives UTF-16 a mark of its own.
            const bool marked = b.document.rfind("\xEF\xBB\xBF", 0) == 0;
            spit(file, std::string(page) == "UTF-8" ? b.document : converted(b.document.substr(marked ? 3 : 0), page));
            Result r = quarn("check " + quote(file));
            EXPECT_EQ(r.status, 1);
            const std::vector<std::string> out = lines(r.err);
            ASSERT_EQ(out.size(), 3u) << r.err;
            EXPECT_EQ(out[0].substr(0, file.size() + 1 + b.where.size()), file + ":" + b.where) << out[0];
            EXPECT_EQ(out[1], "  " + b.source);
            EXPECT_EQ(out[2], std::string(2 + b.columns, ' ') + "^");
            std::remove(file.c_str());
        }
    }
}

// A file name is shown in the report and in check's verdict as batch shows it: control characters
// and bytes that are not UTF-8 as \xNN. It was printed as it stood, so a name holding a line feed
// forged a line of the report and one holding ESC sent the terminal an escape.
TEST(QuarnErrorReport, AFileNameCannotForgeALineOrATerminalEscape) {
    const std::string folder = tempPath("odd-names");
    shell("rm -rf " + quote(folder) + " && mkdir -p " + quote(folder));
    const std::string bad = folder + "/x\ny\x1B[31m\xFF.xml", good = folder + "/g\n\x1B.xml";
    const std::string badShown = folder + "/x\\x0Ay\\x1B[31m\\xFF.xml", goodShown = folder + "/g\\x0A\\x1B.xml";
    spit(bad, "<a>");
    spit(good, "<a/>");
    const Result r = quarn("check " + quote(bad));
    EXPECT_EQ(r.status, 1);
    const std::vector<std::string> out = lines(r.err);
    ASSERT_EQ(out.size(), 3u) << r.err;
    EXPECT_EQ(out[0].rfind(badShown + ":1:4: ", 0), 0u) << out[0];
    const Result verdict = quarn("check " + quote(good));
    EXPECT_EQ(verdict.status, 0) << verdict.err;
    EXPECT_EQ(verdict.out, goodShown + ": well-formed, 1 XML elements, 2 syntax elements\n");
    shell("rm -rf " + quote(folder));
}

TEST(QuarnErrorReport, VerboseChainAndJson) {
    Result verbose = quarn("check --verbose -", "<a>\n<b x='1' x='2'/></a>");
    EXPECT_NE(verbose.err.find("<stdin>:2:"), std::string::npos) << verbose.err;
    EXPECT_NE(verbose.err.find("QRV5009E: XML Parsing Errors have occurred"), std::string::npos);
    // The inserts keep their layout: code, identifier, line, column, text, the element being filled.
    EXPECT_NE(verbose.err.find("[221, file:///, 2, 15, attribute 'x' is already specified for element 'b', a]"),
              std::string::npos) << verbose.err;
    Result json = quarn("get --error-format json - a/b", "<a>\n<b x='1' x='2'/></a>");
    EXPECT_EQ(json.status, 1);
    EXPECT_EQ(json.err,
              "{\"file\":\"-\",\"line\":2,\"column\":15,\"offset\":18,\"element\":\"b\",\"message\":\"attribute 'x' is "
              "already specified for element 'b'\",\"number\":5009,\"text\":\"XML Parsing Errors have occurred\","
              "\"inserts\":[],\"causes\":[{\"number\":5004,\"text\":\"An error has been reported by the QRVPARSE "
              "component.\",\"inserts\":[\"221\",\"file:///\",\"2\",\"15\",\"attribute 'x' is already specified for "
              "element 'b'\",\"a\"],\"causes\":[]}]}\n");
    // Failures without a place name the file and say what is wrong.
    Result utf32 = quarn("check --error-format json -", std::string("\0\0\xFE\xFF\0\0\0<", 8));
    EXPECT_NE(utf32.err.find("\"line\":null"), std::string::npos) << utf32.err;
    EXPECT_NE(utf32.err.find("\"number\":2342"), std::string::npos) << utf32.err;
    Result text = quarn("check -", std::string("\0\0\xFE\xFF\0\0\0<", 8));
    EXPECT_EQ(text.err.rfind("<stdin>: The encoding of the document cannot be determined: the document is in UTF-32", 0), 0u)
        << text.err;
    EXPECT_EQ(quarn("check --error-format xml -", "<a/>").status, 2);
    // JSON is UTF-8: a file name in other bytes is written with U+FFFD for each byte that is not.
    const std::string oddName = tempPath(std::string("odd\xFF\xC3.xml"));
    spit(oddName, "<a>");
    Result odd = quarn("check --error-format json " + quote(oddName));
    EXPECT_EQ(odd.status, 1);
    EXPECT_NE(odd.err.find("odd\xEF\xBF\xBD\xEF\xBF\xBD.xml\","), std::string::npos) << odd.err;
    std::remove(oddName.c_str());
    // A fault far into a long line is shown around its place only.
    std::string longLine = "<a>";
    for (int i = 0; i < 500; ++i) longLine += "<b>x</b>";
    Result far = quarn("check -", longLine + "<c></d></a>");
    const std::vector<std::string> out = lines(far.err);
    ASSERT_EQ(out.size(), 3u) << far.err;
    EXPECT_LT(out[1].size(), 140u);
    // The caret stands under the name of the end tag that does not match.
    EXPECT_EQ(out[1].substr(out[2].size() - 3, 4), "</d>") << out[1] << "\n" << out[2];
}

namespace {
// A message in a page nobody named fails as UTF-8; the report says what its bytes look like and
// which options read them, and those options do read it. A fault in real UTF-8 gets no advice.
TEST(QuarnErrorReport, SaysWhichPageTheBytesLookLike) {
    struct Row {
        const char* what;
        std::string bytes;
        const char* options;   // the advice, which must read the message
    };
    const Row rows[] = {
        {"Latin-1", "<a>caf\xe9</a>", "--ccsid 819"},
        {"Windows quotes", "<a>\x93q\x94</a>", "--ccsid 1252"},
        {"UTF-16 little-endian", std::string("<\0a\0/\0>\0", 8), "--ccsid 1200 --byte-order le"},
        {"UTF-16 big-endian", std::string("\0<\0a\0/\0>", 8), "--ccsid 1200 --byte-order be"},
        {"EBCDIC", "\x4c\x81\x6e\x81\x61\x4c\x61\x81\x6e", "--ccsid 37"},
    };
    for (const Row& row : rows) {
        Result failed = quarn("check -", row.bytes);
        EXPECT_EQ(failed.status, 1) << row.what;
        EXPECT_NE(failed.err.find(std::string("hint: ")), std::string::npos) << row.what << ": " << failed.err;
        EXPECT_NE(failed.err.find(row.options), std::string::npos) << row.what << ": " << failed.err;
        Result json = quarn("check --error-format json -", row.bytes);
        EXPECT_NE(json.err.find(std::string("\"hint\":")), std::string::npos) << row.what << ": " << json.err;
        EXPECT_EQ(quarn(std::string("check ") + row.options + " -", row.bytes).status, 0) << row.what;
    }
    Result utf8 = quarn("check -", "<a>caf\xc3\xa9<b></a>");
    EXPECT_EQ(utf8.status, 1);
    EXPECT_EQ(utf8.err.find("hint:"), std::string::npos) << utf8.err;
}
} // namespace

// A name longer than the name-length limit is what that limit refuses; the report quoted it whole
// as the element at fault and in the inserts, so a tag of a few megabytes (such as the one in
// Xerces-C's sample long.xml, 33 000 characters) made a report of megabytes, in every entry point
// and in a dead letter's error header. The report names it cut short, marked "...".
TEST(QuarnErrorReport, QuotesAnOverlongNameCutShort) {
    const std::string name(200000, 'n');
    const struct {
        const char* what;
        std::string document;
        const char* command;
    } cases[] = {
        {"an element name past the limit", "<a>\n<" + name + "/></a>", "check"},
        {"the same, before a pass-through write", "<a>\n<" + name + "/></a>", "write"},
        {"a scanner fault inside a start tag of that name", "<a>\n<" + name + " =/></a>", "check"},
        {"the document element's own name, ended by another", "<" + name + "><b></" + name + "x>", "check"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* format : {"text", "json"}) {
            const Result r = quarn(std::string(c.command) + " --verbose --error-format " + format + " -", c.document);
            EXPECT_EQ(r.status, 1);
            EXPECT_LT(r.err.size(), 8000u) << r.err.substr(0, 300);
            EXPECT_NE(r.err.find(std::string(999, 'n') + "..."), std::string::npos) << format;
            EXPECT_EQ(r.err.find(std::string(1000, 'n')), std::string::npos) << format;
        }
    }
}
