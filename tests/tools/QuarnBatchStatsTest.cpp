// quarn batch, quarn stats and the plug-in loading of the quarn command, end to end: a folder
// with a broken message, identical outputs on one and two threads, no partial files, progress,
// what stats counts, and a missing plug-in.
#include "tests/tools/QuarnRun.hpp"
#include "tests/parser/LibxmlReading.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

namespace {
using namespace quarntest;

// Every name in a folder, hidden files too: a temporary file would show.
std::set<std::string> namesIn(const std::string& folder) { return filesIn(folder); }

// A fresh folder of messages: `count` good orders, each a little different, and optionally
// one broken one.
std::string messageFolder(const std::string& name, int count, bool withBroken) {
    std::string folder = tempPath(name);
    shell("rm -rf " + quote(folder) + " && mkdir -p " + quote(folder));
    for (int i = 0; i < count; ++i) {
        std::string body = "<?xml version='1.0'?>\n<order id='PO-" + std::to_string(i) + "'>";
        for (int j = 0; j <= i % 7; ++j) body += "<item n='" + std::to_string(j) + "'>text &amp; more</item>";
        spit(folder + "/m" + std::to_string(100 + i) + ".xml", body + "</order>\n");
    }
    if (withBroken) spit(folder + "/m150-broken.xml", "<order><item></order>\n");
    return folder;
}

long number(const std::string& text, const std::string& label) {
    std::size_t p = text.find(label);
    if (p == std::string::npos) return -1;
    return std::stol(text.substr(p + label.size()));
}
} // namespace

TEST(QuarnBatch, ABrokenMessageIsReportedAndTheOthersAreWritten) {
    std::string in = messageFolder("batch-in", 5, true), out = tempPath("batch-out");
    shell("rm -rf " + quote(out));
    // What is passed on unscanned is checked first, so the broken message is found although
    // its bytes after the scan frontier would have been copied.
    Result r = quarn("batch " + quote(in) + " " + quote(out) + " --out-ccsid 1200 --jobs 2");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("batch: 6 messages, 5 written, 1 failed"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("failed: m150-broken.xml: QRV5009E"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("expected end of tag 'item'"), std::string::npos) << r.out;
    std::set<std::string> written = namesIn(out);
    EXPECT_EQ(written.size(), 5u);
    EXPECT_EQ(written.count("m150-broken.xml"), 0u) << "a failed message left a file";
    for (const std::string& name : written) {
        EXPECT_EQ(name.find("quarn-tmp"), std::string::npos) << name;
        // Each output is what quarn write makes of the message.
        Result single = quarn("write " + quote(in + "/" + name) + " --out-ccsid 1200");
        ASSERT_EQ(single.status, 0);
        EXPECT_EQ(slurp(out + "/" + name), single.out) << name;
    }
    long bytesOut = 0;
    for (const std::string& name : written) bytesOut += static_cast<long>(slurp(out + "/" + name).size());
    EXPECT_NE(r.out.find(" in, " + std::to_string(bytesOut) + " out"), std::string::npos) << r.out;
}

TEST(QuarnBatch, OneAndTwoThreadsGiveIdenticalOutputs) {
    std::string in = messageFolder("jobs-in", 24, false);
    std::string one = tempPath("jobs-1"), two = tempPath("jobs-2");
    shell("rm -rf " + quote(one) + " " + quote(two));
    const std::string options = " --set order/@id=X --set 'order/item[1]/@n=first' --no-progress";
    Result a = quarn("batch " + quote(in) + " " + quote(one) + " --jobs 1" + options);
    Result b = quarn("batch " + quote(in) + " " + quote(two) + " --jobs 2" + options);
    ASSERT_EQ(a.status, 0) << a.out << a.err;
    ASSERT_EQ(b.status, 0) << b.out << b.err;
    EXPECT_EQ(a.out.substr(0, a.out.find("time:")), b.out.substr(0, b.out.find("time:")));
    ASSERT_EQ(namesIn(one), namesIn(two));
    EXPECT_EQ(namesIn(one).size(), 24u);
    for (const std::string& name : namesIn(one)) {
        std::string first = slurp(one + "/" + name);
        EXPECT_EQ(first, slurp(two + "/" + name)) << name;
        EXPECT_NE(first.find("<order id='X'><item n='first'>"), std::string::npos) << first;
    }
}

TEST(QuarnBatch, AnOutputThatCannotBeWrittenFailsAloneAndLeavesNoTemporaryFile) {
    std::string in = messageFolder("blocked-in", 3, false), out = tempPath("blocked-out");
    shell("rm -rf " + quote(out) + " && mkdir -p " + quote(out + "/m101.xml/inside"));
    // A folder in a file's place is no earlier output a run may remove: the file fails alone.
    Result r = quarn("batch " + quote(in) + " " + quote(out) + " --no-progress --replace");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("3 messages, 2 written, 1 failed"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("failed: m101.xml: cannot write"), std::string::npos) << r.out;
    EXPECT_EQ(namesIn(out), (std::set<std::string>{"m100.xml", "m101.xml", "m102.xml"}));
    EXPECT_EQ(slurp(out + "/m100.xml"), slurp(in + "/m100.xml"));

    // Into a new folder, staged whole: an output cut short by the file size limit fails alone and
    // leaves no file, torn or whole, when the folder appears with the others.
    const std::string parent = tempPath("blocked-parent"), fresh = parent + "/out";
    shell("rm -rf " + quote(parent) + " && mkdir -p " + quote(parent));
    spit(in + "/m101.xml", "<order><item>" + std::string(300000, 'x') + "</item></order>");
    Result limited = shell("trap '' XFSZ; ulimit -f 64; " + std::string(QUARN_TOOL) + " batch " + quote(in) + " " +
                           quote(fresh) + " --no-progress --jobs 2");
    EXPECT_EQ(limited.status, 1) << limited.err;
    EXPECT_NE(limited.out.find("3 messages, 2 written, 1 failed"), std::string::npos) << limited.out;
    EXPECT_NE(limited.out.find("failed: m101.xml: cannot write"), std::string::npos) << limited.out;
    EXPECT_EQ(namesIn(parent), (std::set<std::string>{"out"})) << "nothing hidden is left beside it";
    EXPECT_EQ(namesIn(fresh), (std::set<std::string>{"m100.xml", "m102.xml"}));
    EXPECT_EQ(slurp(fresh + "/m102.xml"), slurp(in + "/m102.xml"));
    EXPECT_EQ(libxml_reading::read(slurp(fresh + "/m102.xml")).rfind("ill-formed", 0), std::string::npos);
    shell("rm -rf " + quote(parent) + " " + quote(in) + " " + quote(out));
}

TEST(QuarnBatch, ProgressOnlyWhenAskedOrOnATerminal) {
    std::string in = messageFolder("progress-in", 4, false), out = tempPath("progress-out");
    Result forced = quarn("batch " + quote(in) + " " + quote(out) + " --progress --jobs 2");
    ASSERT_EQ(forced.status, 0);
    EXPECT_NE(forced.err.find("[##############################] 4/4 messages, 0 failed, "), std::string::npos)
        << forced.err;
    EXPECT_EQ(forced.err.back(), '\n');
    EXPECT_EQ(forced.out.find('['), std::string::npos) << "the bar belongs on standard error";
    // Standard error is a file here, not a terminal.
    EXPECT_EQ(quarn("batch " + quote(in) + " " + quote(out) + " --replace").err, "");
    EXPECT_EQ(quarn("batch " + quote(in) + " " + quote(out) + " --replace --progress --no-progress").err, "");
}

TEST(QuarnBatch, CommandLineErrors) {
    std::string in = messageFolder("usage-in", 1, false);
    EXPECT_EQ(quarn("batch " + quote(in)).status, 2);
    EXPECT_EQ(quarn("batch " + quote(in) + " x --jobs 0").status, 2);
    EXPECT_EQ(quarn("batch " + quote(in) + " x --jobs many").status, 2);
    EXPECT_EQ(quarn("batch " + quote(in) + " x -o y").status, 2);
    Result missing = quarn("batch /nonexistent/folder " + quote(tempPath("never")));
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("/nonexistent/folder"), std::string::npos);
    Result notFolder = quarn("batch " + quote(in) + " " + quote(in + "/m100.xml"));
    EXPECT_EQ(notFolder.status, 2);
    EXPECT_NE(notFolder.err.find("is not a folder"), std::string::npos) << notFolder.err;
}

TEST(QuarnStats, CountsWhatTheWriteParsedCopiedAndRewrote) {
    const std::string po = quote(kExamples + "/purchase-order.xml");
    const long size = static_cast<long>(slurp(kExamples + "/purchase-order.xml").size());
    // Untouched: nothing is scanned, the message is given back whole.
    Result untouched = quarn("stats " + po);
    ASSERT_EQ(untouched.status, 0) << untouched.err;
    EXPECT_NE(untouched.out.find("passed through whole: " + std::to_string(size)), std::string::npos) << untouched.out;
    EXPECT_NE(untouched.out.find("           0                1\n"), std::string::npos) << untouched.out;

    Result edited = quarn("stats " + po + " --set 'order/item[2]/@qty=5'");
    ASSERT_EQ(edited.status, 0) << edited.err;
    long copied = number(edited.out, "copied from spans:"), markup = number(edited.out, "written as markup:");
    long out = number(edited.out, "bytes out:");
    EXPECT_EQ(out, static_cast<long>(quarn("write " + po + " --set 'order/item[2]/@qty=5'").out.size()));
    EXPECT_GT(copied, 0);
    EXPECT_GT(markup, 0);
    EXPECT_EQ(copied + markup, out);
    // The edit scans only up to the second item; the write copies the rest from the scan
    // frontier, building nothing more. Without span reuse it builds the whole tree.
    std::istringstream lines(edited.out);
    std::string line, phase;
    double ms;
    long editSteps = 0, editElements = 0, writeSteps = 0, writeElements = 0;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        fields >> phase;
        if (phase == "edit") fields >> ms >> editSteps >> editElements;
        if (phase == "write") fields >> ms >> writeSteps >> writeElements;
    }
    EXPECT_GT(editSteps, 0);
    EXPECT_EQ(editSteps, writeSteps);
    EXPECT_EQ(editElements, writeElements);
    EXPECT_LT(writeElements, 39) << "the whole tree, as quarn check counts it";
    Result whole = quarn("stats " + po + " --set 'order/item[2]/@qty=5' --no-span-reuse");
    std::istringstream wholeLines(whole.out);
    while (std::getline(wholeLines, line)) {
        std::istringstream fields(line);
        fields >> phase;
        if (phase == "write") fields >> ms >> writeSteps >> writeElements;
    }
    EXPECT_EQ(writeElements, 39) << whole.out;

    Result rewritten = quarn("stats " + po + " --set 'order/item[2]/@qty=5' --no-span-reuse");
    EXPECT_EQ(number(rewritten.out, "copied from spans:"), 0) << rewritten.out;

    std::string file = tempPath("stats-out.xml");
    ASSERT_EQ(quarn("stats " + po + " --out-ccsid 37 -o " + quote(file)).status, 0);
    EXPECT_EQ(slurp(file), quarn("write " + po + " --out-ccsid 37").out);
    std::remove(file.c_str());
}

TEST(QuarnPlugin, FoundByTheEnvironmentOrNextToTheCommandAndMissingIsClear) {
    const std::string po = quote(kExamples + "/purchase-order.xml");
    Result missing = shell("QUARN_PARSER_PLUGIN=/nonexistent/libquarnparse.so.0 " + std::string(QUARN_TOOL) + " get " +
                           po + " order/@id");
    EXPECT_EQ(missing.status, 4);
    EXPECT_NE(missing.err.find("QRV2351E"), std::string::npos) << missing.err;
    EXPECT_NE(missing.err.find("/nonexistent/libquarnparse.so.0"), std::string::npos);
    EXPECT_NE(missing.err.find("QUARN_PARSER_PLUGIN"), std::string::npos);
    Result notPlugin = shell("QUARN_PARSER_PLUGIN=libc.so.6 " + std::string(QUARN_TOOL) + " get " + po + " order/@id");
    EXPECT_EQ(notPlugin.status, 4);
    EXPECT_NE(notPlugin.err.find("kelParserRegistrations"), std::string::npos) << notPlugin.err;

    // A copy of the command in a folder of its own, with the libraries it runs on, finds the
    // plug-in next to itself.
    std::string folder = tempPath("alone");
    shell("rm -rf " + quote(folder) + " && mkdir -p " + quote(folder));
    std::string plugin = slurp(std::string(QUARN_LIBRARY_DIR) + "/libquarnparse.so.0");
    ASSERT_FALSE(plugin.empty());
    spit(folder + "/libquarnparse.so.0", plugin);
    shell("cp " + quote(QUARN_TOOL) + " " + quote(folder + "/quarn"));
    for (const char* library : {"libkelmsg.so.0", "libkelcore.so.0", "libquarncommon.so.0", "libquarnquery.so.0"})
        shell("cp " + quote(std::string(QUARN_LIBRARY_DIR) + "/" + library) + " " + quote(folder));
    Result alone = shell(quote(folder + "/quarn") + " get " + po + " order/@id");
    EXPECT_EQ(alone.status, 0) << alone.err;
    EXPECT_EQ(alone.out, "PO-4711\n");
    shell("rm -rf " + quote(folder));
}

TEST(QuarnHelp, EverySubcommandExplainsItselfWithAnExampleAndTraces) {
    Result all = quarn("--help");
    EXPECT_EQ(all.status, 0);
    for (const char* sub : {"tree", "check", "write", "get", "batch", "stats"}) {
        EXPECT_NE(all.out.find(std::string("  ") + sub + " "), std::string::npos) << sub;
        Result one = quarn(std::string(sub) + " --help");
        EXPECT_EQ(one.status, 0) << sub;
        EXPECT_NE(one.out.find(std::string("example: quarn ") + sub), std::string::npos) << sub;
    }
    Result version = quarn("--version");
    EXPECT_EQ(version.out.rfind("quarn ", 0), 0u);
    std::string in = messageFolder("trace-in", 2, false), trace = tempPath("trace.txt");
    std::remove(trace.c_str());
    ASSERT_EQ(quarn("batch " + quote(in) + " " + quote(tempPath("trace-out")) + " --no-passthrough --trace-level 3 "
                    "--trace-file " + quote(trace)).status, 0);
    std::string lines = slurp(trace);
    EXPECT_NE(lines.find("XmlBrokerOrvaneWriter::writeBuffer"), std::string::npos);
    EXPECT_NE(lines.find("KelParserRegistry::createParser"), std::string::npos);
    std::remove(trace.c_str());
}

// After a run the output folder holds exactly what the run wrote: a second run into it is refused
// unless --replace, which also takes away the earlier output of a message that now fails; OUTDIR
// may be INDIR only with --in-place; a name near the system's limit is written; the text summary
// prints a file name so that it forges no line or terminal escape.
TEST(QuarnBatch, TheOutputFolderHoldsExactlyWhatTheRunWrote) {
    std::string in = messageFolder("again-in", 2, false), out = tempPath("again-out");
    shell("rm -rf " + quote(out));
    ASSERT_EQ(quarn("batch " + quote(in) + " " + quote(out) + " --no-progress").status, 0);
    spit(in + "/m101.xml", "<order><item></order>\n");
    Result refused = quarn("batch " + quote(in) + " " + quote(out) + " --no-progress");
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("--replace"), std::string::npos) << refused.err;
    Result replaced = quarn("batch " + quote(in) + " " + quote(out) + " --no-progress --replace --sync-each");
    EXPECT_EQ(replaced.status, 1);
    EXPECT_EQ(namesIn(out), (std::set<std::string>{"m100.xml"})) << "the failed message leaves no file";

    const std::string before = slurp(in + "/m100.xml");
    Result same = quarn("batch " + quote(in) + " " + quote(in) + " --no-progress --set order/@id=Z");
    EXPECT_EQ(same.status, 2);
    EXPECT_EQ(slurp(in + "/m100.xml"), before);
    Result inPlace = quarn("batch " + quote(in) + " " + quote(in) + " --no-progress --in-place --set order/@id=Z");
    EXPECT_EQ(inPlace.status, 1) << inPlace.err;
    EXPECT_NE(slurp(in + "/m100.xml").find("<order id='Z'>"), std::string::npos) << slurp(in + "/m100.xml");
    EXPECT_EQ(slurp(in + "/m101.xml"), "<order><item></order>\n") << "a failed message is left as it was";

    std::string names = tempPath("names-in"), namesOut = tempPath("names-out");
    shell("rm -rf " + quote(names) + " " + quote(namesOut) + " && mkdir -p " + quote(names));
    const std::string longName = std::string(246, 'n') + ".xml";
    spit(names + "/" + longName, "<a/>");
    spit(names + "/x\n\x1b[2Jfailed: forged.xml", "<a>");
    Result r = quarn("batch " + quote(names) + " " + quote(namesOut) + " --no-progress");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(slurp(namesOut + "/" + longName), "<a/>") << r.out;
    EXPECT_NE(r.out.find("failed: x\\x0A\\x1B[2Jfailed: forged.xml: "), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\nfailed: forged"), std::string::npos) << r.out;
    shell("rm -rf " + quote(in) + " " + quote(out) + " " + quote(names) + " " + quote(namesOut));
}

TEST(QuarnBatch, EachFileOfAThreadIsReadAsIfItWereAlone) {
    // One thread takes every file in turn, in pages it finds from each one's bytes, a broken one
    // among them: each output is what quarn write makes of that file alone.
    std::string in = tempPath("pages-in"), out = tempPath("pages-out");
    shell("rm -rf " + quote(in) + " " + quote(out) + " && mkdir -p " + quote(in));
    const std::string text = "<?xml version='1.0' encoding='UTF-8'?><order id='\xC3\xA9'><item n='1'>caf\xC3\xA9</item></order>";
    spit(in + "/a-utf8.xml", text);
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("<?xml version='1.0' encoding='UTF-16'?><order id='x'><item n='2'>t</item></order>"))
        utf16 += std::string(1, c) + '\0';
    spit(in + "/b-utf16.xml", utf16);
    spit(in + "/c-broken.xml", "<order><item n='3'>t</order>");
    shell("printf '%s' " + quote("<?xml version='1.0' encoding='IBM037'?><order id='\xC3\xA9'><item n='4'>\xC3\xA9t\xC3\xA9</item></order>") +
          " | iconv -f UTF-8 -t IBM037 > " + quote(in + "/d-ebcdic.xml"));
    spit(in + "/e-utf8.xml", "<order><item n='5'>&amp;</item></order>");
    Result r = quarn("batch " + quote(in) + " " + quote(out) + " --jobs 1 --set 'order/item/@n=9' --no-progress");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("batch: 5 messages, 4 written, 1 failed"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("failed: c-broken.xml: QRV5009E"), std::string::npos) << r.out;
    const struct {
        const char* name;
        const char* read;   // as libxml2 reads the output
    } outputs[] = {
        {"a-utf8.xml", "<order id=[\xC3\xA9]><item n=[9]>caf\xC3\xA9</item></order>"},
        {"b-utf16.xml", "<order id=[x]><item n=[9]>t</item></order>"},
        {"d-ebcdic.xml", "<order id=[\xC3\xA9]><item n=[9]>\xC3\xA9t\xC3\xA9</item></order>"},
        {"e-utf8.xml", "<order><item n=[9]>&</item></order>"},
    };
    for (const auto& o : outputs) {
        Result single = quarn("write " + quote(in + "/" + o.name) + " --set 'order/item/@n=9'");
        ASSERT_EQ(single.status, 0) << o.name << single.err;
        const std::string written = slurp(out + "/" + o.name);
        EXPECT_EQ(written, single.out) << o.name;
        EXPECT_EQ(libxml_reading::read(written), o.read) << o.name;
    }
}

// An entry the folder listing cannot take for a file (a link to nothing, a loop of links) is
// listed as a failed message that says why, and the run exits 1; it is never left out of a run
// that reports success. Hidden names, and names --include leaves out, stay out as before. An entry
// that is no regular file (a FIFO, a device) is not read, for a FIFO would block the run, and is
// no failure; but the summary counts it (--verbose names it), where it used to say nothing.
TEST(QuarnBatch, AnEntryTheListingCannotReachIsAFailedMessage) {
    const struct {
        const char* what;
        const char* make;      // shell commands run in INDIR, which holds ok.xml
        const char* options;
        const char* failed;    // the start of the failed line, or null when nothing fails
        const char* cause;
        const char* skipped = nullptr;   // the summary's skipped line, or null when it has none
        const char* named = nullptr;     // a line naming a skipped entry
    } cases[] = {
        {"a FIFO", "mkfifo pipe.xml", "", nullptr, nullptr,
         "skipped: 1 entry that is not a regular file (FIFO, socket or device); --verbose names them\n"},
        {"a FIFO and a device, with --verbose", "mkfifo pipe.xml && ln -s /dev/null null.xml", "--verbose", nullptr,
         nullptr, "skipped: 2 entries that are not regular files (FIFO, socket or device)\n",
         "skipped: null.xml: a character device\nskipped: pipe.xml: a FIFO\n"},
        {"a FIFO below, with --recursive", "mkdir sub && mkfifo sub/pipe.xml", "-r --verbose", nullptr, nullptr,
         "skipped: 1 entry that is not a regular file", "skipped: sub/pipe.xml: a FIFO\n"},
        {"a FIFO left out by --include", "mkfifo pipe.txt", "--include '*.xml'", nullptr, nullptr},
        {"a FIFO, with --json", "mkfifo pipe.xml", "--json", nullptr, nullptr, "\"removed\":0,\"skipped\":1,"},
        {"a link to nothing", "ln -s missing.xml order.xml", "", "failed: order.xml: cannot read ",
         "No such file or directory"},
        {"a loop of links", "ln -s loop-b.xml loop-a.xml && ln -s loop-a.xml loop-b.xml",
         "--include 'loop-a*' --include ok.xml",
         "failed: loop-a.xml: cannot read ", "Too many levels of symbolic links"},
        {"below, with --recursive", "mkdir sub && ln -s ../missing.xml sub/order.xml", "-r",
         "failed: sub/order.xml: cannot read ", "No such file or directory"},
        {"left out by --include", "ln -s missing.xml notes.txt", "--include '*.xml'", nullptr, nullptr},
        {"hidden", "ln -s missing.xml .order.xml", "", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        const std::string in = tempPath("unreachable-in"), out = tempPath("unreachable-out");
        shell("rm -rf " + quote(in) + " " + quote(out) + " && mkdir -p " + quote(in));
        spit(in + "/ok.xml", "<a/>");
        ASSERT_EQ(shell("cd " + quote(in) + " && " + c.make).status, 0) << c.what;
        const Result r = quarn("batch " + quote(in) + " " + quote(out) + " --no-progress " + c.options);
        EXPECT_EQ(slurp(out + "/ok.xml"), "<a/>") << c.what;
        if (c.skipped) {
            EXPECT_NE(r.out.find(c.skipped), std::string::npos) << c.what << "\n" << r.out;
        } else {
            EXPECT_EQ(r.out.find("skipped:"), std::string::npos) << c.what << "\n" << r.out;
        }
        if (c.named) {
            EXPECT_NE(r.out.find(c.named), std::string::npos) << c.what << "\n" << r.out;
        }
        if (c.failed == nullptr) {
            const bool json = std::string(c.options).find("--json") != std::string::npos;
            EXPECT_EQ(r.status, 0) << c.what << "\n" << r.out << r.err;
            EXPECT_NE(r.out.find(json ? "{\"messages\":1,\"written\":1,\"failed\":0,"
                                      : "batch: 1 messages, 1 written, 0 failed"),
                      std::string::npos)
                << c.what << "\n" << r.out;
            continue;
        }
        EXPECT_EQ(r.status, 1) << c.what << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find("batch: 2 messages, 1 written, 1 failed"), std::string::npos)
            << c.what << "\n" << r.out;
        const std::size_t line = r.out.find(c.failed);
        ASSERT_NE(line, std::string::npos) << c.what << "\n" << r.out;
        EXPECT_NE(r.out.find(c.cause, line), std::string::npos) << c.what << "\n" << r.out;
    }
}

// Below the longest path the system takes by name (PATH_MAX) a recursive run cannot reach a file
// or folder: it lists it as a failed message naming it, --include or not, and never reports
// success without it.
TEST(QuarnBatch, WhatLiesBeyondTheLongestPathIsAFailedMessage) {
    const std::string in = tempPath("deep-in"), out = tempPath("deep-out");
    const std::string level(200, 'd');
    // Folders `levels` deep, each 200 bytes, made by descriptor as no path reaches them.
    const auto makeDeep = [&](int levels, const std::string& file) {
        shell("rm -rf " + quote(in) + " " + quote(out) + " && mkdir -p " + quote(in));
        spit(in + "/top.xml", "<a/>");
        int fd = ::open(in.c_str(), O_RDONLY | O_DIRECTORY);
        for (int i = 0; i < levels && fd >= 0; ++i) {
            const int made = ::mkdirat(fd, level.c_str(), 0755);
            const int below = made == 0 ? ::openat(fd, level.c_str(), O_RDONLY | O_DIRECTORY) : -1;
            ::close(fd);
            fd = below;
        }
        const int f = fd >= 0 ? ::openat(fd, file.c_str(), O_WRONLY | O_CREAT, 0644) : -1;
        const bool made = f >= 0 && ::write(f, "<a/>", 4) == 4;
        if (f >= 0) ::close(f);
        if (fd >= 0) ::close(fd);
        return made;
    };
    // The deepest folder whose path is still short enough, and a file in it whose path is not.
    const int within = static_cast<int>((PATH_MAX - 1 - in.size()) / (level.size() + 1));
    const struct {
        const char* what;
        int levels;
        std::string file;
        const char* options;
        const char* cause;
    } cases[] = {
        {"a folder", 21, "deep.xml", "-r", "cannot read folder "},
        {"a folder, with --include", 21, "deep.xml", "-r --include '*.xml'", "cannot read folder "},
        {"a file", within, std::string(250, 'f') + ".xml", "-r --include '*.xml'", "cannot read "},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(makeDeep(c.levels, c.file)) << c.what;
        const Result r = quarn("batch " + quote(in) + " " + quote(out) + " --no-progress " + c.options);
        EXPECT_EQ(r.status, 1) << c.what << "\n" << r.out << r.err;
        EXPECT_NE(r.out.find("batch: 2 messages, 1 written, 1 failed"), std::string::npos)
            << c.what << "\n" << r.out;
        const std::size_t line = r.out.find("failed: " + level + "/");
        ASSERT_NE(line, std::string::npos) << c.what << "\n" << r.out;
        EXPECT_NE(r.out.find(": " + std::string(c.cause) + in + "/" + level + "/", line), std::string::npos)
            << c.what << "\n" << r.out;
        EXPECT_NE(r.out.find("File name too long", line), std::string::npos) << c.what << "\n" << r.out;
        EXPECT_EQ(slurp(out + "/top.xml"), "<a/>") << c.what;
    }
    shell("rm -rf " + quote(in) + " " + quote(out));
}

// The text summary's failed lines are escaped whole: a name quoted in the message (the file that
// cannot be read or written) forges no line or terminal escape there either, while the causes of
// a message still follow on their own indented lines.
TEST(QuarnBatch, AFailedLineForgesNothingThroughItsMessage) {
    const std::string name = "x\nfailed: forged.xml: \x1b[31mRED";
    const std::string shown = "x\\x0Afailed: forged.xml: \\x1B[31mRED";
    const struct {
        const char* what;
        std::string make;   // shell commands run in the test's folder, which holds in/
        const char* options;
        std::string failed;   // what the failed line holds, from its start
        std::string after;    // and further on
    } cases[] = {
        {"an output that cannot be written", "mkdir -p " + quote("out/" + name + "/inside") + " && echo '<a/>' > " +
                                                 quote("in/" + name),
         "--replace", "failed: " + shown + ": cannot write ", "/" + shown + ": "},
        {"a link to nothing", "ln -s missing.xml " + quote("in/" + name), "", "failed: " + shown + ": cannot read ",
         "/" + shown + ": No such file or directory\n"},
        {"a message with causes", "printf '<a>&undefined;</a>' > in/b.xml", "",
         "failed: b.xml: QRV5009E: XML Parsing Errors have occurred (", ")\n  caused by: QRV5004E: "},
    };
    const std::string folder = tempPath("forged");
    for (const auto& c : cases) {
        shell("rm -rf " + quote(folder) + " && mkdir -p " + quote(folder + "/in"));
        ASSERT_EQ(shell("cd " + quote(folder) + " && " + c.make).status, 0) << c.what;
        const Result r = quarn("batch " + quote(folder + "/in") + " " + quote(folder + "/out") + " --no-progress " +
                               c.options);
        EXPECT_EQ(r.status, 1) << c.what << "\n" << r.out << r.err;
        const std::size_t line = r.out.find(c.failed);
        ASSERT_NE(line, std::string::npos) << c.what << "\n" << r.out;
        EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << c.what << "\n" << r.out;
        EXPECT_EQ(r.out.find("\nfailed: forged"), std::string::npos) << c.what << "\n" << r.out;
        EXPECT_NE(r.out.find(c.after, line + c.failed.size()), std::string::npos) << c.what << "\n" << r.out;
    }
    shell("rm -rf " + quote(folder));
}
