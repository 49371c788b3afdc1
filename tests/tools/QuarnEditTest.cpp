// quarn write's edits in xmlstarlet ed's words (-s, -i, -a with -t, -n, -v; -r; -u with -v or -x;
// -d), run in command-line order: the same arguments given to both give the same canonical
// document (xmllint --c14n reads both), and what no edit touched is copied byte for byte.
#include "tests/tools/QuarnRun.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {
using namespace quarntest;

std::string canonical(const std::string& xml) {
    Result r = shell("xmllint --c14n -", xml);
    EXPECT_EQ(r.status, 0) << r.err << xml;
    return r.out;
}
} // namespace

TEST(QuarnEdit, EveryEditGivesTheCanonicalFormXmlstarletGives) {
    if (shell("command -v xmlstarlet").status != 0) GTEST_SKIP() << "xmlstarlet is not installed (scripts/setup installs it)";
    const std::string doc = "<order id='7'>\n  <item sku='A' qty='1'><price>10</price></item>\n"
                            "  <item sku='B' qty='3'><price>4</price></item>\n  <note>keep</note>\n</order>\n";
    const std::string file = tempPath("edit.xml");
    spit(file, doc);
    const char* const edits[] = {
        "-s /order -t elem -n shipped -v yes",
        "-s //item -t attr -n tax -v 0",
        "-s /order/note -t text -n x -v ' (more)'",
        "-i //item[2] -t elem -n gift",
        "-a /order/note -t elem -n sign -v me",
        "-i //item[1] -t attr -n first -v 1",
        "-r //item -v line",
        "-r //item/@qty -v count",
        "-u //price -v 0",
        "-u /order/@id -v 8",
        "-u //item/@qty -x 'string(../@sku)'",
        "-u /order/note -x 'count(/order/item)'",
        // Every price plus 10 per cent, with the old node as the context.
        "-u //price -x '. * 1.1'",
        "-u //item/@qty -x 'concat(., \"-\", ../@sku)'",
        "-d //item[1]",
        "-d //@sku",
        // In order: what one edit added, the next one finds.
        "-s /order -t elem -n extra -v 1 -r /order/extra -v more -u /order/more -v 2",
        "-d //item -s /order -t elem -n empty",
    };
    const auto sameAsXmlstarlet = [&file](const char* e) {
        SCOPED_TRACE(e);
        Result expected = shell(std::string("xmlstarlet ed -P ") + e + " " + quote(file));
        ASSERT_EQ(expected.status, 0) << expected.err;
        Result got = quarn("write " + quote(file) + " " + e);
        ASSERT_EQ(got.status, 0) << got.err;
        EXPECT_EQ(canonical(got.out), canonical(expected.out)) << got.out;
    };
    for (const char* e : edits) sameAsXmlstarlet(e);
    // -r renames within the node's namespace: a name without a prefix kept the element's prefix in
    // xmlstarlet but lost it in quarn, which moved the element out of its namespace.
    spit(file, "<r xmlns:p='urn:p'><p:a p:x='1' y='2'>t</p:a><b/></r>");
    for (const char* e : {"-r //p:a -v z", "-r //@p:x -v w", "-r //@y -v v", "-r /r/b -v c", "-r //b -v p:z"})
        sameAsXmlstarlet(e);
    std::remove(file.c_str());
}

TEST(QuarnEdit, UntouchedBytesAreCopiedAndIncompleteEditsAreRefused) {
    // Spacing inside tags is what only a copy keeps.
    const std::string doc = "<a  x = 'keep' ><b  >t</b  ><c/></a  >";
    Result r = quarn("write - -s /a/c -t elem -n d -v 1", doc);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("<b  >t</b  >"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("x = 'keep'"), std::string::npos) << r.out;
    EXPECT_EQ(canonical(r.out), canonical("<a x='keep'><b>t</b><c><d>1</d></c></a>"));
    const struct {
        const char* arguments;
        const char* says;
    } refused[] = {
        {"-s /a -t elem", "-n NAME"},
        {"-s /a -n x", "-t elem|attr|text"},
        {"-r /a/b", "-v NAME"},
        {"-u /a/b", "-v VALUE or -x EXPR"},
        {"-t elem -s /a", "goes after the edit"},
        {"-s /a -t node -n x", "-t must be elem, attr or text"},
        {"-d /a/nothing", "path names nothing"},
        // Bytes that are not UTF-8 (Latin-1 from a terminal) would be stored as U+FFFD.
        {"-u /a/b -v caf\xE9", "not UTF-8: byte 0xE9 at offset 3"},
        {"--set /a/b=\xFF", "not UTF-8: byte 0xFF at offset 0"},
        {"-s /a -t elem -n \xC3 -v x", "not UTF-8: byte 0xC3 at offset 0"},
        {"-r /a/c -v \xED\xA0\x80", "not UTF-8: byte 0xED at offset 0"},
    };
    for (const auto& c : refused) {
        Result bad = quarn(std::string("write - ") + c.arguments, doc);
        EXPECT_EQ(bad.status, 2) << c.arguments;
        EXPECT_NE(bad.err.find(c.says), std::string::npos) << c.arguments << ": " << bad.err;
    }
    // A text node is its whole run of text and CDATA (as select shows it): what -a adds after it
    // comes after the run, never between its parts.
    const struct {
        const char* document;
        const char* arguments;
        const char* expected;
    } runs[] = {
        {"<r><b>x<![CDATA[y]]>w</b></r>", "-a '//b/text()' -t elem -n z", "<r><b>xyw<z/></b></r>"},
        {"<r><b>x<![CDATA[y]]>w</b></r>", "-i '//b/text()' -t elem -n z", "<r><b><z/>xyw</b></r>"},
        {"<r><b>x<![CDATA[y]]><c/>w</b></r>", "-a '//b/text()' -t text -v Q", "<r><b>xyQ<c/>wQ</b></r>"},
    };
    for (const auto& c : runs) {
        Result edited = quarn(std::string("write - ") + c.arguments, c.document);
        ASSERT_EQ(edited.status, 0) << c.arguments << ": " << edited.err;
        EXPECT_EQ(canonical(edited.out), canonical(c.expected)) << c.arguments << ": " << edited.out;
    }
}
