// QuarnCommand: the quarn command line tool. Loads the parser plug-in, reads messages, builds
// their trees lazily through parsers made by domain name, and prints, checks, edits, writes,
// batch-writes or measures them. Exit statuses: 0 success, 1 a bad document (the error with all
// its inserts and causes on standard error) or, for batch, any failed message, 2 usage error
// (bad option, unknown ccsid, unreadable file, unknown path), 3 a path that names nothing (get),
// 4 the parser plug-in cannot be loaded, 5 the output cannot be written (-o OUT, or standard
// output: every write and its close are checked). One object per run, on the main thread (batch
// starts and joins its own worker threads).
#pragma once

#include <string>
#include <vector>

class ParserPlugin;
class QuarnOptions;

class QuarnCommand {
public:
    enum Status { Ok = 0, BadDocument = 1, Usage = 2, NotFound = 3, NoPlugin = 4, OutputFailed = 5 };

    int run(const std::vector<std::string>& arguments);
    // Called first: a standard descriptor the caller closed (`quarn ... >&-`) is held by one that
    // refuses what it is not for, so that no file the run opens takes its number and receives
    // what is printed there, and reading or writing it still fails as on a closed one.
    static void holdClosedStandardDescriptors();
    // Called first too: a write to a pipe whose reader has gone (`quarn ... | head -c1`) fails
    // with EPIPE instead of ending the process by SIGPIPE, so the run says what it could not
    // write and exits with OutputFailed.
    static void failWritesToClosedPipes();
    // Flushes and closes standard output at the end of a run: a failure there (a full disk, a
    // closed descriptor or pipe) turns a successful status, a bad document's and one of nothing
    // found into OutputFailed, for what was asked for never arrived.
    static int finish(int status);
    // Sends the trace to `path` (nothing to do when empty); false, said on standard error, when
    // it cannot be opened: a run asked to trace into a file does not trace elsewhere instead.
    static bool openTraceFile(const std::string& path);
    // True, said on standard error, when the trace file `path` is one of the files the run reads:
    // the trace is appended to its file, so it would be written into the message (or flow file).
    static bool traceFileIsAnInput(const std::string& path, const std::vector<std::string>& inputs);

    // The handlers of SubcommandTable's subcommands, with their options parsed.
    static int tree(const QuarnOptions& options, const ParserPlugin& plugin);
    static int check(const QuarnOptions& options, const ParserPlugin& plugin);
    static int write(const QuarnOptions& options, const ParserPlugin& plugin);
    static int batch(const QuarnOptions& options, const ParserPlugin& plugin);
    static int stats(const QuarnOptions& options, const ParserPlugin& plugin);
    static int split(const QuarnOptions& options, const ParserPlugin& plugin);

private:
    static int checkMessage(const QuarnOptions& options, const ParserPlugin& plugin);
    static void printUsage(const std::string& subcommand);
};
