// The layers of docs/architecture.md held against the code: the table of folders and what each
// may use is read from the page itself, and every `#include "folder/..."` of the library folders
// must be one the table allows, so that the page and the includes cannot drift apart.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Layer {
    std::string library;            // the first name in the library column
    std::set<std::string> mayUse;   // the folders named in the last column
};

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> cells(const std::string& row) {
    std::vector<std::string> out;
    std::size_t at = row.find('|');
    while (at != std::string::npos) {
        const std::size_t next = row.find('|', at + 1);
        if (next == std::string::npos) break;
        out.push_back(row.substr(at + 1, next - at - 1));
        at = next;
    }
    return out;
}

// The table under "## Layers": one row per folder, `folder/` in the first column.
std::map<std::string, Layer> layersFromTheArchitecturePage() {
    const std::string page = slurp(fs::path(QUARN_SOURCE_DIR) / "docs" / "architecture.md");
    const std::size_t start = page.find("\n## Layers\n");
    if (start == std::string::npos) return {};
    const std::size_t end = page.find("\n## ", start + 1);
    std::istringstream section(page.substr(start, end == std::string::npos ? std::string::npos : end - start));
    const std::regex folderCell(R"(^\s*`([a-z]+)/`\s*$)");
    const std::regex folderName(R"(`([a-z]+)/`)");
    const std::regex libraryName(R"(`([A-Za-z0-9_-]+)`)");
    std::map<std::string, Layer> layers;
    std::string line;
    while (std::getline(section, line)) {
        const std::vector<std::string> row = cells(line);
        std::smatch m;
        if (row.size() != 4 || !std::regex_match(row[0], m, folderCell)) continue;
        Layer& layer = layers[m[1]];
        if (std::regex_search(row[1], m, libraryName)) layer.library = m[1];
        for (std::sregex_iterator it(row[3].begin(), row[3].end(), folderName), stop; it != stop; ++it)
            layer.mayUse.insert((*it)[1]);
    }
    return layers;
}

} // namespace

TEST(Layering, EveryIncludeOfTheLibraryFoldersIsOneTheArchitectureTableAllows) {
    const std::map<std::string, Layer> layers = layersFromTheArchitecturePage();
    ASSERT_GE(layers.size(), 10u) << "docs/architecture.md: the table of layers was not found";
    for (const char* folder : {"host", "common", "parser", "builder", "writer", "query", "document", "cli", "flow", "tools"})
        EXPECT_EQ(layers.count(folder), 1u) << folder << "/ has no row in the table of layers";

    const std::regex include(R"re(^\s*#\s*include\s*"([A-Za-z0-9_]+)/([^"]+)")re");
    std::size_t files = 0;
    std::size_t crossings = 0;
    for (const auto& [folder, layer] : layers) {
        const fs::path root = fs::path(QUARN_SOURCE_DIR) / folder;
        ASSERT_TRUE(fs::is_directory(root)) << folder << "/ is in the table but not in the source tree";
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
            const std::string extension = entry.path().extension().string();
            if (!entry.is_regular_file() || (extension != ".cpp" && extension != ".hpp")) continue;
            ++files;
            std::istringstream text(slurp(entry.path()));
            std::string line;
            int number = 0;
            while (std::getline(text, line)) {
                ++number;
                std::smatch m;
                if (!std::regex_search(line, m, include)) continue;
                const std::string used = m[1];
                if (used == folder) continue;
                ++crossings;
                const std::string where = fs::relative(entry.path(), QUARN_SOURCE_DIR).string() + ":" +
                                          std::to_string(number) + ": " + used + "/" + m[2].str();
                if (layers.count(used) == 0)
                    ADD_FAILURE() << where << ": " << used << "/ is not a folder of the table of layers";
                else if (layer.mayUse.count(used) == 0)
                    ADD_FAILURE() << where << ": the table says " << folder << "/ may not use " << used << "/";
            }
        }
    }
    // Guards against a check that looks at nothing.
    EXPECT_GT(files, 100u);
    EXPECT_GT(crossings, 100u);
}

// Folders of one library (parser/, builder/ and writer/ are all the plug-in) may use each other;
// between libraries the uses must run one way, or neither library could be built or loaded
// without the other.
TEST(Layering, TheArchitectureTableHasNoCircleBetweenLibraries) {
    const std::map<std::string, Layer> layers = layersFromTheArchitecturePage();
    ASSERT_GE(layers.size(), 10u);
    std::map<std::string, std::set<std::string>> uses;   // library -> libraries it uses
    for (const auto& [folder, layer] : layers) {
        EXPECT_FALSE(layer.library.empty()) << folder << "/ names no library";
        for (const std::string& used : layer.mayUse) {
            auto found = layers.find(used);
            if (found == layers.end()) {
                ADD_FAILURE() << folder << "/ may use " << used << "/, which has no row";
                continue;
            }
            if (found->second.library != layer.library) uses[layer.library].insert(found->second.library);
        }
    }
    std::map<std::string, int> state;   // 1 on the path, 2 done
    std::vector<std::string> path;
    std::function<void(const std::string&)> visit = [&](const std::string& library) {
        state[library] = 1;
        path.push_back(library);
        for (const std::string& next : uses[library]) {
            if (state[next] == 1) {
                std::string circle;
                for (const std::string& step : path) circle += step + " -> ";
                ADD_FAILURE() << "a circle between libraries: " << circle << next;
            } else if (state[next] == 0) {
                visit(next);
            }
        }
        path.pop_back();
        state[library] = 2;
    };
    for (const auto& entry : uses)
        if (state[entry.first] == 0) visit(entry.first);
}
