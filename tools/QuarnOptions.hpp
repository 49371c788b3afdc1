// QuarnOptions: the command line of one quarn subcommand, parsed and checked (SubcommandTable
// parses it); what the message itself needs is its MessageOptions part. A value type. Malformed
// command lines raise QuarnOptions::UsageError with a message for the user.
#pragma once

#include "cli/MessageOptions.hpp"
#include "cli/UnknownOption.hpp"
#include "cli/UsageError.hpp"

#include <string>
#include <vector>

class QuarnOptions : public MessageOptions {
public:
    using UsageError = ::UsageError;
    using UnknownOption = ::UnknownOption;
    // Raises UsageError for an edit that lacks what it needs (-t and -n, -v, or -v or -x).
    void checkEdits() const;

    // The option named in `helpText` closest to `unknown` (by edit distance), or "" when none is
    // close enough to be a likely typing slip.
    static std::string closestOption(const std::string& unknown, const std::string& helpText);
    static std::size_t editDistance(const std::string& a, const std::string& b);
    // Whether -o names standard output ("-o -").
    bool outputIsStandardOutput() const { return output.empty() || output == "-"; }

    std::string subcommand;
    std::vector<std::string> positional;
    bool json = false;
    bool help = false;
    bool first = false;         // select: stop at the first match
    std::vector<std::pair<std::string, std::string>> namespaces;   // select, get: -N PREFIX=URI
    bool verbose = false;       // errors: the whole message chain with numbers and inserts
    bool jsonErrors = false;    // errors: one JSON object each (--error-format json)
    std::string output;         // -o; empty or "-": standard output
    int indent = 2;             // format: spaces a level
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
