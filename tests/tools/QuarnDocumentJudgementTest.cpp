// One judgement of what is a document, held by every way into the quarn command: an empty or
// white-space-only message, and bytes after the document element, are refused by check, tree,
// write (handed back whole or written anew), select, get, split, stats and batch alike, with the
// "bad document" status 1 and no output, and a message with nothing in it gets the same words
// from each. select and get are given paths that read to the end of the message: a path answered
// earlier never sees what follows, as laziness means (the user guide's broken tail).
#include "tests/tools/QuarnRun.hpp"

#include <gtest/gtest.h>

#include <dirent.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {
using namespace quarntest;

struct Input {
    const char* label;
    std::string bytes;
    const char* error;   // the words every entry point gives, where they must be the same
};

struct EntryPoint {
    const char* label;
    std::string args;      // FILE, OUT and DIR stand for the input, an output folder, an input folder
    bool fromStdin = false;
    bool writesDocument = false;   // its standard output would hold the message: none when refused
};

const std::vector<Input>& inputs() {
    static const std::vector<Input> all{
        {"empty", "", "No valid body of the document could be found."},
        {"white space only", " \n\t\r\n", "invalid document structure"},
        {"invalid byte after the end", "<doc></doc>\xC3", nullptr},
        // NUL padding ends a message (a broker's fixed-length buffer); what follows it is no padding.
        {"content after NUL padding", std::string("<d/>\0<e/>", 8), nullptr},
        {"second element", "<d/><e/>", nullptr},
        {"text after the end", "<d/>x", nullptr},
    };
    return all;
}

const std::vector<EntryPoint>& entryPoints() {
    static const std::vector<EntryPoint> all{
        {"check", "check FILE"},
        {"tree", "tree FILE", false, true},
        {"tree from standard input", "tree -", true, true},
        {"write handed back whole", "write FILE", false, true},
        {"write without pass-through", "write FILE --no-passthrough", false, true},
        {"write in another page", "write FILE --out-ccsid 1200", false, true},
        {"write without span reuse", "write FILE --no-span-reuse", false, true},
        {"select", "select FILE '//*'", false, true},
        {"get", "get FILE 'count(//*)'", false, true},
        {"split", "split FILE '*/record' OUT"},
        {"stats", "stats FILE -o OUT/stats.xml"},
        {"batch", "batch DIR OUT --no-progress"},
    };
    return all;
}

std::string replaced(std::string text, const std::string& what, const std::string& by) {
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + by.size()))
        text.replace(at, what.size(), by);
    return text;
}

} // namespace

TEST(QuarnDocumentJudgement, EveryEntryPointRefusesWhatIsNoDocument) {
    const std::string dir = tempPath("judged-in"), out = tempPath("judged-out");
    const std::string file = dir + "/message.xml";
    for (const Input& input : inputs()) {
        shell("rm -rf " + quote(dir) + " " + quote(out) + " && mkdir -p " + quote(dir) + " " + quote(out));
        spit(file, input.bytes);
        for (const EntryPoint& entry : entryPoints()) {
            SCOPED_TRACE(std::string(input.label) + ", " + entry.label);
            std::string args = replaced(replaced(replaced(entry.args, "FILE", quote(file)), "OUT", quote(out)), "DIR",
                                        quote(dir));
            const Result r = quarn(args, entry.fromStdin ? input.bytes : std::string());
            EXPECT_EQ(r.status, 1) << r.out << r.err;
            if (input.error != nullptr) {
                // batch lists its failures in its summary, on standard output.
                EXPECT_NE((r.err + r.out).find(input.error), std::string::npos) << r.err << r.out;
            }
            if (entry.writesDocument) {
                EXPECT_EQ(r.out, "");
            }
            EXPECT_EQ(filesIn(out), std::set<std::string>{}) << "a refused message leaves no file";
        }
    }
    shell("rm -rf " + quote(dir) + " " + quote(out));
}
