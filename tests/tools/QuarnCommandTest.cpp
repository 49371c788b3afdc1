// The quarn command end to end, run as a user runs it: exit statuses, output and files.
#include "tests/parser/LibxmlReading.hpp"
#include "tests/tools/QuarnRun.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {
using namespace quarntest;

const std::string kExample = std::string(QUARN_SOURCE_DIR) + "/examples/purchase-order.xml";

std::string withoutSpanMarks(std::string tree) {
    for (std::size_t p; (p = tree.find(" [span]")) != std::string::npos;) tree.erase(p, 7);
    return tree;
}
} // namespace

TEST(QuarnTree, PrintsTheTreeAsTextAndJson) {
    Result r = quarn("tree " + quote(kExample));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("XmlTypeRoot XML\n"), std::string::npos);
    EXPECT_NE(r.out.find("  XmlTypeElement order [span]\n"), std::string::npos);
    EXPECT_NE(r.out.find("XmlTypeAttribute qty = \"1\""), std::string::npos);
    EXPECT_NE(r.out.find("XmlTypeCData = \"<large>\""), std::string::npos);
    Result j = quarn("tree --json " + quote(kExample));
    ASSERT_EQ(j.status, 0);
    EXPECT_EQ(j.out.rfind("{\"type\":\"XmlTypeRoot\",\"name\":\"XML\"", 0), 0u);
    int depth = 0, lowest = 0;
    bool inString = false;
    for (std::size_t i = 0; i < j.out.size(); ++i) {
        char c = j.out[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') inString = true;
        if (c == '{' || c == '[') ++depth;
        if (c == '}' || c == ']') lowest = std::min(lowest, --depth);
    }
    EXPECT_EQ(depth, 0);
    EXPECT_EQ(lowest, 0);
    Result d = quarn("tree --domain JMSMap -", "<m><k>v</k></m>");
    EXPECT_EQ(d.out.rfind("XmlTypeRoot JMSMap\n", 0), 0u) << d.out;
}

TEST(QuarnCheck, ReportsGoodAndBadDocuments) {
    Result ok = quarn("check " + quote(kExample));
    EXPECT_EQ(ok.status, 0);
    EXPECT_NE(ok.out.find("well-formed, 7 XML elements, 39 syntax elements"), std::string::npos) << ok.out;
    Result bad = quarn("check --verbose -", "<a><b></a>");
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("<stdin>:1:9: expected end of tag 'b'"), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find("QRV5009E: XML Parsing Errors have occurred"), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find("caused by: QRV5004E"), std::string::npos);
    EXPECT_NE(bad.err.find("expected end of tag 'b'"), std::string::npos);
    Result noBody = quarn("check -", "<!-- nothing else -->");
    EXPECT_EQ(noBody.status, 1);
}

TEST(QuarnUsage, ErrorsOfTheCommandLineExitWith2) {
    EXPECT_EQ(quarn("").status, 2);
    EXPECT_EQ(quarn("frobnicate x").status, 2);
    EXPECT_EQ(quarn("tree --bogus " + quote(kExample)).status, 2);
    Result ccsid = quarn("tree --ccsid 99999 " + quote(kExample));
    EXPECT_EQ(ccsid.status, 2);
    EXPECT_NE(ccsid.err.find("99999"), std::string::npos);
    EXPECT_EQ(quarn("tree --ccsid twelve " + quote(kExample)).status, 2);
    EXPECT_EQ(quarn("tree /nonexistent/file.xml").status, 2);
    EXPECT_EQ(quarn("tree /tmp").status, 2);
    EXPECT_EQ(quarn("tree --domain Other " + quote(kExample)).status, 2);
    EXPECT_EQ(quarn("write " + quote(kExample) + " --set order/nosuch=1").status, 2);
    EXPECT_EQ(quarn("write " + quote(kExample) + " --set noequals").status, 2);
    EXPECT_EQ(quarn("get " + quote(kExample)).status, 2);
    // A count of arguments that differs says what was given and what the subcommand takes.
    Result two = quarn("get " + quote(kExample) + " " + quote(kExample) + " order/@id");
    EXPECT_EQ(two.status, 2);
    EXPECT_NE(two.err.find("takes FILE PATH, not 3 arguments"), std::string::npos) << two.err;
    EXPECT_NE(two.err.find("one FILE at a time"), std::string::npos) << two.err;
    Result help = quarn("write --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--no-passthrough"), std::string::npos);
    EXPECT_EQ(quarn("--version").status, 0);
    // A value outside what the help says is refused as the flow refuses it, not taken; an empty
    // output name (an unset variable) wrote the message to standard output with status 0.
    const struct {
        std::string arguments;
        std::string error;
    } refused[] = {
        {"check --trace-level 99 " + quote(kExample), "quarn: --trace-level needs a number from 0 to 9, not '99'\n"},
        {"check --trace-level=-1 " + quote(kExample), "quarn: --trace-level needs a number from 0 to 9, not '-1'\n"},
        {"write " + quote(kExample) + " -o ''", "quarn: -o needs a file name (- for standard output)\n"},
        {"c14n " + quote(kExample) + " -o ''", "quarn: -o needs a file name (- for standard output)\n"},
        {"format " + quote(kExample) + " -o ''", "quarn: -o needs a file name (- for standard output)\n"},
    };
    for (const auto& r : refused) {
        const Result run = quarn(r.arguments);
        EXPECT_EQ(run.status, 2) << r.arguments;
        EXPECT_EQ(run.err, r.error) << r.arguments;
        EXPECT_EQ(run.out, "") << r.arguments;
    }
}

TEST(QuarnWrite, UnchangedMessagesComeBackByteForByte) {
    std::string original = slurp(kExample);
    for (const char* options : {"", " --no-passthrough"}) {
        Result r = quarn("write " + quote(kExample) + options);
        ASSERT_EQ(r.status, 0) << options << r.err;
        EXPECT_EQ(r.out, original) << options;
    }
    // Without span reuse everything is rewritten, and it parses back to the same tree.
    Result rewritten = quarn("write --no-span-reuse " + quote(kExample));
    ASSERT_EQ(rewritten.status, 0);
    EXPECT_EQ(withoutSpanMarks(quarn("tree -", rewritten.out).out), withoutSpanMarks(quarn("tree " + quote(kExample)).out));
}

TEST(QuarnWrite, EditsChangeOnlyWhatTheyName) {
    std::string original = slurp(kExample);
    Result r = quarn("write " + quote(kExample) + " --set order/item[2]/@qty=5");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string expected = original;
    expected.replace(expected.find("qty='1'"), 7, "qty='5'");
    EXPECT_EQ(r.out, expected);
    Result added = quarn("write " + quote(kExample) + " --set " + quote("order/note/@by=me&you") + " --delete order/customer");
    ASSERT_EQ(added.status, 0) << added.err;
    EXPECT_NE(added.out.find("<note by=\"me&amp;you\">Deliver before noon</note>"), std::string::npos) << added.out;
    EXPECT_EQ(added.out.find("<customer"), std::string::npos);
    Result text = quarn("write " + quote(kExample) + " --set " + quote("order/note=After <5pm>"));
    EXPECT_NE(text.out.find("<note>After &lt;5pm&gt;</note>"), std::string::npos) << text.out;
}

// --set gives an element the text as its whole content, nested elements included, from a file,
// from standard input and in a batch alike.
TEST(QuarnWrite, SettingAnElementReplacesItsContent) {
    const std::string document = "<a><b k='1'>u<c>t</c>v<!--n--></b></a>";
    const std::string expected = "<a><b k='1'>x</b></a>";
    const std::string file = tempPath("set-content.xml");
    spit(file, document);
    const Result r = quarn("write " + quote(file) + " --set 'a/b=x' -o -");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(libxml_reading::readsAs(r.out, expected)) << r.out;
    const Result piped = quarn("write - --set 'a/b=x'", document);
    EXPECT_TRUE(libxml_reading::readsAs(piped.out, expected)) << piped.out;
    const std::string in = tempPath("set-content-in"), out = tempPath("set-content-out");
    shell("rm -rf " + quote(in) + " " + quote(out) + " && mkdir -p " + quote(in));
    spit(in + "/m.xml", document);
    const Result batch = quarn("batch " + quote(in) + " " + quote(out) + " --set 'a/b=x' --no-progress");
    ASSERT_EQ(batch.status, 0) << batch.err;
    EXPECT_TRUE(libxml_reading::readsAs(slurp(out + "/m.xml"), expected)) << slurp(out + "/m.xml");
    std::remove(file.c_str());
    shell("rm -rf " + quote(in) + " " + quote(out));
}

TEST(QuarnWrite, OutputFilesAreWholeOrAbsent) {
    std::string out = tempPath("out.xml");
    std::remove(out.c_str());
    ASSERT_EQ(quarn("write " + quote(kExample) + " -o " + quote(out)).status, 0);
    EXPECT_EQ(slurp(out), slurp(kExample));
    std::remove(out.c_str());
    Result bad = quarn("write - --no-passthrough -o " + quote(out), "<a><b></a>");
    EXPECT_EQ(bad.status, 1);
    EXPECT_FALSE(std::ifstream(out).good()) << "a failed write left a file behind";
}

// An edit near the top of a message whose end is broken: refused by default, as the rest is
// checked before it is copied; --no-check copies it as it stands, checking nothing at all.
TEST(QuarnWrite, ABrokenRestIsRefusedUnlessTheCheckIsTurnedOff) {
    const std::string broken = "<order id='1'><item>a</item><item>b</oops></order>";
    Result refused = quarn("write - --set 'order/@id=2' -o -", broken);
    EXPECT_EQ(refused.status, 1) << refused.out;
    EXPECT_EQ(refused.out, "");
    Result unchecked = quarn("write - --set 'order/@id=2' --no-check -o -", broken);
    EXPECT_EQ(unchecked.status, 0) << unchecked.err;
    EXPECT_EQ(unchecked.out, "<order id='2'><item>a</item><item>b</oops></order>");
}

TEST(QuarnWrite, EbcdicMessageEditedAndWrittenAsUtf16) {
    std::string ebcdic = tempPath("po37.xml");
    Result to37 = quarn("write " + quote(kExample) + " --out-ccsid 37 -o " + quote(ebcdic));
    ASSERT_EQ(to37.status, 0) << to37.err;
    std::string bytes = slurp(ebcdic);
    EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0x4C);            // '<' in ccsid 37
    Result utf16 = quarn("write " + quote(ebcdic) + " --ccsid 37 --out-ccsid 1200 --out-encoding 546 --set order/@id=PO-9");
    ASSERT_EQ(utf16.status, 0) << utf16.err;
    ASSERT_GE(utf16.out.size(), 2u);
    EXPECT_EQ(static_cast<unsigned char>(utf16.out[0]), 0xFF);        // little-endian mark
    EXPECT_EQ(static_cast<unsigned char>(utf16.out[1]), 0xFE);
    Result back = quarn("write - --ccsid 1200 --out-ccsid 1208", utf16.out);
    ASSERT_EQ(back.status, 0) << back.err;
    std::string expected = slurp(kExample);
    expected.replace(expected.find("PO-4711"), 7, "PO-9");
    EXPECT_EQ(back.out, expected);
    std::remove(ebcdic.c_str());
}

TEST(QuarnGet, PrintsOneValueScanningOnlyWhatItNeeds) {
    Result attr = quarn("get " + quote(kExample) + " order/item[2]/@sku");
    EXPECT_EQ(attr.status, 0);
    EXPECT_EQ(attr.out, "B-220\n");
    EXPECT_EQ(quarn("get " + quote(kExample) + " order/customer/name").out, "J\xC3\xBCrgen M\xC3\xBCller & S\xC3\xB6hne\n");
    EXPECT_EQ(quarn("get " + quote(kExample) + " order/item[3]").status, 3);
    EXPECT_EQ(quarn("get " + quote(kExample) + " order/@missing").status, 3);
    EXPECT_EQ(quarn("get " + quote(kExample) + " other").status, 3);
    // A large message whose end is broken: the first field is still read, because nothing
    // beyond it is scanned.
    std::string big = "<m><h id='first'>head</h>";
    while (big.size() < 4 * 1024 * 1024) big += "<r a='1'>some record text</r>\n";
    big += "<broken";
    std::string path = tempPath("big.xml");
    spit(path, big);
    Result head = quarn("get " + quote(path) + " m/h/@id");
    EXPECT_EQ(head.status, 0) << head.err;
    EXPECT_EQ(head.out, "first\n");
    EXPECT_EQ(quarn("check " + quote(path)).status, 1);
    std::remove(path.c_str());
}

// The trace is appended to its file. Named after the message (or the flow file, or a file to
// send), it was written into it: the command read its own trace lines as the end of the message
// and refused it, and the user's file was left with them. It is now refused before any work.
TEST(QuarnTrace, ATraceFileThatIsAnInputIsRefusedAndTheInputKept) {
    const std::string message = tempPath("traced.xml"), flow = tempPath("traced.flow"), link = tempPath("traced-link.xml");
    const std::string out = tempPath("traced-out");
    const std::string flowText = "queue q\ndefault d\n";
    const struct {
        std::string arguments;
        std::string trace;
        std::string input;
    } cases[] = {
        {"check " + quote(message), message, message},
        {"write " + quote(message) + " --set order/@id=1 -o " + quote(out + ".xml"), message, message},
        {"get " + quote(message) + " order/@id", link, message},   // the same file by another name
        {"split " + quote(message) + " order/item " + quote(out), message, message},
        {"flow " + quote(flow) + " --dead-letters", flow, flow},
        {"flow --queue q --default d --send " + quote(message), message, message},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        shell("rm -rf " + quote(out) + " " + quote(out + ".xml") + " " + quote(link));
        shell("cp " + quote(kExample) + " " + quote(message));
        spit(flow, flowText);
        ASSERT_EQ(::link(message.c_str(), link.c_str()), 0);
        const Result r = quarn(c.arguments + " --trace-level 3 --trace-file " + quote(c.trace));
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(r.err, "quarn: --trace-file " + c.trace + " is the input " + c.input +
                             ": the trace would be written into it\n");
        EXPECT_EQ(slurp(message), slurp(kExample));
        EXPECT_EQ(slurp(flow), flowText);
        EXPECT_NE(::access(out.c_str(), F_OK), 0);
        EXPECT_NE(::access((out + ".xml").c_str(), F_OK), 0);
    }
    shell("rm -f " + quote(message) + " " + quote(flow) + " " + quote(link));
}

TEST(QuarnTrace, TraceLevelAndFileOnTheCommandLine) {
    std::string log = tempPath("trace.log");
    std::remove(log.c_str());
    ASSERT_EQ(quarn("tree --trace-level 4 --trace-file " + quote(log) + " " + quote(kExample)).status, 0);
    std::string trace = slurp(log);
    EXPECT_NE(trace.find("Entry XmlKelParser::initialize"), std::string::npos);
    EXPECT_NE(trace.find("XmlBrokerOrvaneParser::parseNextItem"), std::string::npos);
    EXPECT_NE(trace.find("DebugEntry KelXmlParser::callElementConstructor"), std::string::npos);
    std::remove(log.c_str());
    // A trace file that cannot be opened is an output that cannot be written, said before any
    // work, not a trace poured into standard error instead. Set from the environment, where no
    // status can tell it, it is said on standard error once, and the trace goes there.
    for (const char* subcommand : {"tree", "flow --queue q --dead-letters"}) {
        SCOPED_TRACE(subcommand);
        const Result nowhere = quarn(std::string(subcommand) + " --trace-level 3 --trace-file /nonexistent-folder/t.log " +
                                     (std::string(subcommand) == "tree" ? quote(kExample) : std::string()));
        EXPECT_EQ(nowhere.status, 5) << nowhere.err;
        EXPECT_EQ(nowhere.err, "quarn: cannot write the trace file /nonexistent-folder/t.log: No such file or directory\n");
        EXPECT_EQ(nowhere.out, "");
    }
    const Result fromEnvironment =
        shell("QUARN_TRACE_LEVEL=3 QUARN_TRACE_FILE=/nonexistent-folder/t.log " + std::string(QUARN_TOOL) + " check " +
              quote(kExample));
    EXPECT_EQ(fromEnvironment.status, 0);
    EXPECT_EQ(fromEnvironment.err.rfind("quarn: cannot open the trace file /nonexistent-folder/t.log (QUARN_TRACE_FILE): "
                                        "No such file or directory; tracing to standard error\n",
                                        0),
              0u)
        << fromEnvironment.err.substr(0, 300);
    EXPECT_NE(fromEnvironment.err.find("Entry XmlKelParser::initialize"), std::string::npos);
}
