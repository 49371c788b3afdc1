// bench/hostile measures what it claims: a row for every shape, each through the entry point
// asked for, with an outcome told by exit status (a table that stops after its heading, or rows
// whose outcome depends on a message's wording, measure nothing).
#include "tests/tools/QuarnRun.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

// A sanitizer build reserves far more address space than any bound on virtual memory allows.
#if defined(__SANITIZE_ADDRESS__)
const std::string kMemory = " --memory unlimited";
#else
const std::string kMemory;
#endif

TEST(BenchHostile, EveryShapeGetsARowWithItsOutcome) {
    if (::access("/usr/bin/time", X_OK) != 0) GTEST_SKIP() << "GNU time is not installed";
    const quarntest::Result r =
        quarntest::shell(quarntest::quote(std::string(QUARN_SOURCE_DIR) + "/bench/hostile") + " " +
                         quarntest::quote(QUARN_BINARY_DIR) + " --entry tree --timeout 10" + kMemory);
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    std::vector<std::vector<std::string>> rows;
    while (std::getline(lines, line)) {
        if (line.rfind("| ", 0) != 0 || line.rfind("| document", 0) == 0) continue;
        std::vector<std::string> cells;
        std::istringstream fields(line.substr(2));
        std::string cell;
        while (std::getline(fields, cell, '|')) {
            const std::size_t first = cell.find_first_not_of(' '), last = cell.find_last_not_of(' ');
            cells.push_back(first == std::string::npos ? std::string() : cell.substr(first, last - first + 1));
        }
        rows.push_back(cells);
    }
    // Eighteen hostile shapes and two ordinary documents.
    ASSERT_EQ(rows.size(), 20u) << r.out;
    auto outcome = [&](const std::string& shape, const std::string& entry) {
        for (const auto& row : rows)
            if (row.size() >= 4 && row[0] == shape && row[2] == entry) return row[3];
        return std::string("no row");
    };
    EXPECT_EQ(outcome("laughs in content", "tree"), "refused");
    EXPECT_EQ(outcome("deep entities", "tree"), "refused");
    EXPECT_EQ(outcome("deep elements", "tree"), "accepted");
    EXPECT_EQ(outcome("&nbsp; references, 750 KB", "tree"), "accepted");
    for (const auto& row : rows) {
        ASSERT_EQ(row.size(), 7u) << row[0];
        EXPECT_TRUE(row[3] == "accepted" || row[3] == "refused" || row[3].rfind("out of time", 0) == 0)
            << row[0] << " " << row[2] << ": " << row[3];
    }
}
