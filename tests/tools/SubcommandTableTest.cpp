// The subcommand table is the one list of what each subcommand takes: its parser refuses every
// other option (status 2, naming the subcommand), and its --help, the manual page and the bash
// completion list exactly the options it accepts; every subcommand runs its own handler.
#include "tests/tools/QuarnRun.hpp"
#include "flow/FlowOptions.hpp"
#include "tools/SubcommandTable.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {
using namespace quarntest;
using Subcommand = SubcommandTable::Subcommand;

const std::string kOrder = std::string(QUARN_SOURCE_DIR) + "/examples/purchase-order.xml";

// Whether the subcommand's parser takes `name` (with a value after it where it wants one): any
// failure but "unknown option" means the option itself was taken.
bool accepts(const Subcommand& sub, const std::string& name) {
    try {
        if (sub.runArguments)
            FlowOptions::parse({name, "x"});
        else
            SubcommandTable::parse(sub, {name, "x"});
    } catch (const QuarnOptions::UnknownOption&) {
        return false;
    } catch (const QuarnOptions::UsageError& e) {
        // The flow reads "--NAME VALUE" as a setting of its file; one it does not know is refused there.
        return std::string(e.what()).find("unknown setting") == std::string::npos;
    } catch (const std::exception&) {
    }
    return true;
}

// The option names on the option lines ("  -h, --help", "  --ccsid N|NAME") of a help text.
std::set<std::string> optionLines(const std::string& help) {
    std::set<std::string> names;
    const std::size_t from = help.find("\noptions:\n");
    if (from == std::string::npos) return names;
    static const std::regex line("\n  (-[a-zA-Z], )?(--?[a-zA-Z][a-z-]*)");
    const std::string section = help.substr(from, help.find("\n  example:", from) - from);
    for (std::sregex_iterator m(section.begin(), section.end(), line), end; m != end; ++m) {
        if ((*m)[1].matched) names.insert((*m)[1].str().substr(0, 2));
        names.insert((*m)[2].str());
    }
    return names;
}

std::set<std::string> completion(const std::string& sub) {
    const std::string script = std::string(QUARN_SOURCE_DIR) + "/tools/quarn-completion.bash";
    Result r = shell("bash -c " + quote("source " + quote(script) + "; COMP_WORDS=(" + quote(QUARN_TOOL) + " " + sub +
                                        " -); COMP_CWORD=2; _quarn; printf '%s\\n' \"${COMPREPLY[@]}\""));
    std::set<std::string> names;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) names.insert(line);
    return names;
}

std::string manSection(const std::string& page, const std::string& sub) {
    const std::size_t from = page.find("\n.SS " + sub + "\n");
    if (from == std::string::npos) return std::string();
    const std::size_t end = std::min(page.find("\n.SS ", from + 1), page.find("\n.SH ", from + 1));
    return page.substr(from, end - from);
}
} // namespace

TEST(SubcommandTable, HelpManualPageAndCompletionListExactlyTheOptionsEachSubcommandTakes) {
    std::string manual;
#ifdef QUARN_MAN_PAGE
    manual = slurp(QUARN_MAN_PAGE);
    EXPECT_FALSE(manual.empty()) << QUARN_MAN_PAGE;
#endif
    std::set<std::string> probes = {"--colour", "-x", "-q", "--output", "--set-all"};
    for (const Subcommand& sub : SubcommandTable::subcommands())
        for (const SubcommandTable::Option* o : sub.options) {
            probes.insert(o->name);
            if (o->alias) probes.insert(o->alias);
        }
    for (const Subcommand& sub : SubcommandTable::subcommands()) {
        SCOPED_TRACE(sub.name);
        Result help = quarn(std::string(sub.name) + " --help");
        ASSERT_EQ(help.status, 0) << help.err;
        const std::set<std::string> listed = optionLines(help.out);
        const std::set<std::string> completed = completion(sub.name);
        const std::set<std::string> inManual = optionLines(manSection(manual, sub.name));
        std::set<std::string> all = probes;
        all.insert(listed.begin(), listed.end());
        all.insert(completed.begin(), completed.end());
        all.insert(inManual.begin(), inManual.end());
        std::set<std::string> accepted;
        for (const std::string& name : all)
            if (accepts(sub, name)) accepted.insert(name);
        EXPECT_FALSE(accepted.empty());
        EXPECT_EQ(listed, accepted) << help.out;
        EXPECT_EQ(completed, accepted);
        if (!manual.empty()) {
            EXPECT_EQ(inManual, accepted);
        }
    }
}

TEST(SubcommandTable, CompletionAndManualPageNameEverySubcommand) {
    // Names with digits (c14n) included: both read the names from quarn --help.
    const std::string script = std::string(QUARN_SOURCE_DIR) + "/tools/quarn-completion.bash";
    Result r = shell("bash -c " + quote("source " + quote(script) + "; COMP_WORDS=(" + quote(QUARN_TOOL) +
                                        " ''); COMP_CWORD=1; _quarn; printf '%s\\n' \"${COMPREPLY[@]}\""));
    std::set<std::string> completed;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) completed.insert(line);
    std::string manual;
#ifdef QUARN_MAN_PAGE
    manual = slurp(QUARN_MAN_PAGE);
#endif
    for (const Subcommand& sub : SubcommandTable::subcommands()) {
        EXPECT_EQ(completed.count(sub.name), 1u) << sub.name << " is not completed";
        if (!manual.empty()) {
            EXPECT_NE(manual.find(std::string("\n.SS ") + sub.name + "\n"), std::string::npos)
                << sub.name << " has no section in the manual page";
        }
    }
}

// What completion offers after an option is what the option's value takes, given by its long
// name or its short one: the alternatives the help names (be|le), the files of the folder for a
// file, nothing for anything else (a path, a number). A short name used to be offered the files
// (-t, -N, -d), and "quarn help " the files rather than the subcommands.
TEST(SubcommandTable, CompletionOffersWhatEachOptionsValueTakes) {
    const std::string folder = tempPath("completion-values");
    shell("rm -rf " + quote(folder) + " && mkdir -p " + quote(folder) + " && touch " + quote(folder + "/m.xml"));
    const std::set<std::string> pages = {"--ccsid", "--out-ccsid", "--encoding", "--out-encoding"};
    std::vector<std::pair<std::string, std::set<std::string>>> cases;   // the words before the value, what it takes
    std::set<std::string> subcommands;
    std::set<const SubcommandTable::Option*> tried;   // an option many subcommands share is tried in the first
    for (const Subcommand& sub : SubcommandTable::subcommands()) {
        subcommands.insert(sub.name);
        for (const SubcommandTable::Option* o : sub.options) {
            if (!o->value || pages.count(o->name) || !tried.insert(o).second) continue;
            const std::string value = o->value;
            std::set<std::string> expected;
            if (value == "FILE" || value == "FILE..." || value == "OUT") {
                expected = {"m.xml"};
            } else if (value.find('|') != std::string::npos) {
                std::istringstream alternatives(value);
                for (std::string a; std::getline(alternatives, a, '|');) expected.insert(a);
            }
            for (const char* name : {o->name, o->alias})
                if (name) cases.emplace_back(std::string(sub.name) + (sub.runArguments ? "" : " m.xml") + " " + name, expected);
        }
    }
    cases.emplace_back("help", subcommands);
    cases.emplace_back("--help", subcommands);
    // One shell completes every case, each answer after a line of its own.
    std::string script = "source " + quote(std::string(QUARN_SOURCE_DIR) + "/tools/quarn-completion.bash") + "\n";
    for (const auto& c : cases)
        script += "COMP_WORDS=(" + quote(QUARN_TOOL) + " " + c.first +
                  " ''); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMPREPLY=(); _quarn; echo '--'; "
                  "printf '%s\\n' \"${COMPREPLY[@]}\"\n";
    const std::string file = tempPath("complete.sh");   // not in the folder, whose files are offered
    spit(file, script);
    const Result r = shell("cd " + quote(folder) + " && bash " + quote(file));
    std::vector<std::set<std::string>> offered;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        if (line == "--") offered.emplace_back();
        else if (!line.empty() && !offered.empty()) offered.back().insert(line);
    }
    ASSERT_EQ(offered.size(), cases.size()) << r.err;
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(offered[i], cases[i].second) << "quarn " << cases[i].first << " <TAB>";
}

TEST(SubcommandTable, EverySubcommandHasItsOwnHandlerAndHelp) {
    std::set<const void*> handlers;
    Result usage = quarn("--help");
    for (const Subcommand& sub : SubcommandTable::subcommands()) {
        SCOPED_TRACE(sub.name);
        EXPECT_NE(sub.run == nullptr, sub.runArguments == nullptr) << "exactly one handler";
        const void* handler = sub.run ? reinterpret_cast<const void*>(sub.run) : reinterpret_cast<const void*>(sub.runArguments);
        EXPECT_TRUE(handlers.insert(handler).second) << "shares its handler with another subcommand";
        EXPECT_NE(usage.out.find(std::string("\n  ") + sub.name + " " + sub.operands), std::string::npos) << usage.out;
        Result help = quarn(std::string(sub.name) + " --help");
        EXPECT_EQ(help.out.rfind(std::string("usage: quarn ") + sub.name + " ", 0), 0u) << help.out;
        EXPECT_NE(help.out.find(std::string("example: quarn ") + sub.name + " "), std::string::npos);
    }
    // Each answers as itself: what get prints is not what tree prints.
    EXPECT_EQ(quarn("get " + quote(kOrder) + " order/@id").out, "PO-4711\n");
    EXPECT_NE(quarn("tree " + quote(kOrder)).out.find("XmlTypeRoot"), std::string::npos);
}

TEST(SubcommandTable, AnOptionTheSubcommandDoesNotTakeIsRefusedNamingIt) {
    const std::string out = tempPath("refused-out");
    shell("rm -rf " + quote(out));
    const struct {
        std::string arguments;
        std::string subcommand;
    } cases[] = {
        // split writes its records unedited and with the declaration its page needs.
        {"split " + quote(kOrder) + " order/item " + quote(out) + " --set order/item/@qty=2", "split"},
        {"split " + quote(kOrder) + " order/item " + quote(out) + " --no-declaration", "split"},
        {"split " + quote(kOrder) + " order/item " + quote(out) + " --no-span-reuse", "split"},
        {"tree " + quote(kOrder) + " --set order/@id=1", "tree"},
        {"get " + quote(kOrder) + " order/@id --json", "get"},
        {"check " + quote(kOrder) + " -o x.xml", "check"},
        {"write " + quote(kOrder) + " --jobs 2", "write"},
        {"flow --queue q --default d --jobs 2", "flow"},
    };
    for (const auto& c : cases) {
        Result r = quarn(c.arguments);
        EXPECT_EQ(r.status, 2) << c.arguments << r.out;
        EXPECT_NE(r.err.find("for quarn " + c.subcommand), std::string::npos) << c.arguments << ": " << r.err;
    }
    EXPECT_TRUE(filesIn(out).empty()) << "a refused split writes nothing";
    // The options write always took are now in its help.
    Result help = quarn("write --help");
    for (const char* option : {"--check", "--no-check", "--out-byte-order"})
        EXPECT_NE(help.out.find(std::string("\n  ") + option + " "), std::string::npos) << option;
    Result slip = quarn("flow --queue q --default d --prefech 2");
    EXPECT_NE(slip.err.find("did you mean --prefetch?"), std::string::npos) << slip.err;
}
