// BatchRunner: `quarn batch`: writes every message of a folder into another folder with the
// options of `quarn write`, on a number of threads, one parser (in its own message group) per
// message. A message that fails is reported and leaves no output file; the others go on.
// OUTDIR holds exactly what the run wrote (OutputFolder); INDIR itself only with --in-place.
// Files reach their names as OutputStaging says: one sync per thousand files unless --sync-each;
// staged whole (folders below too), into a new or empty OUTDIR or one whose tree is swapped for
// the earlier (--replace, --in-place); replacing files, none takes its name before the run is
// through, so an interrupt leaves them as they were.
// Progress goes to standard error as a bar; the summary to standard output.
// One object per run; run() starts and joins the worker threads itself.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

class QuarnOptions;

class BatchRunner {
public:
    struct Failure {
        std::string file;      // name within the input folder
        std::string message;   // what went wrong, with its causes
        // The message as the text summary shows it, each of its lines escaped on its own (see
        // TreePrinter::printable); empty where that is the message printable as one line.
        std::string text;
        // Where in the message the parser found the fault; -1 when it was not the parser's
        // (an unreadable file, an output that could not be written).
        long line = -1;
        long column = -1;
        long offset = -1;
    };
    // An entry of INDIR that --include takes but that is no regular file (a FIFO, a socket, a
    // device): never read, for a FIFO would block the run, but counted in the summary.
    struct Skipped {
        std::string file;   // name within the input folder
        const char* kind;   // "a FIFO", "a socket", ...
    };
    struct Summary {
        unsigned long messages = 0;
        unsigned long written = 0;
        unsigned long long bytesIn = 0;
        unsigned long long bytesOut = 0;
        unsigned long removed = 0;       // files of an earlier run removed (--replace)
        unsigned long leftovers = 0;     // hidden folders and temporary files of killed runs removed
        double seconds = 0;
        std::vector<Failure> failures;   // in file name order
        std::vector<Skipped> skipped;    // in file name order
    };

    BatchRunner(const QuarnOptions& options, bool showProgress, std::FILE* progress)
        : iOptions(options), iShowProgress(showProgress), iProgress(progress) {}

    // Processes the regular files of the input folder (names not starting with '.'; with
    // --recursive those of the folders below too, into the same folders below the output; with
    // --include only the names that match), in name order of assignment. An entry that may be a
    // message (or, recursive, a folder) but cannot be followed (a link to nothing, a loop of
    // links) or reached (a path beyond PATH_MAX) is a failed message; one that is no regular file
    // (a FIFO, a socket, a device) is not read and is counted in Summary::skipped.
    // Throws std::runtime_error when a folder cannot be read or made.
    Summary run(const std::string& inputFolder, const std::string& outputFolder);

    // The number of threads to use when none is given.
    static unsigned defaultJobs();
    // With `verbose`, each skipped entry on a line of its own.
    static void printSummary(std::FILE* out, const Summary& summary, bool verbose = false);
    static void printJsonSummary(std::FILE* out, const Summary& summary);

private:
    void showProgress(unsigned long done, unsigned long total, unsigned long failed, bool last);

    const QuarnOptions& iOptions;
    bool iShowProgress;
    std::FILE* iProgress;
    std::chrono::steady_clock::time_point iStart;
    std::chrono::steady_clock::time_point iLastDrawn;
};
