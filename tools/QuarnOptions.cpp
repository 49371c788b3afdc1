#include "tools/QuarnOptions.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {
int number(const std::string& option, const std::string& text) {
    errno = 0;
    char* end = nullptr;
    long n = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || n < INT_MIN || n > INT_MAX)
        throw QuarnOptions::UsageError(option + " needs a number, not '" + text + "'");
    return static_cast<int>(n);
}

bool takes(const std::string& sub, const char* const* list) {
    for (; *list; ++list)
        if (sub == *list) return true;
    return false;
}
} // namespace

std::size_t QuarnOptions::editDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string QuarnOptions::closestOption(const std::string& unknown, const std::string& helpText) {
    // The options a subcommand takes are the ones its help shows, so the two cannot drift apart.
    std::string name = unknown.substr(0, unknown.find('='));
    std::string best;
    std::size_t bestDistance = std::string::npos;
    for (std::size_t p = helpText.find('-'); p != std::string::npos; p = helpText.find('-', p + 1)) {
        if (p > 0 && helpText[p - 1] != ' ' && helpText[p - 1] != '[' && helpText[p - 1] != '|') continue;
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

QuarnOptions QuarnOptions::parse(const std::string& subcommand, const std::vector<std::string>& arguments) {
    static const char* const readers[] = {"tree", "check", "write", "get", "batch", "stats", nullptr};
    static const char* const writers[] = {"write", "batch", "stats", nullptr};
    QuarnOptions o;
    o.subcommand = subcommand;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        // "--name=value" is "--name value"; after "--" every argument is a file or path.
        std::string a = arguments[i];
        std::string attached;
        bool hasAttached = false;
        if (!optionsEnded && a.rfind("--", 0) == 0 && a.size() > 2) {
            std::size_t eq = a.find('=');
            if (eq != std::string::npos) {
                attached = a.substr(eq + 1);
                hasAttached = true;
                a.resize(eq);
            }
        }
        auto value = [&]() -> const std::string& {
            if (hasAttached) {
                hasAttached = false;
                return attached;
            }
            if (i + 1 >= arguments.size()) throw UsageError(a + " needs a value");
            return arguments[++i];
        };
        if (optionsEnded) {
            o.positional.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
        } else if (a == "-h" || a == "--help") {
            o.help = true;
        } else if (a == "--trace-level") {
            o.traceLevel = number(a, value());
        } else if (a == "--trace-file") {
            o.traceFile = value();
        } else if (a == "--ccsid" && takes(subcommand, readers)) {
            o.ccsid = number(a, value());
        } else if (a == "--encoding" && takes(subcommand, readers)) {
            o.encoding = number(a, value());
        } else if (a == "--domain" && takes(subcommand, readers)) {
            o.domain = value();
            if (o.domain != "XML" && o.domain != "JMSMap" && o.domain != "JMSStream")
                throw UsageError("--domain must be XML, JMSMap or JMSStream");
        } else if (a == "--json" && (subcommand == "tree" || subcommand == "check" || subcommand == "stats" ||
                                     subcommand == "batch")) {
            o.json = true;
        } else if (a == "--out-ccsid" && takes(subcommand, writers)) {
            o.outCcsid = number(a, value());
        } else if (a == "--out-encoding" && takes(subcommand, writers)) {
            o.outEncoding = number(a, value());
            o.outEncodingGiven = true;
        } else if (a == "--set" && takes(subcommand, writers)) {
            const std::string& v = value();
            std::size_t eq = v.find('=');
            if (eq == std::string::npos || eq == 0) throw UsageError("--set needs PATH=VALUE, not '" + v + "'");
            o.edits.push_back({Edit::Set, v.substr(0, eq), v.substr(eq + 1)});
        } else if (a == "--delete" && takes(subcommand, writers)) {
            o.edits.push_back({Edit::Delete, value(), std::string()});
        } else if (a == "--no-span-reuse" && takes(subcommand, writers)) {
            o.spanReuse = false;
        } else if (a == "--no-passthrough" && takes(subcommand, writers)) {
            o.passthrough = false;
        } else if (a == "-o" && (subcommand == "write" || subcommand == "stats")) {
            o.output = value();
        } else if (a == "--jobs" && subcommand == "batch") {
            o.jobs = number(a, value());
            if (o.jobs < 1) throw UsageError("--jobs needs a number of threads of 1 or more");
        } else if (a == "--progress" && subcommand == "batch") {
            o.progress = ProgressOn;
        } else if (a == "--no-progress" && subcommand == "batch") {
            o.progress = ProgressOff;
        } else if ((a == "--recursive" || a == "-r") && subcommand == "batch") {
            o.recursive = true;
        } else if (a == "--include" && subcommand == "batch") {
            o.includes.push_back(value());
        } else if (a.size() > 1 && a[0] == '-') {
            throw UnknownOption(a, subcommand);
        } else {
            o.positional.push_back(a);
        }
        if (hasAttached) throw UsageError(a + " takes no value");
    }
    if (o.help) return o;
    if (subcommand == "get" && o.positional.size() != 2) throw UsageError("quarn get needs FILE and PATH");
    if (subcommand == "batch" && o.positional.size() != 2) throw UsageError("quarn batch needs INDIR and OUTDIR");
    if (subcommand != "get" && subcommand != "batch" && o.positional.size() != 1)
        throw UsageError("quarn " + subcommand + " needs one FILE");
    return o;
}
