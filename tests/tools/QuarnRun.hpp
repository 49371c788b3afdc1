// Runs the quarn command built with the tests as a user runs it, and small file helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <dirent.h>
#include <set>
#include <cstdlib>
#include <csignal>
#include <ctime>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <vector>
#include <unistd.h>

namespace quarntest {

// How much slower the sanitizer build runs a command: time limits of tests scale by it.
// Memory figures mean little there: the sanitizer holds freed blocks back from reuse.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kSanitizerSlowdown = 4;
constexpr bool kSanitized = true;
#else
constexpr int kSanitizerSlowdown = 1;
constexpr bool kSanitized = false;
#endif
struct Result {
    int status;
    std::string out;
    std::string err;
};

// A folder of this test process's own, new at its first use and removed when the process ends.
// A name made of the process id alone may be left over from an earlier run that had the same id
// (the system gives ids out again), and a command that refuses to write over an earlier run's
// output then fails a test that did nothing wrong.
inline const std::string& processTempFolder() {
    struct Folder {
        std::string path;
        pid_t owner = ::getpid();
        Folder() {
            std::string pattern = ::testing::TempDir() + "quarn-tools-XXXXXX";
            if (::mkdtemp(&pattern[0]) == nullptr) {
                ADD_FAILURE() << "cannot make a temporary folder from " << pattern;
                pattern = ::testing::TempDir() + "quarn-tools-" + std::to_string(owner);
            }
            path = pattern + "/";
        }
        ~Folder() {
            // A forked child that ends without _exit must not take its parent's files.
            if (::getpid() != owner) return;
            const std::string command = "rm -rf '" + path + "'";
            if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", path.c_str());
        }
    };
    static Folder folder;
    return folder.path;
}

inline std::string tempPath(const std::string& name) { return processTempFolder() + name; }

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void spit(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

inline std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs a shell command line with optional standard input; `prefix` goes before it (variables).
inline Result shell(const std::string& commandLine, const std::string& input = std::string()) {
    std::string out = tempPath("stdout"), err = tempPath("stderr"), in = tempPath("stdin");
    spit(in, input);
    std::string command = "(" + commandLine + ") <" + in + " >" + out + " 2>" + err;
    int raw = std::system(command.c_str());
    Result r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
    std::remove(out.c_str());
    std::remove(err.c_str());
    std::remove(in.c_str());
    return r;
}

// Runs quarn with the arguments (quoted by the caller) and optional standard input.
inline Result quarn(const std::string& args, const std::string& input = std::string()) {
    return shell(std::string(QUARN_TOOL) + " " + args, input);
}

// The names in `folder`, without "." and "..".
inline std::set<std::string> filesIn(const std::string& folder) {
    std::set<std::string> names;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(d)) names.insert(e->d_name);
        ::closedir(d);
    }
    names.erase(".");
    names.erase("..");
    return names;
}

// Runs quarn with `args` (one argument each, no shell), standard output thrown away, and returns
// its peak resident set in KB (-1 when it could not run or failed).
inline long quarnPeakKb(const std::vector<std::string>& args) {
    const pid_t child = ::fork();
    if (child == 0) {
        std::vector<char*> argv{const_cast<char*>(QUARN_TOOL)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (std::freopen("/dev/null", "w", stdout) == nullptr) ::_exit(127);
        ::execv(QUARN_TOOL, argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child) return -1;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? usage.ru_maxrss : -1;
}

// Runs quarn with `args` (one argument each, no shell, its output thrown away) and sends it
// `signal` as soon as one of the paths `watched(its pid)` names exists. Returns the wait status;
// `caught` tells whether the signal came before the run ended by itself; `pid`, when given, gets
// the run's process number.
inline int quarnInterruptedWhen(const std::vector<std::string>& args,
                                const std::function<std::vector<std::string>(pid_t)>& watched, bool& caught,
                                int signal = SIGTERM, pid_t* pid = nullptr) {
    caught = false;
    const pid_t child = ::fork();
    if (child == 0) {
        std::vector<char*> argv{const_cast<char*>(QUARN_TOOL)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (std::freopen("/dev/null", "w", stdout) == nullptr || std::freopen("/dev/null", "w", stderr) == nullptr)
            ::_exit(127);
        ::execv(QUARN_TOOL, argv.data());
        ::_exit(127);
    }
    if (child < 0) return -1;
    if (pid != nullptr) *pid = child;
    const std::vector<std::string> paths = watched(child);
    int status = 0;
    const std::time_t giveUp = std::time(nullptr) + 300;
    for (;;) {
        const pid_t ended = ::waitpid(child, &status, WNOHANG);
        if (ended == child) return status;
        bool seen = false;
        for (const std::string& path : paths) seen = seen || ::access(path.c_str(), F_OK) == 0;
        if (seen || std::time(nullptr) > giveUp) {
            ::kill(child, seen ? signal : SIGKILL);
            ::waitpid(child, &status, 0);
            caught = seen;
            return status;
        }
        ::usleep(200);
    }
}

const std::string kExamples = std::string(QUARN_SOURCE_DIR) + "/examples";
} // namespace quarntest
