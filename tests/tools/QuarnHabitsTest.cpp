// The quarn command's habits, end to end: option spellings (--name=value, --, suggestions for
// slips), -o - for standard output, what --no-span-reuse and check report, deep trees, and
// batch's folder walking, JSON summary and progress line.
#include "tests/tools/QuarnRun.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {
using namespace quarntest;

const std::string kOrder = std::string(QUARN_SOURCE_DIR) + "/examples/purchase-order.xml";

std::size_t longestLine(const std::string& text) {
    std::size_t longest = 0, start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        longest = std::max(longest, nl - start);
    return std::max(longest, text.size() - start);
}
} // namespace

TEST(QuarnOptionSpelling, EqualsFormDoubleDashAndSlipsWithTheirClosestOption) {
    Result spaced = quarn("tree --ccsid 1208 --domain JMSMap " + quote(kOrder));
    Result joined = quarn("tree --ccsid=1208 --domain=JMSMap " + quote(kOrder));
    ASSERT_EQ(spaced.status, 0) << spaced.err;
    EXPECT_EQ(joined.status, 0) << joined.err;
    EXPECT_EQ(joined.out, spaced.out);
    EXPECT_NE(joined.out.find("XmlTypeRoot JMSMap"), std::string::npos);
    // --set's value holds '=' itself: only the first one splits.
    Result set = quarn("write --set='order/@id=A=B' " + quote(kOrder));
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_NE(set.out.find("id=\"A=B\""), std::string::npos) << set.out;

    Result flagValue = quarn("tree --json=yes " + quote(kOrder));
    EXPECT_EQ(flagValue.status, 2);
    EXPECT_NE(flagValue.err.find("--json takes no value"), std::string::npos) << flagValue.err;

    // After "--" a name that starts with a dash is a file.
    std::string folder = tempPath("dashes");
    shell("rm -rf " + quote(folder) + " && mkdir -p " + quote(folder));
    spit(folder + "/-m.xml", "<m a='1'/>");
    Result dashed = shell("cd " + quote(folder) + " && " + QUARN_TOOL + " get -- -m.xml m/@a");
    EXPECT_EQ(dashed.status, 0) << dashed.err;
    EXPECT_EQ(dashed.out, "1\n");
    Result undashed = shell("cd " + quote(folder) + " && " + QUARN_TOOL + " get -m.xml m/@a");
    EXPECT_EQ(undashed.status, 2);

    Result slip = quarn("write --no-spanreuse " + quote(kOrder));
    EXPECT_EQ(slip.status, 2);
    EXPECT_NE(slip.err.find("unknown option '--no-spanreuse' for quarn write; did you mean --no-span-reuse?"),
              std::string::npos)
        << slip.err;
    // An option of another subcommand, and a word like no option at all, get no guess.
    Result other = quarn("get --jobs 2 " + quote(kOrder) + " order/@id");
    EXPECT_EQ(other.status, 2);
    EXPECT_EQ(other.err.find("did you mean"), std::string::npos) << other.err;
    Result far = quarn("tree --frobnicate " + quote(kOrder));
    EXPECT_EQ(far.err.find("did you mean"), std::string::npos) << far.err;
    // Common options count too, and two letters swapped are one slip.
    Result trace = quarn("tree --trace-levle 0 " + quote(kOrder));
    EXPECT_NE(trace.err.find("did you mean --trace-level?"), std::string::npos) << trace.err;

    Result sub = quarn("chek " + quote(kOrder));
    EXPECT_EQ(sub.status, 2);
    EXPECT_NE(sub.err.find("unknown subcommand 'chek' (did you mean check?)"), std::string::npos) << sub.err;
    // Asking for the help of a subcommand there is not is the same slip (it printed the usage, status 0).
    for (const char* help : {"help chek", "--help chek", "-h chek"}) {
        Result helpSlip = quarn(help);
        EXPECT_EQ(helpSlip.status, 2) << help;
        EXPECT_EQ(helpSlip.err.rfind("quarn: unknown subcommand 'chek' (did you mean check?)\n", 0), 0u) << helpSlip.err;
        EXPECT_EQ(helpSlip.out, "") << help;
    }
    Result version = quarn("--verison");
    EXPECT_NE(version.err.find("(did you mean --version?)"), std::string::npos) << version.err;
}

TEST(QuarnOptionSpelling, VersionIsInTheHelpAndAnswers) {
    Result help = quarn("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--version"), std::string::npos);
    Result version = quarn("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("quarn ", 0), 0u) << version.out;
}

TEST(QuarnOutput, DashIsStandardOutputAndNoFileNamedDash) {
    std::string folder = tempPath("dash-out");
    shell("rm -rf " + quote(folder) + " && mkdir -p " + quote(folder));
    Result r = shell("cd " + quote(folder) + " && " + QUARN_TOOL + " write " + quote(kOrder) + " -o -");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, slurp(kOrder));
    Result edited = shell("cd " + quote(folder) + " && " + QUARN_TOOL + " write " + quote(kOrder) +
                          " --set order/@id=X -o - --out-ccsid 1200");
    EXPECT_EQ(edited.status, 0) << edited.err;
    EXPECT_EQ(edited.out.substr(0, 2), std::string("\xFF\xFE", 2));
    EXPECT_EQ(shell("ls -A " + quote(folder)).out, "");
    // stats prints its table there already.
    Result stats = quarn("stats " + quote(kOrder) + " -o -");
    EXPECT_EQ(stats.status, 2);
    EXPECT_EQ(stats.out, "");
}

TEST(QuarnOutput, NoSpanReuseWritesEveryElementAsMarkup) {
    // Spacing inside tags is what only a copy keeps.
    const std::string doc = "<a   x='1'  ><b  >t</b  ></a  >";
    Result copied = quarn("write - --no-passthrough", doc);
    EXPECT_EQ(copied.out, doc);
    Result markup = quarn("write - --no-span-reuse", doc);
    ASSERT_EQ(markup.status, 0) << markup.err;
    EXPECT_EQ(markup.out, "<a x='1'><b>t</b></a>");
    Result stats = quarn("stats - --no-span-reuse --json", doc);
    ASSERT_EQ(stats.status, 0) << stats.err;
    EXPECT_NE(stats.out.find("\"passedThrough\":false"), std::string::npos) << stats.out;
    EXPECT_NE(stats.out.find("\"bytesFromSpans\":0,"), std::string::npos) << stats.out;
    EXPECT_NE(stats.out.find("\"bytesAsMarkup\":21}"), std::string::npos) << stats.out;
}

TEST(QuarnCheck, CountsXmlElementsApartFromSyntaxElementsInTextAndJson) {
    // Root, a, its attribute, b, the text, the comment: six syntax elements, two of them tags.
    const std::string doc = "<a x='1'><b>t</b><!--c--></a>";
    Result text = quarn("check -", doc);
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out, "-: well-formed, 2 XML elements, 6 syntax elements\n");
    Result json = quarn("check --json -", doc);
    EXPECT_EQ(json.out, "{\"file\":\"-\",\"wellFormed\":true,\"xmlElements\":2,\"syntaxElements\":6}\n");
    // A bad document's verdict is on standard output too, one object with where and why.
    Result bad = quarn("check --json -", "<a><b></a>");
    EXPECT_EQ(bad.status, 1);
    for (const char* field : {"\"wellFormed\":false", "\"line\":1", "\"column\":9", "\"offset\":8", "\"number\":5009",
                              "\"message\":\"expected end of tag 'b'\""})
        EXPECT_NE(bad.out.find(field), std::string::npos) << field << " in " << bad.out;
    EXPECT_EQ(bad.out.find('\n'), bad.out.size() - 1) << "one line: " << bad.out;
}

TEST(QuarnTree, DeepDocumentsKeepLinesShort) {
    const int depth = 3000;
    std::string doc;
    for (int i = 0; i < depth; ++i) doc += "<e>";
    for (int i = 0; i < depth; ++i) doc += "</e>";
    Result r = quarn("tree -", doc);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(longestLine(r.out), 140u);
    EXPECT_NE(r.out.find("(depth 3000) XmlTypeElement e"), std::string::npos);
    // Up to the cap the indentation still shows the nesting.
    EXPECT_NE(r.out.find("\n" + std::string(80, ' ') + "XmlTypeElement e"), std::string::npos);
    EXPECT_NE(r.out.find("\n" + std::string(80, ' ') + "(depth 41) XmlTypeElement e"), std::string::npos);
}

TEST(QuarnBatch, RecursiveIncludeAndTheOutputFolderInsideTheInput) {
    std::string in = tempPath("walk");
    shell("rm -rf " + quote(in) + " && mkdir -p " + quote(in + "/a/b") + " " + quote(in + "/c"));
    spit(in + "/top.xml", "<t/>");
    spit(in + "/a/one.xml", "<o/>");
    spit(in + "/a/b/two.xml", "<w/>");
    spit(in + "/a/b/notes.txt", "not a message");
    spit(in + "/c/three.xml", "<h/>");
    // A link back up must not make the walk endless.
    shell("ln -s .. " + quote(in + "/a/up"));
    const std::string out = in + "/out";

    Result r = quarn("batch " + quote(in) + " " + quote(out) + " --recursive --include '*.xml' --no-progress --json");
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_NE(r.out.find("{\"messages\":4,\"written\":4,\"failed\":0,"), std::string::npos) << r.out;
    EXPECT_EQ(shell("cd " + quote(out) + " && find . -type f | sort").out,
              "./a/b/two.xml\n./a/one.xml\n./c/three.xml\n./top.xml\n");
    EXPECT_EQ(slurp(out + "/a/b/two.xml"), "<w/>");

    // Run again: the output folder inside the input now holds files of the input's tree, which the
    // run would not read and --replace would remove: refused before anything is touched.
    Result again = quarn("batch " + quote(in) + " " + quote(out) + " --recursive --no-progress --replace");
    EXPECT_EQ(again.status, 2) << again.err;
    EXPECT_NE(again.err.find("lies inside INDIR and holds messages of it (out/a/b/two.xml, ...)"), std::string::npos)
        << again.err;
    EXPECT_EQ(shell("cd " + quote(out) + " && find . -type f | sort").out,
              "./a/b/two.xml\n./a/one.xml\n./c/three.xml\n./top.xml\n");
    // Elsewhere notes.txt is taken too, and found to be no XML before its bytes are passed on.
    const std::string outside = tempPath("walk-out");
    Result all = quarn("batch " + quote(in) + " " + quote(outside) + " --recursive --no-progress");
    EXPECT_EQ(all.status, 1) << all.err;
    EXPECT_NE(all.out.find("batch: 9 messages, 8 written, 1 failed"), std::string::npos) << all.out;
    EXPECT_NE(all.out.find("failed: a/b/notes.txt"), std::string::npos) << all.out;
    shell("rm -rf " + quote(outside));

    // Without --recursive only the top folder; a glob with a folder matches the path below INDIR.
    Result flat = quarn("batch " + quote(in) + " " + quote(tempPath("flat-out")) + " --no-progress");
    EXPECT_NE(flat.out.find("batch: 1 messages"), std::string::npos) << flat.out;
    Result pathGlob = quarn("batch " + quote(in) + " " + quote(tempPath("glob-out")) +
                            " --recursive --include 'a/*/*.xml' --no-progress");
    EXPECT_NE(pathGlob.out.find("batch: 1 messages"), std::string::npos) << pathGlob.out;
    shell("rm -rf " + quote(in) + " " + quote(tempPath("flat-out")) + " " + quote(tempPath("glob-out")));
}

// An output folder inside the input's tree, by any spelling, that holds messages of that tree:
// the walk leaves it out and --replace would empty it, so the user's files there were lost.
TEST(QuarnBatch, AnOutputFolderInsideTheInputThatHoldsItsMessagesIsRefused) {
    const std::string top = tempPath("inside");
    const std::string in = top + "/in";
    struct Row {
        const char* indir;
        const char* outdir;
        const char* options;
        int status;
    } rows[] = {
        {"in", "in/sub", "--replace", 2},
        {"in", "in/sub", "", 2},
        {"in", "in/sub/deep", "--replace --sync-each", 2},
        {"in", "in/sub/../sub", "--replace", 2},
        {"in/sub/..", "in/sub", "--replace", 2},
        {"in", "to-sub", "--replace", 2},       // a link to in/sub
        {"to-in", "in/sub", "--replace", 2},    // INDIR through a link
        {"in", "in/lk", "--replace", 2},        // a link inside INDIR to in/sub
        {"in", "in/sub", "--replace --include 'b*'", 2},
        // What the run would not take as messages anyway is OUTDIR's to replace.
        {"in", "in/sub", "--replace --include 'a*'", 0},
        {"in", "in/empty", "--replace", 0},
        {"in", "in/.hidden", "--replace", 0},
    };
    for (const Row& row : rows) {
        shell("rm -rf " + quote(top) + " && mkdir -p " + quote(in + "/sub/deep") + " " + quote(in + "/empty") + " " +
              quote(in + "/.hidden") + " && ln -s in " + quote(top + "/to-in") + " && ln -s in/sub " +
              quote(top + "/to-sub") + " && ln -s sub " + quote(in + "/lk"));
        spit(in + "/a.xml", "<a/>");
        spit(in + "/sub/b.xml", "<b/>");
        spit(in + "/sub/deep/c.xml", "<c/>");
        const std::string args = std::string(row.indir) + " " + row.outdir + " --recursive --no-progress " + row.options;
        Result r = shell("cd " + quote(top) + " && " + QUARN_TOOL + " batch " + args);
        EXPECT_EQ(r.status, row.status) << args << "\n" << r.err << r.out;
        if (row.status == 2) {
            EXPECT_NE(r.err.find("lies inside INDIR and holds messages of it"), std::string::npos) << args << r.err;
            EXPECT_EQ(slurp(in + "/sub/b.xml"), "<b/>") << args;
            EXPECT_EQ(slurp(in + "/sub/deep/c.xml"), "<c/>") << args;
            EXPECT_EQ(shell("find " + quote(in) + " -type f | wc -l").out, "3\n") << args;
        }
    }
    shell("rm -rf " + quote(top));
}

// Replacing, a name the run writes may be one of its own messages: INDIR in OUTDIR's tree
// (out/sub/sub/a.xml's output goes to out/sub/a.xml, itself a message) or a link in OUTDIR to
// one. That message was replaced by another's output, or by its own edited, and lost.
TEST(QuarnBatch, AnOutputNamedAsOneOfTheRunsMessagesIsRefused) {
    const std::string top = tempPath("own-names");
    struct Row {
        const char* setup;   // run in `top`
        const char* args;
    } rows[] = {
        {"mkdir -p out/sub/sub && echo '<t/>' > out/sub/a.xml && echo '<d/>' > out/sub/sub/a.xml",
         "out/sub out --recursive --replace"},
        {"mkdir -p in out && echo '<t/>' > in/a.xml && ln -s ../in/a.xml out/a.xml && echo '<o/>' > out/o.xml",
         "in out --replace --set t/@n=1"},
        {"mkdir -p in out && echo '<t/>' > in/a.xml && ln -s ../in/a.xml out/a.xml && echo '<o/>' > out/o.xml",
         "in out --replace --sync-each --set t/@n=1"},
    };
    for (const Row& row : rows) {
        shell("rm -rf " + quote(top) + " && mkdir -p " + quote(top) + " && cd " + quote(top) + " && " + row.setup);
        const std::string before = shell("cd " + quote(top) + " && find . | sort | xargs -d '\\n' ls -ld --time-style=+ | "
                                         "awk '{print $1, $NF}'; cat $(find . -type f | sort)").out;
        Result r = shell("cd " + quote(top) + " && " + QUARN_TOOL + " batch " + row.args + " --no-progress");
        EXPECT_EQ(r.status, 2) << row.args << "\n" << r.err << r.out;
        EXPECT_NE(r.err.find("would be written over the message"), std::string::npos) << row.args << r.err;
        EXPECT_EQ(shell("cd " + quote(top) + " && find . | sort | xargs -d '\\n' ls -ld --time-style=+ | "
                        "awk '{print $1, $NF}'; cat $(find . -type f | sort)").out,
                  before)
            << row.args;
    }
    shell("rm -rf " + quote(top));
}

TEST(QuarnBatch, JsonSummaryNamesTheFailures) {
    std::string in = tempPath("json-in");
    shell("rm -rf " + quote(in) + " && mkdir -p " + quote(in));
    spit(in + "/good.xml", "<g/>");
    spit(in + "/bad \"one\".xml", "<b><c></b>");
    Result r = quarn("batch " + quote(in) + " " + quote(tempPath("json-out")) + " --out-ccsid 1200 --no-progress --json");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("{\"messages\":2,\"written\":1,\"failed\":1,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"failures\":[{\"file\":\"bad \\\"one\\\".xml\",\"message\":\"QRV5009E"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line of JSON";
    shell("rm -rf " + quote(in) + " " + quote(tempPath("json-out")));
}

// A script reads where each message failed from the summary's fields, the same place that
// check's JSON report gives for that message, not from the message's text.
TEST(QuarnBatch, JsonFailuresCarryTheLineAndColumnCheckReports) {
    std::string in = tempPath("where-in");
    shell("rm -rf " + quote(in) + " && mkdir -p " + quote(in));
    const struct {
        const char* name;
        const char* bytes;
        const char* line;
    } cases[] = {
        {"crossed.xml", "<a>\n  <b></a>\n", "\"line\":2,"},
        {"unended.xml", "<a>\n<b/>\n\n<c>text", "\"line\":4,"},
        {"late.xml", "<a/>\n<b/>", "\"line\":2,"},
    };
    for (const auto& c : cases) spit(in + "/" + c.name, c.bytes);
    Result r = quarn("batch " + quote(in) + " " + quote(tempPath("where-out")) + " --no-progress --json --replace");
    EXPECT_EQ(r.status, 1) << r.err;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t entry = r.out.find(std::string("{\"file\":\"") + c.name + "\"");
        ASSERT_NE(entry, std::string::npos) << r.out;
        const std::string failure = r.out.substr(entry, r.out.find('}', entry) - entry);
        Result check = quarn("check --error-format json " + quote(in + "/" + c.name));
        EXPECT_EQ(check.status, 1);
        const std::size_t from = check.err.find("\"line\":");
        ASSERT_NE(from, std::string::npos) << check.err;
        // check says "line":L,"column":C,"offset":O,...: the batch entry holds the same three.
        const std::string place = check.err.substr(from, check.err.find(",\"element\"", from) - from);
        EXPECT_NE(failure.find(place), std::string::npos) << failure << " vs " << place;
        EXPECT_NE(failure.find(c.line), std::string::npos) << failure;
    }
    shell("rm -rf " + quote(in) + " " + quote(tempPath("where-out")));
}

TEST(QuarnBatch, ProgressIsRedrawnAtMostTenTimesASecondWithRateAndTimeLeft) {
    std::string in = tempPath("progress-in");
    shell("rm -rf " + quote(in) + " && mkdir -p " + quote(in));
    for (int i = 0; i < 400; ++i) spit(in + "/m" + std::to_string(1000 + i) + ".xml", "<m><n>" + std::to_string(i) + "</n></m>");
    Result r = quarn("batch " + quote(in) + " " + quote(tempPath("progress-out")) +
                     " --out-ccsid 1200 --jobs 1 --progress --json --replace");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::size_t secondsAt = r.out.find("\"seconds\":");
    ASSERT_NE(secondsAt, std::string::npos);
    const double seconds = std::stod(r.out.substr(secondsAt + 10));
    const long redraws = std::count(r.err.begin(), r.err.end(), '\r');
    EXPECT_GE(redraws, 1);
    EXPECT_LE(redraws, static_cast<long>(seconds * 10) + 2) << r.err;
    EXPECT_NE(r.err.find("400/400 messages, 0 failed, "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("/s, 0:00 left"), std::string::npos) << r.err;
    shell("rm -rf " + quote(in) + " " + quote(tempPath("progress-out")));
}
