// QuarnOptions: the command line of one quarn subcommand, parsed and checked (SubcommandTable
// parses it). A value type. Malformed command lines raise QuarnOptions::UsageError with a
// message for the user.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

class QuarnOptions {
public:
    struct UsageError : std::runtime_error {
        using std::runtime_error::runtime_error;
    };
    // An option the subcommand does not take; the command adds the closest one it does take.
    struct UnknownOption : UsageError {
        UnknownOption(const std::string& opt, const std::string& subcommand, const std::string& suggestion = "")
            : UsageError("unknown option '" + opt + "' for quarn " + subcommand + suggestion), option(opt) {}
        std::string option;
    };
    // One edit of write's command line, applied in the order given. Subnode, Insert and Append
    // add a node of `nodeType` (elem, attr, text) named `name` with `value` under, before or
    // after each node PATH selects; Rename gives them the name `value`; Update sets them to
    // `value`, or to what `expression` yields with the node as its context.
    struct Edit {
        enum Kind { Set, Delete, Subnode, Insert, Append, Rename, Update } kind;
        std::string path;
        std::string value;
        std::string nodeType;
        std::string name;
        std::string expression;
        bool valueGiven = false;
        Edit(Kind k, std::string p, std::string v) : kind(k), path(std::move(p)), value(std::move(v)) {}
    };
    // Raises UsageError for an edit that lacks what it needs (-t and -n, -v, or -v or -x).
    void checkEdits() const;

    // Where PATH=VALUE splits: the first '=' outside predicates and quoted literals; npos if none.
    static std::size_t pathValueSeparator(const std::string& text);
    // `text` without the blanks (space, tab, CR, LF) at either end.
    static std::string trimmed(const std::string& text);
    // The option named in `helpText` closest to `unknown` (by edit distance), or "" when none is
    // close enough to be a likely typing slip.
    static std::string closestOption(const std::string& unknown, const std::string& helpText);
    static std::size_t editDistance(const std::string& a, const std::string& b);
    // Whether -o names standard output ("-o -").
    bool outputIsStandardOutput() const { return output.empty() || output == "-"; }

    std::string subcommand;
    std::vector<std::string> positional;
    int ccsid = -1;             // -1: found from the message's bytes (mark, signature, declaration)
    int encoding = 546;
    bool encodingGiven = false; // --encoding, --byte-order or a ccsid name that says the byte order
    int outCcsid = -1;          // -1: the input's
    int outEncoding = -1;       // -1: the input's (only meaningful with a ccsid of -1 or given)
    bool outEncodingGiven = false;
    std::string domain = "XML";
    bool json = false;
    bool spanReuse = true;
    bool passthrough = true;
    bool declaration = true;    // add an XML declaration naming the output page where a reader needs one
    // Whether write, batch and split check the whole input before passing on bytes never scanned.
    enum Check { CheckWhenUnscanned, CheckAlways, CheckNever } check = CheckWhenUnscanned;
    bool help = false;
    bool first = false;         // select: stop at the first match
    std::vector<std::pair<std::string, std::string>> namespaces;   // select, get: -N PREFIX=URI
    bool verbose = false;       // errors: the whole message chain with numbers and inserts
    bool jsonErrors = false;    // errors: one JSON object each (--error-format json)
    std::string output;         // -o; empty or "-": standard output
    int indent = 2;             // format: spaces a level
    std::vector<Edit> edits;
    int traceLevel = -1;        // -1: leave as the environment set it
    std::string traceFile;
    int jobs = 0;               // batch threads; 0: one per core
    enum Progress { ProgressAuto, ProgressOn, ProgressOff } progress = ProgressAuto;
    bool recursive = false;              // batch: the folders below INDIR too
    std::vector<std::string> includes;   // batch: only files whose name matches one of these globs
    bool replace = false;       // split, batch: an output folder holding files may be replaced
    bool inPlace = false;       // batch: OUTDIR may be INDIR, each message replaced by its output
    bool syncEach = false;      // split, batch: sync every file as it is written, not once per run
};
