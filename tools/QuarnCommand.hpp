// QuarnCommand: the quarn command line tool. Reads a message, builds its tree lazily through the
// XML parser, and prints, checks, edits or writes it back. Exit statuses: 0 success, 1 the
// document is bad (the error with all its inserts and causes on standard error), 2 usage error
// (bad option, unknown ccsid, unreadable file, unknown path), 3 a path that names nothing (get).
// One object per run; not shared between threads.
#pragma once

#include <string>
#include <vector>

class QuarnOptions;

class QuarnCommand {
public:
    enum Status { Ok = 0, BadDocument = 1, Usage = 2, NotFound = 3 };

    int run(const std::vector<std::string>& arguments);

private:
    int tree(const QuarnOptions& options);
    int check(const QuarnOptions& options);
    int write(const QuarnOptions& options);
    int get(const QuarnOptions& options);
    static void printUsage(const std::string& subcommand);
};
