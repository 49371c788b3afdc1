// Every entry point judges a document as the core does. The core's answer is a full walk of the
// tree; the library's tree-less check, a write of a partly scanned tree, a rewrite without span
// reuse, the front door, the flow's transform and each subcommand of the command must accept
// what it accepts and refuse what it refuses, over the hostile documents, the fuzz regressions
// and the conformance suite. Whatever an entry point writes for an unchanged document is read by
// libxml2 to the tree libxml2 reads from the input.
#include "document/quarn.hpp"
#include "host/KelBuffer.hpp"
#include "host/KelEncodingDetector.hpp"
#include "host/KelException.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"
#include "tests/support/ConformanceManifest.hpp"
#include "tests/support/HostileDocuments.hpp"
#include "tests/support/LibxmlCanonicalReader.hpp"
#include "tests/tools/LinkedParser.hpp"
#include "flow/FlowOptions.hpp"
#include "flow/FlowTransform.hpp"
#include "tests/tools/QuarnRun.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

using quarntest::kSanitizerSlowdown;
using quarntest::quote;
using quarntest::Result;
using quarntest::shell;
using quarntest::slurp;
using quarntest::spit;
using quarntest::tempPath;

struct Input {
    std::string name;
    std::string bytes;
    int ccsid = 1208;
    int encoding = 546;
};

// What an entry point made of a document: refused, or accepted with this output (empty when it
// writes nothing that stands for the document).
struct Verdict {
    bool accepted = false;
    std::string output;
};

// The page as the command finds it, so that every entry point reads the same characters; false
// when none can be found (a message every entry point refuses before it parses anything).
bool detectPage(Input& in) {
    try {
        const KelEncodingDetector::Result page =
            KelEncodingDetector::detect(reinterpret_cast<const unsigned char*>(in.bytes.data()), in.bytes.size());
        in.ccsid = page.ccsid;
        in.encoding = page.encoding;
        return true;
    } catch (const KelException&) {
        return false;
    }
}

void walkAll(KelSyntaxElement* top) {
    for (KelSyntaxElement* e = top; e;) {
        if (KelSyntaxElement* child = e->firstChild()) {
            e = child;
            continue;
        }
        while (e != top && !e->nextSibling()) e = e->parent();
        e = e == top ? nullptr : e->nextSibling();
    }
}

struct Parsed {
    KelMessageGroup group;
    XmlKelParser parser;
    KelBuffer bytes;
    explicit Parsed(const Input& in, bool spanReuse = true)
        : parser(&group, spanReuse), bytes(KelBuffer::fromString(in.bytes)) {
        parser.initialize();
        parser.refreshElementsFromBitStream(nullptr, bytes, in.encoding, in.ccsid);
    }
    std::string write(const Input& in) {
        KelWriteBuffer out(in.ccsid);
        parser.refreshBitStreamFromElements(nullptr, &out, parser.rootElement(), in.encoding, in.ccsid);
        return out.toString();
    }
};

template <class F> Verdict judged(F run) {
    try {
        return Verdict{true, run()};
    } catch (const KelException&) {
        return Verdict{false, {}};
    } catch (const std::exception&) {
        return Verdict{false, {}};
    }
}

const KelParserInspector& inspector() { return quarntest::linkedInspector(); }

// The library's entry points, in-process.
const std::map<std::string, std::function<Verdict(const Input&)>>& libraryEntryPoints() {
    static const std::map<std::string, std::function<Verdict(const Input&)>> points = {
        {"full walk",
         [](const Input& in) {
             return judged([&] {
                 Parsed p(in);
                 walkAll(p.parser.rootElement());
                 return std::string();
             });
         }},
        {"checkBitStream",
         [](const Input& in) {
             return judged([&] {
                 Parsed p(in);
                 p.parser.checkBitStream(p.bytes, in.encoding, in.ccsid);
                 return std::string();
             });
         }},
        {"write of a partly scanned tree",
         [](const Input& in) {
             return judged([&] {
                 Parsed p(in);
                 // Only the start of the document element is built; the rest is the frontier's.
                 for (KelSyntaxElement* c = p.parser.rootElement()->firstChild(); c; c = c->nextSibling())
                     if (c->type() == XmlTypeElement) {
                         c->firstChild();
                         break;
                     }
                 p.parser.setReuseBitStream(false);
                 return p.write(in);
             });
         }},
        {"rewrite without span reuse",
         [](const Input& in) {
             return judged([&] {
                 Parsed p(in, false);
                 return p.write(in);
             });
         }},
        {"front door",
         [](const Input& in) {
             return judged([&] { return quarn::Document::fromBytes(in.bytes, in.ccsid, in.encoding).write(); });
         }},
        {"front door record walk",
         [](const Input& in) {
             return judged([&] {
                 // Every element under the document element, deleted behind the walk.
                 quarn::Document document = quarn::Document::fromBytes(in.bytes, in.ccsid, in.encoding);
                 for (quarn::Node record : document.records("*/*")) record.value();
                 return std::string();
             });
         }},
        {"flow transform",
         [](const Input& in) {
             static const FlowOptions options = FlowOptions::parse({"--queue", "in", "--default", "other"});
             FlowTransform transform(options, inspector());
             const FlowTransform::Outcome o = transform.process(
                 reinterpret_cast<const unsigned char*>(in.bytes.data()), in.bytes.size(), in.ccsid, in.encoding);
             if (o.deadLetter) return Verdict{false, {}};
             return Verdict{true, std::string(reinterpret_cast<const char*>(o.data), o.size)};
         }},
    };
    return points;
}

// The command's subcommands, run as a user runs them on a file. Each gives its exit status; 1 is
// a refused document, 0 (and 3 for a path that selects nothing) an accepted one.
struct Subcommand {
    std::string name;
    std::string args;      // after "quarn"; FILE and DIR stand for the input and a fresh folder
    bool writesOutput;     // standard output is the document written out
};

const std::vector<Subcommand>& subcommands() {
    static const std::vector<Subcommand> all = {
        {"check", "check FILE", false},
        {"tree", "tree FILE", false},
        {"write", "write FILE -o -", true},
        {"write --no-span-reuse", "write FILE --no-span-reuse -o -", true},
        {"write --set", "write FILE --set '/*/@quarn-probe=1' -o -", false},
        {"write -s", "write FILE -s '/*' -t attr -n quarn-probe -v 1 -o -", false},
        {"select", "select FILE 'count(//*)'", false},
        {"get", "get FILE '/*'", false},
        {"stats", "stats FILE -o /dev/null", false},
        {"split", "split FILE quarn-probe DIR/out", false},
        {"c14n", "c14n FILE -o DIR/out.xml", false},
        {"format", "format FILE -o DIR/out.xml", false},
        {"batch", "batch DIR/in DIR/out", false},
    };
    return all;
}

Verdict runSubcommand(const Subcommand& s, const Input& in, const std::string& dir) {
    shell("rm -rf " + quote(dir) + " && mkdir -p " + quote(dir + "/in"));
    const std::string file = dir + "/in/doc.xml";
    spit(file, in.bytes);
    std::string args = s.args;
    // The command finds the page as the entry points here were told it.
    for (std::size_t at; (at = args.find("FILE")) != std::string::npos;) args.replace(at, 4, quote(file));
    for (std::size_t at; (at = args.find("DIR")) != std::string::npos;) args.replace(at, 3, quote(dir));
    const Result r = quarntest::quarn(args);
    EXPECT_TRUE(r.status == 0 || r.status == 1 || r.status == 3)
        << in.name << ": quarn " << s.name << " exited " << r.status << ": " << r.err.substr(0, 300);
    return Verdict{r.status != 1, s.writesOutput ? r.out : std::string()};
}

// libxml2's tree of an output is libxml2's tree of the input.
void expectSameTree(const Input& in, const std::string& where, const std::string& output) {
    const LibxmlReading original = LibxmlCanonicalReader::read(in.bytes);
    if (!original.ok) return;   // libxml2 cannot read the input itself: nothing to compare with
    const LibxmlReading written = LibxmlCanonicalReader::read(output);
    ASSERT_TRUE(written.ok) << in.name << " through " << where << ": " << written.error;
    if (written.canonical != original.canonical &&
        !LibxmlCanonicalReader::differsOnlyByEntityCarriageReturns(original.canonical, written.canonical))
        ADD_FAILURE() << in.name << " through " << where << " reads as another tree";
}

// Holds every library entry point (and, when `command`, every subcommand) to the full walk's
// verdict on `in`; returns whether the core accepted it.
enum class Through { Library, Command, Both };

bool expectAgreement(const Input& in, Through through) {
    const Verdict core = libraryEntryPoints().at("full walk")(in);
    if (through != Through::Command) {
        for (const auto& [name, run] : libraryEntryPoints()) {
            const Verdict v = run(in);
            EXPECT_EQ(v.accepted, core.accepted) << in.name << ": " << name << (core.accepted ? " refused" : " accepted");
            if (v.accepted && core.accepted && !v.output.empty()) {
                expectSameTree(in, name, v.output);
            }
        }
    }
    if (through == Through::Library) return core.accepted;
    const std::string dir = tempPath("agree");
    for (const Subcommand& s : subcommands()) {
        const Verdict v = runSubcommand(s, in, dir);
        EXPECT_EQ(v.accepted, core.accepted) << in.name << ": quarn " << s.name
                                             << (core.accepted ? " refused" : " accepted");
        if (v.accepted && core.accepted && s.writesOutput) {
            expectSameTree(in, "quarn " + s.name, v.output);
        }
    }
    shell("rm -rf " + quote(dir));
    return core.accepted;
}

TEST(EntryPointAgreement, HostileDocumentsThroughTheLibrary) {
    for (const HostileDocument& doc : HostileDocuments::all()) {
        const bool accepted = expectAgreement(Input{doc.shape, doc.text}, Through::Library);
        if (!doc.wellFormed) {
            EXPECT_FALSE(accepted) << doc.shape << " was accepted";
        }
    }
}

TEST(EntryPointAgreement, HostileDocumentsThroughTheCommand) {
    int index = 0;
    for (const HostileDocument& doc : HostileDocuments::all()) {
        // Sanitizer builds run the command on the edges of a document and a sample of the rest.
        if (doc.wellFormed && index++ % (2 * kSanitizerSlowdown - 1) != 0) continue;
        expectAgreement(Input{doc.shape, doc.text}, Through::Command);
    }
}

TEST(EntryPointAgreement, FuzzRegressions) {
    const std::string folder = std::string(QUARN_SOURCE_DIR) + "/fuzz/regressions/text";
    DIR* d = opendir(folder.c_str());
    if (d == nullptr) GTEST_SKIP() << "no fuzz regressions at " << folder;
    int compared = 0;
    while (const dirent* entry = readdir(d)) {
        if (entry->d_name[0] == '.') continue;
        Input in{entry->d_name, slurp(folder + "/" + entry->d_name)};
        if (!detectPage(in)) continue;
        expectAgreement(in, Through::Both);
        ++compared;
    }
    closedir(d);
    EXPECT_GT(compared, 0);
}

TEST(EntryPointAgreement, ConformanceSuite) {
    const std::string manifest = std::string(QUARN_CONFORMANCE_DIR) + "/xmlconf.xml";
    bool present = false;
    ConformanceManifest::readFile(manifest, &present);
    if (!present) GTEST_SKIP() << "no conformance suite at " << manifest;
    int index = 0, compared = 0;
    for (const ConformanceCase& c : ConformanceManifest::read(manifest)) {
        if (!ConformanceManifest::notApplicable(c).empty()) continue;
        const int at = index++;
        if (at % (2 * kSanitizerSlowdown) != 0) continue;
        bool readable = false;
        Input in{c.id, ConformanceManifest::readFile(c.path(), &readable)};
        if (!readable || !detectPage(in)) continue;
        // The command's own logic is the same for every document: a sample of the suite runs it.
        expectAgreement(in, at % (60 * kSanitizerSlowdown) == 0 ? Through::Both : Through::Library);
        ++compared;
    }
    EXPECT_GT(compared, 300 / kSanitizerSlowdown);
}

} // namespace
