// The run paths of the command and of every library of the build tree: an empty or relative
// entry makes the loader search the folder the user runs quarn from, so a library planted
// there would be loaded. Read with readelf, as an auditor would.
#include "tests/tools/QuarnRun.hpp"

#include <sstream>
#include <vector>

namespace {

using namespace quarntest;

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.emplace_back();
    return parts;
}

// The entries of every RPATH and RUNPATH of `file`.
std::vector<std::string> runPathEntries(const std::string& file, bool& found) {
    Result r = shell("readelf -d " + quote(file));
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> entries;
    found = false;
    for (const std::string& line : split(r.out, '\n')) {
        if (line.find("(RUNPATH)") == std::string::npos && line.find("(RPATH)") == std::string::npos) continue;
        const auto open = line.find('['), close = line.rfind(']');
        if (open == std::string::npos || close == std::string::npos || close < open) continue;
        found = true;
        for (const std::string& entry : split(line.substr(open + 1, close - open - 1), ':')) entries.push_back(entry);
    }
    return entries;
}

TEST(RunPath, NoEmptyOrRelativeEntryInTheBuildTree) {
    std::vector<std::string> files = split(QUARN_LIBRARIES, ':');
    files.push_back(QUARN_TOOL);
    for (const std::string& file : files) {
        bool found = false;
        const std::vector<std::string> entries = runPathEntries(file, found);
        // Each binary needs one to find the others (the command its libraries, each library
        // the ones it links).
        EXPECT_TRUE(found) << file;
        for (const std::string& entry : entries) {
            EXPECT_FALSE(entry.empty()) << file << " has an empty run-path entry";
            const bool anchored = !entry.empty() && (entry[0] == '/' || entry.rfind("$ORIGIN", 0) == 0);
            EXPECT_TRUE(anchored) << file << " has the relative run-path entry " << entry;
        }
    }
}

TEST(RunPath, ALibraryPlantedInTheCurrentFolderIsNotLoaded) {
    // Libraries the command and the plug-in need from the system, planted as garbage in the
    // folder quarn runs from: loading any of them would fail the run.
    std::string folder = tempPath("planted");
    shell("rm -rf " + quote(folder) + " && mkdir -p " + quote(folder));
    for (const char* library : {"libstdc++.so.6", "libgcc_s.so.1", "libxerces-c-3.2.so", "libkelcore.so.0"})
        spit(folder + "/" + library, "not a library");
    Result r = shell("cd " + quote(folder) + " && " + quote(QUARN_TOOL) + " get " +
                     quote(std::string(QUARN_SOURCE_DIR) + "/examples/purchase-order.xml") + " order/@id");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "PO-4711\n");
    shell("rm -rf " + quote(folder));
}

} // namespace
