// The documentation runs as written: every "$ command" of a console block in the README, the
// examples page and the guides is run from a scratch folder that sees the examples, and its
// output (standard output and error) must be the lines that follow it on the page. Times and
// rates differ from run to run and are compared as "#". The API guide's host program must be
// the shipped one, word for word.
#include "tests/tools/QuarnRun.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace {
using namespace quarntest;

struct Example {
    int line;
    std::string command;
    std::string expected;
};

std::vector<Example> consoleExamples(const std::string& markdown) {
    std::vector<Example> examples;
    std::istringstream in(markdown);
    std::string line;
    bool inConsole = false;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (line.rfind("```", 0) == 0) {
            inConsole = !inConsole && line == "```console";
            continue;
        }
        if (!inConsole) continue;
        if (line.rfind("$ ", 0) == 0)
            examples.push_back({number, line.substr(2), std::string()});
        else if (!examples.empty())
            examples.back().expected += line + "\n";
    }
    return examples;
}

std::string normalised(const std::string& text) {
    static const std::regex decimal(" *[0-9]+\\.[0-9]+");
    return std::regex_replace(text, decimal, " #");
}

std::string folderOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

void runPage(const std::string& page) {
    std::string markdown = slurp(std::string(QUARN_SOURCE_DIR) + "/" + page);
    ASSERT_FALSE(markdown.empty()) << page;
    std::vector<Example> examples = consoleExamples(markdown);
    ASSERT_FALSE(examples.empty()) << page << " shows no command";
    std::string scratch = tempPath("doc-" + std::to_string(std::hash<std::string>()(page)));
    shell("rm -rf " + quote(scratch) + " && mkdir -p " + quote(scratch) + " && ln -s " +
          quote(std::string(QUARN_SOURCE_DIR) + "/examples") + " " + quote(scratch + "/examples") + " && ln -s " +
          quote(QUARN_HOST_EXAMPLE) + " " + quote(scratch + "/host-program") + " && ln -s " +
          quote(QUARN_FRONT_DOOR_EXAMPLE) + " " + quote(scratch + "/front-door"));
    const std::string prefix = "cd " + quote(scratch) + " && PATH=" + quote(folderOf(QUARN_TOOL)) + ":\"$PATH\" && { ";
    for (const Example& e : examples) {
        Result r = shell(prefix + e.command + "\n} 2>&1");
        EXPECT_EQ(normalised(r.out), normalised(e.expected)) << page << ":" << e.line << ": $ " << e.command;
    }
    shell("rm -rf " + quote(scratch));
}
} // namespace

TEST(Documentation, ExamplesPageRunsAsShown) { runPage("examples/README.md"); }
TEST(Documentation, UserGuideRunsAsShown) { runPage("docs/user-guide.md"); }
TEST(Documentation, ReadmeRunsAsShown) { runPage("README.md"); }

TEST(Documentation, ApiGuideShowsTheShippedProgramsAndTheirOutput) {
    std::string guide = slurp(std::string(QUARN_SOURCE_DIR) + "/docs/api-guide.md");
    for (const char* example : {"examples/host-program/main.cpp", "examples/front-door/main.cpp", "examples/record-loop/main.cpp"}) {
        std::string program = slurp(std::string(QUARN_SOURCE_DIR) + "/" + example);
        ASSERT_FALSE(program.empty()) << example;
        EXPECT_NE(guide.find("```cpp\n" + program + "```\n"), std::string::npos)
            << "docs/api-guide.md must show " << example << " as it is";
    }
    runPage("docs/api-guide.md");
}

TEST(Documentation, ReadmeShowsTheFrontDoorProgram) {
    std::string readme = slurp(std::string(QUARN_SOURCE_DIR) + "/README.md");
    std::string program = slurp(std::string(QUARN_SOURCE_DIR) + "/examples/front-door/main.cpp");
    EXPECT_NE(readme.find("```cpp\n" + program + "```\n"), std::string::npos)
        << "README.md must show examples/front-door/main.cpp as it is";
}
