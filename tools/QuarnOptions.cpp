#include "tools/QuarnOptions.hpp"

#include <algorithm>
#include <cctype>

std::size_t QuarnOptions::editDistance(const std::string& a, const std::string& b) {
    // Insertions, deletions, substitutions and swaps of neighbours each count one: a swapped
    // pair of letters is the commonest slip.
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

std::string QuarnOptions::closestOption(const std::string& unknown, const std::string& helpText) {
    // The candidates are the words of `helpText` that start with a dash.
    std::string name = unknown.substr(0, unknown.find('='));
    std::string best;
    std::size_t bestDistance = std::string::npos;
    for (std::size_t p = helpText.find('-'); p != std::string::npos; p = helpText.find('-', p + 1)) {
        if (p > 0 && !std::isspace(static_cast<unsigned char>(helpText[p - 1])) && helpText[p - 1] != '[' &&
            helpText[p - 1] != '|')
            continue;
        std::size_t end = p + 1;
        while (end < helpText.size() && (std::isalnum(static_cast<unsigned char>(helpText[end])) || helpText[end] == '-'))
            ++end;
        std::string candidate = helpText.substr(p, end - p);
        if (candidate.size() < 2 || !std::isalpha(static_cast<unsigned char>(candidate.back()))) continue;
        std::size_t d = editDistance(name, candidate);
        if (d < bestDistance) {
            bestDistance = d;
            best = candidate;
        }
    }
    // A guess further off than a third of the name helps nobody.
    if (best.empty() || bestDistance == 0 || bestDistance > std::max<std::size_t>(2, name.size() / 3)) return {};
    return best;
}

void QuarnOptions::checkEdits() const {
    for (const Edit& e : edits) {
        const bool adds = e.kind == Edit::Subnode || e.kind == Edit::Insert || e.kind == Edit::Append;
        if (adds && (e.nodeType.empty() || (e.name.empty() && e.nodeType != "text")))
            throw UsageError("adding a node under, before or after " + e.path + " needs -t elem|attr|text and -n NAME");
        if (e.kind == Edit::Rename && !e.valueGiven) throw UsageError("-r " + e.path + " needs -v NAME");
        if (e.kind == Edit::Update && !e.valueGiven && e.expression.empty())
            throw UsageError("-u " + e.path + " needs -v VALUE or -x EXPR");
    }
}
