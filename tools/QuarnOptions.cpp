#include "tools/QuarnOptions.hpp"

#include "host/KelEncodingDetector.hpp"

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

// A ccsid as a number or a code-page name; a name may also say the byte order ("utf-16le").
int ccsidOption(const std::string& option, const std::string& text, int& encoding, bool& encodingGiven) {
    int ccsid = KelEncodingDetector::ccsidForName(text);
    if (ccsid < 0) throw QuarnOptions::UsageError("unknown or unsupported ccsid '" + text + "' (" + option + ")");
    if (int e = KelEncodingDetector::encodingForName(text)) {
        encoding = e;
        encodingGiven = true;
    }
    return ccsid;
}

int byteOrder(const std::string& option, const std::string& text) {
    int e = KelEncodingDetector::encodingForName(text);
    if (e == 0) throw QuarnOptions::UsageError(option + " must be be or le, not '" + text + "'");
    return e;
}

// The byte-order field of an encoding value must say big-endian (1) or little-endian (2).
int encodingOption(const std::string& option, const std::string& text) {
    int e = number(option, text);
    if ((e & 0x0F) != 1 && (e & 0x0F) != 2)
        throw QuarnOptions::UsageError(option + " " + text + ": the low four bits give the byte order and must be 1 "
                                       "(big-endian, e.g. 273) or 2 (little-endian, e.g. 546)");
    return e;
}

bool takes(const std::string& sub, const char* const* list) {
    for (; *list; ++list)
        if (sub == *list) return true;
    return false;
}
// The arguments a subcommand takes, `expected` as its usage names them ("FILE PATH"): a count that
// differs says what was given and what was meant (one FILE at a time, say).
void checkArguments(const std::string& subcommand, const std::string& expected,
                    const std::vector<std::string>& given) {
    std::size_t wanted = 1;
    for (char c : expected) wanted += c == ' ';
    if (given.size() == wanted) return;
    std::string got;
    for (const std::string& g : given) got += (got.empty() ? "'" : ", '") + g + "'";
    std::string message = "quarn " + subcommand + " takes " + expected +
                          (given.empty() ? std::string("; none was given")
                                         : ", not " + std::to_string(given.size()) + " argument" +
                                               (given.size() == 1 ? "" : "s") + " (" + got + ")");
    if (given.size() > wanted && expected.rfind("FILE", 0) == 0) message += ": one FILE at a time (batch takes a folder)";
    throw QuarnOptions::UsageError(message);
}
} // namespace

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
    // The options a subcommand takes are the ones its help shows, so the two cannot drift apart.
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

std::string QuarnOptions::trimmed(const std::string& text) {
    const char* space = " \t\r\n";
    const std::size_t b = text.find_first_not_of(space);
    if (b == std::string::npos) return std::string();
    return text.substr(b, text.find_last_not_of(space) - b + 1);
}

std::size_t QuarnOptions::pathValueSeparator(const std::string& text) {
    int depth = 0;
    char quote = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '[') {
            ++depth;
        } else if (c == ']') {
            --depth;
        } else if (c == '=' && depth == 0) {
            return i;
        }
    }
    return std::string::npos;
}

QuarnOptions QuarnOptions::parse(const std::string& subcommand, const std::vector<std::string>& arguments) {
    static const char* const readers[] = {"tree", "check", "write", "get", "select", "batch", "stats", "split", nullptr};
    static const char* const writers[] = {"write", "batch", "stats", "split", nullptr};
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
            o.ccsid = ccsidOption(a, value(), o.encoding, o.encodingGiven);
        } else if (a == "--encoding" && takes(subcommand, readers)) {
            o.encoding = encodingOption(a, value());
            o.encodingGiven = true;
        } else if (a == "--byte-order" && takes(subcommand, readers)) {
            o.encoding = byteOrder(a, value());
            o.encodingGiven = true;
        } else if (a == "--domain" && takes(subcommand, readers)) {
            o.domain = value();
            if (o.domain != "XML" && o.domain != "JMSMap" && o.domain != "JMSStream")
                throw UsageError("--domain must be XML, JMSMap or JMSStream");
        } else if (a == "--json" && (subcommand == "tree" || subcommand == "check" || subcommand == "stats" ||
                                     subcommand == "batch" || subcommand == "split")) {
            o.json = true;
        } else if (a == "--out-ccsid" && takes(subcommand, writers)) {
            o.outCcsid = ccsidOption(a, value(), o.outEncoding, o.outEncodingGiven);
        } else if (a == "--out-encoding" && takes(subcommand, writers)) {
            o.outEncoding = encodingOption(a, value());
            o.outEncodingGiven = true;
        } else if (a == "--out-byte-order" && takes(subcommand, writers)) {
            o.outEncoding = byteOrder(a, value());
            o.outEncodingGiven = true;
        } else if (a == "--set" && takes(subcommand, writers)) {
            const std::string& v = value();
            // The '=' that ends the path is the first one outside predicates and quotes.
            const std::size_t eq = pathValueSeparator(v);
            if (eq == std::string::npos || eq == 0) throw UsageError("--set needs PATH=VALUE, not '" + v + "'");
            o.edits.push_back({Edit::Set, v.substr(0, eq), v.substr(eq + 1)});
        } else if (a == "--delete" && takes(subcommand, writers)) {
            o.edits.push_back({Edit::Delete, value(), std::string()});
        } else if (a == "--no-span-reuse" && takes(subcommand, writers)) {
            o.spanReuse = false;
        } else if (a == "--no-passthrough" && takes(subcommand, writers)) {
            o.passthrough = false;
        } else if (a == "--no-declaration" && takes(subcommand, writers)) {
            o.declaration = false;
        } else if (a == "--check" && takes(subcommand, writers)) {
            o.check = CheckAlways;
        } else if (a == "--no-check" && takes(subcommand, writers)) {
            o.check = CheckNever;
        } else if (a == "-o" && (subcommand == "write" || subcommand == "stats")) {
            o.output = value();
        } else if (a == "--jobs" && subcommand == "batch") {
            o.jobs = number(a, value());
            if (o.jobs < 1) throw UsageError("--jobs needs a number of threads of 1 or more");
        } else if (a == "--progress" && (subcommand == "batch" || subcommand == "split")) {
            o.progress = ProgressOn;
        } else if (a == "--no-progress" && (subcommand == "batch" || subcommand == "split")) {
            o.progress = ProgressOff;
        } else if ((a == "--recursive" || a == "-r") && subcommand == "batch") {
            o.recursive = true;
        } else if (a == "--include" && subcommand == "batch") {
            o.includes.push_back(value());
        } else if (a == "--replace" && (subcommand == "batch" || subcommand == "split")) {
            o.replace = true;
        } else if (a == "--in-place" && subcommand == "batch") {
            o.inPlace = true;
        } else if (a == "--sync-each" && (subcommand == "batch" || subcommand == "split")) {
            o.syncEach = true;
        } else if (a == "--verbose" || a == "-v") {
            o.verbose = true;
        } else if (a == "--error-format") {
            const std::string& f = value();
            if (f != "text" && f != "json") throw UsageError("--error-format must be text or json, not '" + f + "'");
            o.jsonErrors = f == "json";
        } else if (a == "--first" && subcommand == "select") {
            o.first = true;
        } else if ((a == "-N" || a == "--namespace") && (subcommand == "select" || subcommand == "get")) {
            const std::string& binding = value();
            const std::size_t eq = binding.find('=');
            if (eq == 0 || eq == std::string::npos || eq + 1 == binding.size() || binding.find(':') < eq)
                throw UsageError(a + " takes PREFIX=URI, not '" + binding + "'");
            o.namespaces.emplace_back(binding.substr(0, eq), binding.substr(eq + 1));
        } else if (a.size() > 1 && a[0] == '-') {
            throw UnknownOption(a, subcommand);
        } else {
            o.positional.push_back(a);
        }
        if (hasAttached) throw UsageError(a + " takes no value");
    }
    if (o.help) return o;
    const char* expected = subcommand == "get"      ? "FILE PATH"
                           : subcommand == "select" ? "FILE EXPR"
                           : subcommand == "batch"  ? "INDIR OUTDIR"
                           : subcommand == "split"  ? "FILE PATH OUTDIR"
                                                    : "FILE";
    checkArguments(subcommand, expected, o.positional);
    return o;
}
