// What the quarn command does to the files around it: an output replaces only a regular file
// (keeping its mode), is written into a device or FIFO as it is and follows a link; temporary
// files (and a run's hidden folder) go on an interrupt and batch never takes them for messages; an input that shrinks while
// mapped is a clear error, not a crash; output failures, standard output's included, exit 5.
#include "tests/tools/QuarnRun.hpp"
#include "tests/support/LibxmlCanonicalReader.hpp"
#include "cli/InputFile.hpp"
#include "cli/TemporaryFiles.hpp"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <thread>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace quarntest;

const std::string kExample = std::string(QUARN_SOURCE_DIR) + "/examples/purchase-order.xml";

struct stat statOf(const std::string& path, bool follow = true) {
    struct stat st {};
    EXPECT_EQ(follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st), 0) << path;
    return st;
}

std::string freshFolder(const std::string& name) {
    std::string folder = tempPath(name);
    shell("rm -rf " + quote(folder) + " && mkdir -p " + quote(folder));
    return folder;
}

TEST(SafeFiles, OutputReplacesOnlyARegularFileAndKeepsItsMode) {
    const std::string folder = freshFolder("out");
    const std::string expected = slurp(kExample);
    // A private file stays private, a new file gets the usual mode.
    const std::string secret = folder + "/secret.xml";
    spit(secret, "old");
    ::chmod(secret.c_str(), 0600);
    ASSERT_EQ(quarn("write " + quote(kExample) + " -o " + quote(secret)).status, 0);
    EXPECT_EQ(statOf(secret).st_mode & 07777, 0600u);
    EXPECT_EQ(slurp(secret), expected);
    const std::string fresh = folder + "/fresh.xml";
    ASSERT_EQ(shell("umask 027 && " + std::string(QUARN_TOOL) + " write " + quote(kExample) + " -o " + quote(fresh)).status, 0);
    EXPECT_EQ(statOf(fresh).st_mode & 07777, 0640u);

    // A link is followed: it stays a link and the file it names gets the output.
    const std::string link = folder + "/link.xml";
    ASSERT_EQ(::symlink("secret.xml", link.c_str()), 0);
    spit(secret, "old");
    ASSERT_EQ(quarn("write " + quote(kExample) + " -o " + quote(link)).status, 0);
    EXPECT_TRUE(S_ISLNK(statOf(link, false).st_mode));
    EXPECT_EQ(slurp(secret), expected);
    EXPECT_EQ(statOf(secret).st_mode & 07777, 0600u);

    // A loop of links names no file: it is an output that cannot be written, as for any program
    // that opens it, and the links stay (one of them used to be replaced by the output, status 0).
    const std::string loop = folder + "/loop.xml", back = folder + "/back.xml";
    ASSERT_EQ(::symlink("back.xml", loop.c_str()), 0);
    ASSERT_EQ(::symlink("loop.xml", back.c_str()), 0);
    for (const char* subcommand : {"write", "c14n", "format"}) {
        const Result looped = quarn(std::string(subcommand) + " " + quote(kExample) + " -o " + quote(loop));
        EXPECT_EQ(looped.status, 5) << subcommand;
        EXPECT_EQ(looped.err, "quarn: cannot write " + loop + ": Too many levels of symbolic links\n") << subcommand;
        EXPECT_TRUE(S_ISLNK(statOf(loop, false).st_mode) && S_ISLNK(statOf(back, false).st_mode)) << subcommand;
    }
    ::unlink(loop.c_str());
    ::unlink(back.c_str());

    // A FIFO is written into, not replaced by a file.
    const std::string fifo = folder + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Result r = shell("cat " + quote(fifo) + " > " + quote(folder + "/drained") + " & " + std::string(QUARN_TOOL) +
                     " write " + quote(kExample) + " -o " + quote(fifo) + "; status=$?; wait; exit $status");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(S_ISFIFO(statOf(fifo, false).st_mode));
    EXPECT_EQ(slurp(folder + "/drained"), expected);
    // So is a character device.
    EXPECT_EQ(quarn("write " + quote(kExample) + " -o /dev/null").status, 0);
    EXPECT_TRUE(S_ISCHR(statOf("/dev/null", false).st_mode));

    // Nothing else is left in the folder.
    Result listing = shell("ls -A " + quote(folder));
    EXPECT_EQ(listing.out, "drained\nfifo\nfresh.xml\nlink.xml\nsecret.xml\n");
    shell("rm -rf " + quote(folder));
}

TEST(SafeFiles, OutputFailuresHaveAStatusOfTheirOwn) {
    Result tree = shell(std::string(QUARN_TOOL) + " tree --json " + quote(kExample) + " > /dev/full");
    EXPECT_EQ(tree.status, 5);
    EXPECT_NE(tree.err.find("cannot write to standard output"), std::string::npos) << tree.err;
    Result write = shell(std::string(QUARN_TOOL) + " write " + quote(kExample) + " > /dev/full");
    EXPECT_EQ(write.status, 5);
    Result get = shell(std::string(QUARN_TOOL) + " get " + quote(kExample) + " order/@id > /dev/full");
    EXPECT_EQ(get.status, 5);
    Result closed = shell(std::string(QUARN_TOOL) + " check " + quote(kExample) + " >&-");
    EXPECT_EQ(closed.status, 5);
    // A closed standard output that the run prints nothing on is no failure, and the output file
    // (which used to take its descriptor number) gets the message alone; a closed standard input
    // is still unreadable, not empty.
    const std::string folder = freshFolder("closed");
    for (const char* subcommand : {"write", "c14n", "format"}) {
        const std::string out = folder + "/" + subcommand + ".xml";
        Result toFile = shell(std::string(QUARN_TOOL) + " " + subcommand + " " + quote(kExample) + " -o " + quote(out) +
                              " --trace-level 4 >&- 2>&-");
        EXPECT_EQ(toFile.status, 0) << subcommand;
        Result expected = quarn(std::string(subcommand) + " " + quote(kExample));
        EXPECT_EQ(slurp(out), expected.out) << subcommand;
        const LibxmlReading read = LibxmlCanonicalReader::read(slurp(out));
        EXPECT_TRUE(read.ok) << subcommand << read.error;
        EXPECT_EQ(read.canonical, LibxmlCanonicalReader::read(expected.out).canonical) << subcommand;
    }
    Result noInput = shell(std::string(QUARN_TOOL) + " check - <&-");
    EXPECT_EQ(noInput.status, 2);
    EXPECT_NE(noInput.err.find("cannot read -"), std::string::npos) << noInput.err;
    shell("rm -rf " + quote(folder));
    Result nowhere = quarn("write " + quote(kExample) + " -o /nonexistent-folder/out.xml");
    EXPECT_EQ(nowhere.status, 5);
    EXPECT_NE(nowhere.err.find("cannot write /nonexistent-folder/out.xml"), std::string::npos) << nowhere.err;
    // A bad document keeps its own status.
    EXPECT_EQ(quarn("check -", "<a>").status, 1);
}

// What was asked for on standard output and lost there (a full disk, a closed descriptor, a
// reader gone from the pipe) exits 5 with the reason, whatever the run found in the message: a
// batch's list of failed messages or check's verdict that no one saw used to exit 1, and a
// large output into `| head -c1` ended the process by SIGPIPE without a word.
TEST(SafeFiles, AnOutputLostOnStandardOutputOutranksTheVerdict) {
    const std::string folder = freshFolder("lost-output");
    const std::string in = folder + "/in";
    const std::string big = folder + "/big.xml";
    std::string records = "<r>";
    for (int i = 0; i < 20000; ++i) records += "<i n=\"" + std::to_string(i) + "\">v</i>";
    spit(big, records + "</r>");
    ASSERT_EQ(::mkdir(in.c_str(), 0700), 0);
    spit(in + "/good.xml", "<g/>");
    spit(in + "/bad.xml", "<b><c></b>");
    const std::string q = std::string(QUARN_TOOL) + " ";
    const std::string toHead = "; echo status=$? >&2 ) | head -c1 > /dev/null";
    struct Row {
        std::string command;
        int status;
        const char* reason;   // on standard error; empty: nothing said about standard output
    } rows[] = {
        {q + "batch " + quote(in) + " " + quote(folder + "/o1") + " --no-progress > /dev/full", 5, "No space left"},
        {q + "batch " + quote(in) + " " + quote(folder + "/o2") + " --no-progress --json >&-", 5, "Bad file descriptor"},
        {q + "check --json " + quote(in + "/bad.xml") + " > /dev/full", 5, "cannot write to standard output"},
        {"( " + q + "tree " + quote(big) + toHead, 5, "Broken pipe"},
        {"( " + q + "write " + quote(big) + toHead, 5, "Broken pipe"},
        {"( " + q + "select " + quote(big) + " //i" + toHead, 5, "cannot write to standard output"},
        {"( " + q + "format " + quote(big) + toHead, 5, "Broken pipe"},
        // Nothing asked for went there: the run's own status stands.
        {q + "check " + quote(in + "/bad.xml") + " > /dev/full", 1, ""},
        {q + "get " + quote(big) + " r/none > /dev/full", 3, ""},
    };
    for (const Row& row : rows) {
        Result r = shell(row.command);
        int status = r.status;
        const std::size_t at = r.err.rfind("status=");
        if (at != std::string::npos) status = std::stoi(r.err.substr(at + 7));
        EXPECT_EQ(status, row.status) << row.command << "\n" << r.err;
        if (*row.reason) EXPECT_NE(r.err.find(row.reason), std::string::npos) << row.command << "\n" << r.err;
        else EXPECT_EQ(r.err.find("standard output"), std::string::npos) << row.command << "\n" << r.err;
    }
    // The batch's outputs are written all the same: only the summary was lost.
    EXPECT_EQ(slurp(folder + "/o1/good.xml"), "<g/>");
    EXPECT_NE(::access((folder + "/o1/bad.xml").c_str(), F_OK), 0);
    // A progress bar into a pipe whose reader has gone used to end the run by SIGPIPE at its first
    // line, before any output took its name; now the run goes on and every output is written.
    Result progress = shell("( sleep 1; " + q + "batch " + quote(in) + " " + quote(folder + "/o4") +
                            " --progress 2>&1; echo status=$? > " + quote(folder + "/status") + " ) | true");
    EXPECT_EQ(slurp(folder + "/status"), "status=5\n") << progress.err;
    EXPECT_EQ(slurp(folder + "/o4/good.xml"), "<g/>");
    shell("rm -rf " + quote(folder));
}

TEST(SafeFiles, TemporaryFilesGoOnAnInterruptAndBatchNeverReadsThem) {
    const std::string folder = freshFolder("interrupt");
    for (int signal : {SIGINT, SIGTERM}) {
        const std::string temp = folder + "/" + TemporaryFiles::kMarker + "out.xml-1-" + std::to_string(signal);
        // A run staged whole: its hidden folder goes with every file in it (more than one
        // listing's worth of names).
        const std::string staged = folder + "/" + TemporaryFiles::kMarker + "1-d" + std::to_string(signal);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            TemporaryFiles::hold(temp);
            ::close(::open(temp.c_str(), O_WRONLY | O_CREAT, 0600));
            TemporaryFiles::holdFolder(staged);
            ::mkdir(staged.c_str(), 0700);
            for (int i = 0; i < 500; ++i)
                ::close(::open((staged + "/record-" + std::to_string(i) + ".xml").c_str(), O_WRONLY | O_CREAT, 0600));
            ::raise(signal);
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_NE(::access(temp.c_str(), F_OK), 0) << temp << " was left behind";
        EXPECT_NE(::access(staged.c_str(), F_OK), 0) << staged << " was left behind";
    }
    // Leftovers of a killed run, of this naming and of the older one, are no messages.
    spit(folder + "/a.xml", "<a/>");
    spit(folder + "/" + TemporaryFiles::kMarker + "b.xml-77-1", "<b");
    spit(folder + "/c.xml.quarn-tmp-77-2", "<c");
    Result batch = quarn("batch " + quote(folder) + " " + quote(folder + "/out") + " --no-progress");
    EXPECT_EQ(batch.status, 0) << batch.out << batch.err;
    EXPECT_NE(batch.out.find("batch: 1 messages, 1 written, 0 failed"), std::string::npos) << batch.out;
    shell("rm -rf " + quote(folder));
}

// A recursive batch's hidden folder goes on an interrupt with the folders below it, however deep
// and however many names a folder holds, and so does a hidden folder with a link to a folder in
// it (the link goes, not what it names).
TEST(SafeFiles, AHiddenFolderGoesOnAnInterruptWithTheFoldersBelowIt) {
    const std::string folder = freshFolder("interrupt-tree");
    const std::string elsewhere = folder + "/elsewhere";
    ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
    spit(elsewhere + "/stays.xml", "<a/>");
    for (int signal : {SIGINT, SIGTERM}) {
        const std::string staged = folder + "/" + TemporaryFiles::kMarker + "1-d" + std::to_string(signal);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            TemporaryFiles::holdFolder(staged);
            std::string below = staged;
            for (const char* level : {"", "/a", "/a/b", "/a/b/c", "/d"}) {
                below = staged + level;
                ::mkdir(below.c_str(), 0700);
                for (int i = 0; i < 300; ++i)
                    ::close(::open((below + "/m-" + std::to_string(i) + ".xml").c_str(), O_WRONLY | O_CREAT, 0600));
            }
            ::mkdir((staged + "/a/empty").c_str(), 0700);
            if (::symlink(elsewhere.c_str(), (staged + "/a/b/link").c_str()) != 0) ::_exit(3);
            ::raise(signal);
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_NE(::access(staged.c_str(), F_OK), 0) << staged << " was left behind";
        EXPECT_EQ(slurp(elsewhere + "/stays.xml"), "<a/>");
    }
    shell("rm -rf " + quote(folder));
}

// Every name in a folder (hidden ones too) with the bytes of each file; empty when there is no folder.
std::map<std::string, std::string> contentsOf(const std::string& folder) {
    std::map<std::string, std::string> contents;
    for (const std::string& name : filesIn(folder)) contents[name] = slurp(folder + "/" + name);
    return contents;
}

// The names whose presence or bytes differ, a few of them.
std::string differences(const std::map<std::string, std::string>& before, const std::map<std::string, std::string>& after) {
    std::string listed;
    int shown = 0;
    for (const auto& b : before) {
        const auto a = after.find(b.first);
        if (a == after.end() || a->second != b.second) listed += (shown++ < 5 ? " " + b.first : std::string());
    }
    for (const auto& a : after)
        if (before.count(a.first) == 0) listed += (shown++ < 10 ? " +" + a.first : std::string());
    return listed;
}

// A run interrupted while it writes leaves its output folder as it was: the earlier records or
// outputs that a replacing run would have replaced, the messages an in-place batch would have
// replaced, no folder for a run into a new one; no temporary file or folder is left anywhere.
// Each run is interrupted once it has written more than a thousand files (one sync's worth).
TEST(SafeFiles, AnInterruptedRunLeavesTheOutputFolderAsItWas) {
    const std::string parent = freshFolder("interrupted");
    const std::string in = parent + "/in", out = parent + "/out", doc = parent + "/doc.xml";
    ASSERT_EQ(::mkdir(in.c_str(), 0777), 0);
    std::string records = "<feed>";
    for (int i = 0; i < 3000; ++i) {
        spit(in + "/m" + std::to_string(10000 + i) + ".xml", "<m><n>" + std::to_string(i) + "</n></m>");
        records += "<rec n='" + std::to_string(i) + "'/>";
    }
    spit(doc, records + "</feed>");
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::map<std::string, std::string> earlier;   // what OUTDIR held before: none, no folder
        std::string kept;                             // the folder that must be as it was
    };
    const std::map<std::string, std::string> earlierRecords{{"rec-000001.xml", "<rec n='old'/>"},
                                                            {"rec-002000.xml", "<rec n='old2'/>"},
                                                            {"notes.txt", "kept by nobody"}};
    const std::map<std::string, std::string> earlierOutputs{{"m10000.xml", "<old/>"}, {"m19999.xml", "<stale/>"}};
    const std::vector<Case> cases = {
        {"split --replace", {"split", doc, "feed/rec", out, "--replace"}, earlierRecords, out},
        {"batch --replace", {"batch", in, out, "--replace", "--jobs", "1", "--out-ccsid", "1200"}, earlierOutputs, out},
        {"batch --in-place", {"batch", in, in, "--in-place", "--jobs", "1", "--out-ccsid", "1200"}, {}, in},
        {"batch into a new folder", {"batch", in, out, "--jobs", "1", "--out-ccsid", "1200"}, {}, out},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        shell("rm -rf " + quote(out));
        if (!c.earlier.empty()) {
            ASSERT_EQ(::mkdir(out.c_str(), 0777), 0);
            for (const auto& file : c.earlier) spit(out + "/" + file.first, file.second);
        }
        const std::set<std::string> beside = filesIn(parent);
        const std::map<std::string, std::string> before = contentsOf(c.kept);
        bool caught = false;
        // The 1101st file of the run: a temporary name in the folder, or a name in the hidden
        // folder the run is staged in.
        const int status = quarnInterruptedWhen(c.args, [&](pid_t pid) {
            const std::string own = TemporaryFiles::kMarker + std::to_string(pid) + "-";
            return std::vector<std::string>{c.kept + "/" + own + "1100", parent + "/" + own + "d1/m11100.xml",
                                            parent + "/" + own + "d1/rec-001101.xml"};
        }, caught);
        ASSERT_TRUE(caught) << "the run ended before it was interrupted";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
        EXPECT_EQ(differences(before, contentsOf(c.kept)), "");
        EXPECT_EQ(filesIn(parent), beside) << "nothing hidden is left beside the folder";
    }
    shell("rm -rf " + quote(parent));
}

// The bytes of `name` in the open folder `folder`; empty when it cannot be read.
std::string readAt(int folder, const std::string& name) {
    const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string();
    std::string bytes;
    char block[4096];
    for (ssize_t n; (n = ::read(fd, block, sizeof block)) > 0;) bytes.append(block, static_cast<std::size_t>(n));
    ::close(fd);
    return bytes;
}

// The files `names` of a folder's contents `after` read with libxml2, none of the earlier run's.
void expectNewRunRead(const std::map<std::string, std::string>& after, std::initializer_list<std::string> names) {
    for (const std::string& name : names) {
        const LibxmlReading read = LibxmlCanonicalReader::read(after.count(name) ? after.at(name) : std::string());
        EXPECT_TRUE(read.ok) << name << ": " << read.error;
        EXPECT_EQ(read.canonical.find("old"), std::string::npos) << name << ": " << read.canonical;
    }
}

// What a replacing run must leave in `folder`, whose files (folders as "name/") are `after` and
// were `before`: the first file keeping the mode of the file it replaced, the run's `files` files
// and the `kept` ones (the same inodes as in `inodes`, the same bytes), none of `gone`, the run's
// first and last file read anew, and nothing hidden beside the folder in `parent`.
struct ReplacedFolder {
    std::string folder, first, last;
    std::size_t files;
    std::vector<std::string> kept, gone;
};
void expectReplaced(const ReplacedFolder& f, const std::map<std::string, std::string>& before,
                    const std::map<std::string, std::string>& after, std::map<std::string, ino_t>& inodes,
                    const std::string& parent, const std::set<std::string>& beside) {
    EXPECT_EQ(statOf(f.folder + "/" + f.first).st_mode & 07777, 0640u) << "the file replaced lends its mode";
    std::size_t files = 0;
    for (const auto& entry : after) files += entry.first.back() == '/' ? 0 : 1;
    EXPECT_EQ(files, f.files + f.kept.size());
    for (const std::string& kept : f.kept) {
        EXPECT_EQ(statOf(f.folder + "/" + kept).st_ino, inodes[kept]) << kept;
        EXPECT_EQ(after.count(kept) ? after.at(kept) : std::string(), before.at(kept)) << kept;
    }
    for (const std::string& gone : f.gone) EXPECT_EQ(after.count(gone), 0u) << gone;
    expectNewRunRead(after, {f.first, f.last});
    EXPECT_EQ(filesIn(parent), beside) << "nothing hidden is left beside the folder";
}

// Runs quarn with `args` while a second thread keeps opening `folder` and reading its files
// `first` and `last` through it; counts the looks that found one of them as in `before` and the
// other not (the two runs mixed).
struct WatchedRun {
    Result result;
    long looks = 0;
    long mixed = 0;
};
WatchedRun runWatching(const std::string& args, const std::string& folder, const std::string& first,
                       const std::string& last, const std::map<std::string, std::string>& before) {
    std::atomic<bool> running{true};
    std::atomic<long> looks{0}, mixed{0};
    std::thread reader([&] {
        while (running.load()) {
            const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0) continue;
            const std::string a = readAt(fd, first), b = readAt(fd, last);
            ::close(fd);
            if (a.empty() || b.empty()) continue;
            ++looks;
            if ((a == before.at(first)) != (b == before.at(last))) ++mixed;
        }
    });
    WatchedRun run;
    run.result = quarn(args);
    running.store(false);
    reader.join();
    run.looks = looks.load();
    run.mixed = mixed.load();
    return run;
}

// Modes a replacing run must carry over: the folder's own, and the one its first file lends.
void setReplacedModes(const std::string& folder, const std::string& first) {
    ASSERT_EQ(::chmod(folder.c_str(), 0750), 0);
    ASSERT_EQ(::chmod((folder + "/" + first).c_str(), 0640), 0);
}

// A replacing run of `args` into `folder` (inode `folderBefore`, holding `before`), watched: it
// succeeds, counts the files it removed as `removed` says, never shows files of both runs, and
// puts a new folder (mode 0750) in place in one step.
void runReplacingWatched(const std::string& args, const std::string& folder, const std::string& first,
                         const std::string& last, const std::map<std::string, std::string>& before, const char* removed,
                         ino_t folderBefore) {
    const WatchedRun watched = runWatching(args, folder, first, last, before);
    const Result& r = watched.result;
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(removed), std::string::npos) << r.out;
    EXPECT_GT(watched.looks, 0);
    EXPECT_EQ(watched.mixed, 0) << "the folder was seen holding files of both runs";
    const struct stat after = statOf(folder);
    EXPECT_NE(after.st_ino, folderBefore) << "not a new folder put in place in one step";
    EXPECT_EQ(after.st_mode & 07777, 0750u);
}

// A run that replaces what a folder holds publishes the new content in one step: a reader that
// keeps opening the folder and reading its first and last file through it (as a program walking
// the folder does) never finds one of the earlier run beside one of the new. The folder is a new
// one with the earlier one's mode; what the run keeps in it (its input, a file an in-place batch
// does not write) are the same files; what it replaces is gone; nothing hidden is left beside it.
TEST(SafeFiles, AReplacingRunPublishesTheNewFolderInOneStep) {
    const std::string parent = freshFolder("swapped");
    const std::string in = parent + "/in", out = parent + "/out";
    constexpr int kFiles = 1200;
    std::string feed = "<feed>";
    for (int i = 0; i < kFiles; ++i) feed += "<rec n='" + std::to_string(i) + "'/>";
    feed += "</feed>";
    struct Case {
        const char* what;
        std::string args;
        std::string folder;                          // the folder replaced
        std::map<std::string, std::string> earlier;  // what it holds before, the inputs aside
        std::string first, last;                     // the run's first and last file
        std::vector<std::string> kept;               // a file that stays as it is
        std::vector<std::string> gone;               // a file of the earlier run that goes
        const char* removed;                         // how --json counts the files that went
    };
    std::map<std::string, std::string> earlierRecords{{"notes.txt", "an earlier run's"}};
    std::map<std::string, std::string> earlierOutputs{{"stale.xml", "<stale/>"}};
    for (int i = 1; i <= kFiles; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "rec-%06d.xml", i);
        earlierRecords[name] = "<rec n='old'/>";
        earlierOutputs["m" + std::to_string(10000 + i - 1) + ".xml"] = "<old/>";
    }
    const std::string batch = " --jobs 1 --out-ccsid 1200 --no-progress --json";
    const std::vector<Case> cases = {
        {"split --replace, the input inside the folder", "split " + quote(out + "/feed.xml") + " feed/rec " + quote(out) +
             " --replace --json", out, earlierRecords, "rec-000001.xml", "rec-001200.xml", {"feed.xml"}, {"notes.txt"},
         "\"removed\":1,"},
        {"batch --replace", "batch " + quote(in) + " " + quote(out) + " --replace" + batch, out, earlierOutputs,
         "m10000.xml", "m11199.xml", {}, {"stale.xml"}, "\"removed\":2,"},
        {"batch --in-place", "batch " + quote(in) + " " + quote(in) + " --in-place" + batch, in,
         {{".notes", "no message"}}, "m10000.xml", "m11199.xml", {".notes"}, {}, "\"removed\":0,"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        shell("rm -rf " + quote(in) + " " + quote(out) + " && mkdir " + quote(in) + " " + quote(out));
        for (int i = 0; i < kFiles; ++i)
            spit(in + "/m" + std::to_string(10000 + i) + ".xml", "<m><n>" + std::to_string(i) + "</n></m>");
        spit(out + "/feed.xml", feed);
        for (const auto& file : c.earlier) spit(c.folder + "/" + file.first, file.second);
        ASSERT_NO_FATAL_FAILURE(setReplacedModes(c.folder, c.first));
        const std::map<std::string, std::string> before = contentsOf(c.folder);
        const struct stat folderBefore = statOf(c.folder);
        std::map<std::string, ino_t> inodes;
        for (const std::string& kept : c.kept) inodes[kept] = statOf(c.folder + "/" + kept).st_ino;
        const std::set<std::string> beside = filesIn(parent);

        ASSERT_NO_FATAL_FAILURE(
            runReplacingWatched(c.args, c.folder, c.first, c.last, before, c.removed, folderBefore.st_ino));
        expectReplaced({c.folder, c.first, c.last, kFiles, c.kept, c.gone}, before, contentsOf(c.folder), inodes, parent,
                       beside);
    }
    shell("rm -rf " + quote(parent));
}

// Where the folder cannot be swapped, a replacing run renames its files one by one into the same
// folder: a link at a record's name is followed (it stays a link, the file it names gets the
// record), a folder in OUTDIR holding a FIFO (which no link carries) stays with what it holds, and
// the earlier records go all the same.
TEST(SafeFiles, AReplacingRunThatCannotSwapTheFolderRenamesItsFilesIntoIt) {
    const std::string parent = freshFolder("unswapped");
    const std::string out = parent + "/out", doc = parent + "/feed.xml", elsewhere = parent + "/elsewhere.xml";
    spit(doc, "<feed><rec n='1'/><rec n='2'/></feed>");
    struct Case {
        const char* what;
        bool link;     // rec-000001.xml is a link to a file beside the folder
        bool folder;   // the folder holds a folder with a FIFO in it
    };
    for (const Case& c : {Case{"a link at a record's name", true, false}, Case{"a FIFO in a folder below", false, true}}) {
        SCOPED_TRACE(c.what);
        shell("rm -rf " + quote(out) + " && mkdir " + quote(out));
        spit(out + "/rec-000003.xml", "<rec n='old'/>");
        spit(elsewhere, "<old/>");
        if (c.link) {
            ASSERT_EQ(::symlink("../elsewhere.xml", (out + "/rec-000001.xml").c_str()), 0);
        }
        if (c.folder) {
            ASSERT_EQ(::mkdir((out + "/sub").c_str(), 0777), 0);
            spit(out + "/sub/keep.xml", "<keep/>");
            ASSERT_EQ(::mkfifo((out + "/sub/pipe").c_str(), 0600), 0);
        }
        const ino_t folderBefore = statOf(out).st_ino;
        const std::set<std::string> beside = filesIn(parent);
        const Result r = quarn("split " + quote(doc) + " feed/rec " + quote(out) + " --replace");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(statOf(out).st_ino, folderBefore);
        std::set<std::string> expected{"rec-000001.xml", "rec-000002.xml"};
        if (c.folder) expected.insert("sub");
        EXPECT_EQ(filesIn(out), expected);
        EXPECT_EQ(S_ISLNK(statOf(out + "/rec-000001.xml", false).st_mode), c.link);
        EXPECT_EQ(slurp(c.link ? elsewhere : out + "/rec-000001.xml"), "<rec n='1'/>");
        EXPECT_EQ(slurp(out + "/rec-000002.xml"), "<rec n='2'/>");
        EXPECT_TRUE(LibxmlCanonicalReader::read(slurp(out + "/rec-000002.xml")).ok);
        if (c.folder) {
            EXPECT_EQ(slurp(out + "/sub/keep.xml"), "<keep/>");
            EXPECT_TRUE(S_ISFIFO(statOf(out + "/sub/pipe", false).st_mode));
        }
        EXPECT_EQ(filesIn(parent), beside) << "nothing hidden is left beside the folder";
    }
    shell("rm -rf " + quote(parent));
}

// A recursive batch into a new folder appears whole or not at all: interrupted after more than a
// thousand files it leaves no folder and nothing hidden; run through, every message's output is in
// its folder below, a message that fails leaving no file.
TEST(SafeFiles, ARecursiveBatchIntoANewFolderAppearsWholeOrNotAtAll) {
    const std::string parent = freshFolder("recursive");
    const std::string in = parent + "/in", out = parent + "/out";
    for (const char* sub : {"", "/a", "/b", "/b/c"}) ASSERT_EQ(::mkdir((in + sub).c_str(), 0777), 0);
    for (int i = 0; i < 1200; ++i)
        spit(in + (i < 600 ? "/a" : "/b") + "/m" + std::to_string(10000 + i) + ".xml", "<m><n>" + std::to_string(i) + "</n></m>");
    spit(in + "/b/c/deep.xml", "<deep/>");
    spit(in + "/b/c/broken.xml", "<deep>");
    const std::set<std::string> beside = filesIn(parent);
    const std::vector<std::string> args{"batch", in, out, "--recursive", "--jobs", "1", "--out-ccsid", "1200"};
    bool caught = false;
    // The 1101st file: a temporary name in the folder, or its name in the hidden folder.
    const int status = quarnInterruptedWhen(args, [&](pid_t pid) {
        const std::string own = TemporaryFiles::kMarker + std::to_string(pid) + "-";
        return std::vector<std::string>{out + "/" + own + "1100", parent + "/" + own + "d1/b/m11099.xml"};
    }, caught);
    ASSERT_TRUE(caught) << "the run ended before it was interrupted";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_NE(::access(out.c_str(), F_OK), 0) << "a folder was left with part of the run";
    EXPECT_EQ(filesIn(parent), beside) << "nothing hidden is left beside the folder";

    const Result r = quarn("batch " + quote(in) + " " + quote(out) + " --recursive --no-progress");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("batch: 1202 messages, 1201 written, 1 failed"), std::string::npos) << r.out;
    EXPECT_EQ(filesIn(out), (std::set<std::string>{"a", "b"}));
    EXPECT_EQ(filesIn(out + "/a").size(), 600u);
    EXPECT_EQ(filesIn(out + "/b").size(), 601u);
    EXPECT_EQ(filesIn(out + "/b/c"), (std::set<std::string>{"deep.xml"}));
    EXPECT_TRUE(LibxmlCanonicalReader::read(slurp(out + "/b/c/deep.xml")).ok);
    EXPECT_EQ(slurp(out + "/a/m10000.xml"), "<m><n>0</n></m>");
    std::set<std::string> besideAfter = beside;
    besideAfter.insert("out");
    EXPECT_EQ(filesIn(parent), besideAfter) << "nothing hidden is left beside the folder";
    shell("rm -rf " + quote(parent));
}

// Every file and folder below `folder` (a folder's name ends in '/'), with the bytes of each file
// (a link: where it points).
std::map<std::string, std::string> treeOf(const std::string& folder, const std::string& prefix = std::string()) {
    std::map<std::string, std::string> tree;
    for (const std::string& name : filesIn(folder + "/" + prefix)) {
        const std::string path = prefix + name;
        struct stat st {};
        if (::lstat((folder + "/" + path).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            tree[path + "/"] = std::string();
            for (const auto& below : treeOf(folder, path + "/")) tree.insert(below);
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = ::readlink((folder + "/" + path).c_str(), target, sizeof target);
            tree[path] = "-> " + std::string(target, n > 0 ? static_cast<std::size_t>(n) : 0);
        } else {
            tree[path] = S_ISREG(st.st_mode) ? slurp(folder + "/" + path) : std::string();
        }
    }
    return tree;
}

// Makes the files of `tree` below `folder` (a name ending in '/' is a folder), folders (and
// `folder`) as needed.
void plant(const std::string& folder, const std::map<std::string, std::string>& tree) {
    ::mkdir(folder.c_str(), 0777);
    for (const auto& entry : tree) {
        for (std::size_t slash = entry.first.find('/'); slash != std::string::npos; slash = entry.first.find('/', slash + 1))
            ::mkdir((folder + "/" + entry.first.substr(0, slash)).c_str(), 0777);
        if (entry.first.back() != '/') spit(folder + "/" + entry.first, entry.second);
    }
}

// A replacing run into a tree with folders below publishes the new tree in one step, as into a
// folder of files: a reader that keeps opening the folder and reading the run's first and last
// file through it (in different folders below) never finds one of the earlier run beside one of
// the new. Every folder of the earlier tree is there anew with its mode; the files the run keeps
// (its input, what an in-place batch does not write, a folder below that a run without
// --recursive does not touch) are the same files; what it replaces is gone; nothing hidden is left.
TEST(SafeFiles, AReplacingRunIntoATreePublishesTheNewTreeInOneStep) {
    const std::string parent = freshFolder("tree-swapped");
    const std::string in = parent + "/in", out = parent + "/out";
    constexpr int kFiles = 1200;
    std::map<std::string, std::string> inputs;
    for (int i = 0; i < kFiles; ++i)
        inputs[std::string(i < kFiles / 2 ? "a/" : "b/c/") + "m" + std::to_string(10000 + i) + ".xml"] =
            "<m><n>" + std::to_string(i) + "</n></m>";
    std::string feed = "<feed>";
    for (int i = 0; i < kFiles; ++i) feed += "<rec n='" + std::to_string(i) + "'/>";
    feed += "</feed>";
    struct Case {
        const char* what;
        std::string args;
        std::string folder;                           // the tree replaced
        std::map<std::string, std::string> earlier;   // what it holds before, the inputs aside
        std::string first, last;                      // the run's first and last file
        std::vector<std::string> kept;                // files that stay as they are
        std::vector<std::string> gone;                // files of the earlier run that go
        std::map<std::string, mode_t> folders;        // folders of the earlier tree, with their modes
        const char* removed;                          // how --json counts the files that went
    };
    std::map<std::string, std::string> earlierOutputs{
        {"a/stale.xml", "<stale/>"}, {"notes/readme.txt", "an earlier run's"}, {"empty/", ""}};
    for (const auto& input : inputs) earlierOutputs[input.first] = "<old/>";
    std::map<std::string, std::string> earlierRecords{
        {"notes.txt", "an earlier run's"}, {"sub/keep.xml", "<keep/>"}, {"sub/deeper/more.txt", "more"}};
    for (int i = 1; i <= kFiles; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "rec-%06d.xml", i);
        earlierRecords[name] = "<rec n='old'/>";
    }
    const std::string batch = " --recursive --jobs 1 --out-ccsid 1200 --no-progress --json";
    const std::vector<Case> cases = {
        {"batch --recursive --replace", "batch " + quote(in) + " " + quote(out) + " --replace" + batch, out,
         earlierOutputs, "a/m10000.xml", "b/c/m11199.xml", {}, {"a/stale.xml", "notes/readme.txt", "feed.xml"},
         {{"a", 0700}, {"b", 0751}, {"b/c", 0710}, {"notes", 0705}, {"empty", 0770}}, "\"removed\":3,"},
        {"batch --recursive --in-place", "batch " + quote(in) + " " + quote(in) + " --in-place" + batch, in,
         {{"b/c/.notes", "no message"}, {"a/.hidden/x.txt", "hidden"}, {"empty/", ""}}, "a/m10000.xml",
         "b/c/m11199.xml", {"b/c/.notes", "a/.hidden/x.txt"}, {},
         {{"a", 0700}, {"a/.hidden", 0755}, {"b", 0751}, {"b/c", 0710}, {"empty", 0770}}, "\"removed\":0,"},
        {"split --replace into a folder with folders, the input inside",
         "split " + quote(out + "/feed.xml") + " feed/rec " + quote(out) + " --replace --json", out, earlierRecords,
         "rec-000001.xml", "rec-001200.xml", {"feed.xml", "sub/keep.xml", "sub/deeper/more.txt"}, {"notes.txt"},
         {{"sub", 0750}, {"sub/deeper", 0700}}, "\"removed\":1,"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        shell("rm -rf " + quote(in) + " " + quote(out) + " && mkdir " + quote(in) + " " + quote(out));
        plant(in, inputs);
        spit(out + "/feed.xml", feed);
        plant(c.folder, c.earlier);
        for (const auto& folder : c.folders) ASSERT_EQ(::chmod((c.folder + "/" + folder.first).c_str(), folder.second), 0);
        ASSERT_NO_FATAL_FAILURE(setReplacedModes(c.folder, c.first));
        const std::map<std::string, std::string> before = treeOf(c.folder);
        const ino_t folderBefore = statOf(c.folder).st_ino;
        std::map<std::string, ino_t> inodesBefore;
        for (const auto& folder : c.folders) inodesBefore[folder.first] = statOf(c.folder + "/" + folder.first).st_ino;
        for (const std::string& kept : c.kept) inodesBefore[kept] = statOf(c.folder + "/" + kept).st_ino;
        const std::set<std::string> beside = filesIn(parent);

        ASSERT_NO_FATAL_FAILURE(runReplacingWatched(c.args, c.folder, c.first, c.last, before, c.removed, folderBefore));
        for (const auto& folder : c.folders) {
            const struct stat now = statOf(c.folder + "/" + folder.first, false);
            EXPECT_TRUE(S_ISDIR(now.st_mode)) << folder.first;
            EXPECT_EQ(now.st_mode & 07777, static_cast<unsigned>(folder.second)) << folder.first;
            EXPECT_NE(now.st_ino, inodesBefore[folder.first]) << folder.first << " is not the new tree's";
        }
        expectReplaced({c.folder, c.first, c.last, kFiles, c.kept, c.gone}, before, treeOf(c.folder), inodesBefore, parent,
                       beside);
    }
    shell("rm -rf " + quote(parent));
}

// Where links cannot carry the tree, a recursive replacing batch renames its files into it one by
// one as before, the tree's folders staying the same: a link to a folder where the run writes
// (written through, and kept: it is no file of an earlier run), a FIFO below, a tree deeper than
// an exchange carries.
TEST(SafeFiles, ARecursiveRunThatCannotCarryTheTreeRenamesItsFilesIntoIt) {
    const std::string parent = freshFolder("tree-unswapped");
    const std::string in = parent + "/in", out = parent + "/out", elsewhere = parent + "/elsewhere";
    std::string deep = "deep";
    for (int level = 0; level < 40; ++level) deep += "/d";
    struct Case {
        const char* what;
        std::string folder;                           // the tree written into
        std::string args;
        std::map<std::string, std::string> earlier;   // what it holds before, the inputs aside
        std::map<std::string, std::string> expected;  // what it holds after (the outputs aside)
        std::string link;                             // a link to `elsewhere` in the tree
        std::string fifo;                             // a FIFO in the tree
    };
    const std::string batch = " --recursive --jobs 1 --no-progress";
    const std::vector<Case> cases = {
        {"--replace, a link to a folder where the run writes", out,
         "batch " + quote(in) + " " + quote(out) + " --replace" + batch, {{"b/old.xml", "<old/>"}, {"top.xml", "<old/>"}},
         {{"a", "-> ../elsewhere"}, {"b/", ""}}, "a", ""},
        {"--in-place, a FIFO below", in, "batch " + quote(in) + " " + quote(in) + " --in-place" + batch,
         {{"b/.notes", "kept"}}, {{"a/", ""}, {"b/", ""}, {"b/.notes", "kept"}, {"b/pipe", ""}}, "", "b/pipe"},
        {"--in-place, a tree deeper than an exchange carries", in,
         "batch " + quote(in) + " " + quote(in) + " --in-place" + batch, {{deep + "/.keep", "kept"}},
         {{"a/", ""}, {"b/", ""}, {deep + "/.keep", "kept"}}, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        shell("rm -rf " + quote(in) + " " + quote(out) + " " + quote(elsewhere) + " && mkdir " + quote(in) + " " +
              quote(out) + " " + quote(elsewhere));
        spit(elsewhere + "/stays.txt", "stays");
        plant(in, {{"a/m1.xml", "<m>1</m>"}, {"b/m2.xml", "<m>2</m>"}});
        plant(c.folder, c.earlier);
        if (!c.link.empty()) {
            ASSERT_EQ(::symlink("../elsewhere", (c.folder + "/" + c.link).c_str()), 0);
        }
        if (!c.fifo.empty()) {
            ASSERT_EQ(::mkfifo((c.folder + "/" + c.fifo).c_str(), 0600), 0);
        }
        const ino_t folderBefore = statOf(c.folder).st_ino;
        const std::set<std::string> beside = filesIn(parent);
        const Result r = quarn(c.args);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(statOf(c.folder).st_ino, folderBefore) << "the tree was swapped";
        // The outputs: through the link where there is one.
        const std::string first = c.link.empty() ? c.folder + "/a/m1.xml" : elsewhere + "/m1.xml";
        for (const std::string& output : {first, c.folder + "/b/m2.xml"}) {
            const LibxmlReading read = LibxmlCanonicalReader::read(slurp(output));
            EXPECT_TRUE(read.ok) << output << ": " << read.error;
        }
        std::map<std::string, std::string> after = treeOf(c.folder);
        for (const char* output : {"a/m1.xml", "b/m2.xml"}) after.erase(output);
        // The folders the deep tree passes through (there as they were, or the file in the
        // deepest would not be).
        for (auto entry = after.begin(); entry != after.end();)
            entry = entry->first.rfind("deep", 0) == 0 && entry->first.back() == '/' ? after.erase(entry) : ++entry;
        EXPECT_EQ(after, c.expected);
        if (!c.fifo.empty()) {
            EXPECT_TRUE(S_ISFIFO(statOf(c.folder + "/" + c.fifo, false).st_mode));
        }
        EXPECT_EQ(slurp(elsewhere + "/stays.txt"), "stays");
        EXPECT_EQ(filesIn(parent), beside) << "nothing hidden is left beside the folder";
    }
    shell("rm -rf " + quote(parent));
}

// The number of a process that has ended (and been waited for).
pid_t endedProcess() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

// What a run killed outright left (its hidden folder beside the output folder, its temporary
// files in it) goes with the next run into that folder, and the summary says so. Names of that
// form that a live run holds (its lock, or a process of its number alive) stay, and so do names
// of another form; a link is removed, never followed.
TEST(SafeFiles, WhatAKilledRunLeftGoesWithTheNextRunIntoTheFolder) {
    const std::string parent = freshFolder("leftovers");
    const std::string in = parent + "/in", out = parent + "/out", replaced = parent + "/replaced",
                      plain = parent + "/plain", elsewhere = parent + "/elsewhere";
    const std::string marker = TemporaryFiles::kMarker;
    for (const std::string& folder : {in, replaced, plain, elsewhere}) ASSERT_EQ(::mkdir(folder.c_str(), 0777), 0);
    for (int i = 0; i < 1500; ++i) spit(in + "/m" + std::to_string(10000 + i) + ".xml", "<m>" + std::to_string(i) + "</m>");
    spit(elsewhere + "/stays.xml", "<stays/>");

    // A run replacing file by file, killed while its files wait under temporary names.
    spit(replaced + "/m10000.xml", "<old/>");
    bool caught = false;
    pid_t killedEach = 0;
    int status = quarnInterruptedWhen({"batch", in, replaced, "--replace", "--sync-each", "--jobs", "1"}, [&](pid_t pid) {
        return std::vector<std::string>{replaced + "/" + marker + std::to_string(pid) + "-20"};
    }, caught, SIGKILL, &killedEach);
    ASSERT_TRUE(caught) << "the run ended before it was killed";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    const std::string killedFile = replaced + "/" + marker + std::to_string(killedEach) + "-20";
    ASSERT_EQ(::access(killedFile.c_str(), F_OK), 0);

    // A run staged whole, killed once its hidden folder holds more than a thousand files (after
    // the other: a run clears what it finds beside its folder).
    pid_t killed = 0;
    status = quarnInterruptedWhen({"batch", in, out, "--jobs", "1"}, [&](pid_t pid) {
        return std::vector<std::string>{parent + "/" + marker + std::to_string(pid) + "-d1/m11100.xml"};
    }, caught, SIGKILL, &killed);
    ASSERT_TRUE(caught) << "the run ended before it was killed";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    const std::string killedFolder = parent + "/" + marker + std::to_string(killed) + "-d1";
    ASSERT_EQ(::access((killedFolder + "/m11100.xml").c_str(), F_OK), 0);
    // Made by hand: the layout of a killed run's hidden folder, with folders and a link below.
    const std::string dead = marker + std::to_string(endedProcess()), alive = marker + std::to_string(::getpid());
    const std::string handMade = parent + "/" + dead + "-d2";
    plant(handMade, {{"a/b/m1.xml", "<m/>"}, {"top.xml", "<m/>"}});
    ASSERT_EQ(::symlink(elsewhere.c_str(), (handMade + "/a/link").c_str()), 0);
    enum Kind { Folder, File, Link };
    struct Leftover {
        const char* what;
        std::string path;
        Kind kind;
        bool gone;
    };
    const std::vector<Leftover> leftovers = {
        {"a killed run's hidden folder", killedFolder, Folder, true},
        {"a killed run's temporary file", killedFile, File, true},
        {"a killed run's hidden folder with folders and a link in it", handMade, Folder, true},
        {"a killed run's temporary file, in a folder a run adds to", plain + "/" + dead + "-5", File, true},
        {"a hidden folder a live run holds locked", parent + "/" + dead + "-d7", Folder, false},
        {"a hidden folder of a live process", parent + "/" + alive + "-d3", Folder, false},
        {"a temporary file of a live process", plain + "/" + alive + "-4", File, false},
        {"a leading zero", parent + "/" + dead + "-d07", Folder, false},
        {"more after the number", parent + "/" + dead + "-d7.old", Folder, false},
        {"no leading dot", parent + "/" + dead.substr(1) + "-d7", Folder, false},
        {"a file of a hidden folder's name", parent + "/" + dead + "-d9", File, false},
        {"a link of a hidden folder's name", parent + "/" + dead + "-d8", Link, false},
        {"a temporary file's name with more after it", plain + "/" + dead + "-5.xml", File, false},
        {"a temporary file of a single output", plain + "/" + marker + "o" + dead.substr(marker.size()) + "-1", File, false},
    };
    for (const Leftover& l : leftovers) {
        if (l.path == killedFolder || l.path == killedFile || l.path == handMade) continue;
        if (l.kind == Folder) plant(l.path, {{"held.xml", "<held/>"}});
        if (l.kind == File) spit(l.path, "<held/>");
        if (l.kind == Link) {
            ASSERT_EQ(::symlink(elsewhere.c_str(), l.path.c_str()), 0);
        }
    }
    const int locked = ::open((parent + "/" + dead + "-d7").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(locked, 0);
    ASSERT_EQ(::flock(locked, LOCK_SH), 0);

    const Result whole = quarn("batch " + quote(in) + " " + quote(out) + " --no-progress");
    EXPECT_EQ(whole.status, 0) << whole.out << whole.err;
    EXPECT_NE(whole.out.find("cleared: 2 leftovers of killed runs removed"), std::string::npos) << whole.out;
    EXPECT_EQ(filesIn(out).size(), 1500u);
    const Result replacing = quarn("batch " + quote(in) + " " + quote(replaced) + " --replace --no-progress");
    EXPECT_EQ(replacing.status, 0) << replacing.out << replacing.err;
    EXPECT_NE(replacing.out.find("cleared: "), std::string::npos) << replacing.out;
    const Result adding = quarn("batch " + quote(in) + " " + quote(plain) + " --no-progress --include m10000.xml");
    EXPECT_EQ(adding.status, 0) << adding.out << adding.err;
    EXPECT_NE(adding.out.find("cleared: 1 leftovers of killed runs removed"), std::string::npos) << adding.out;
    ::close(locked);

    for (const Leftover& l : leftovers) {
        SCOPED_TRACE(l.what);
        struct stat st {};
        EXPECT_EQ(::lstat(l.path.c_str(), &st) != 0, l.gone) << l.path;
        if (l.gone) continue;
        if (l.kind == Folder) {
            EXPECT_EQ(slurp(l.path + "/held.xml"), "<held/>");
        } else if (l.kind == File) {
            EXPECT_EQ(slurp(l.path), "<held/>");
        } else {
            EXPECT_TRUE(S_ISLNK(st.st_mode));
        }
    }
    for (const std::string& name : filesIn(replaced))
        EXPECT_NE(name.rfind(marker + std::to_string(killedEach) + "-", 0), 0u) << name << " was left";
    EXPECT_EQ(slurp(elsewhere + "/stays.xml"), "<stays/>");
    EXPECT_TRUE(LibxmlCanonicalReader::read(slurp(out + "/m10000.xml")).ok);
    shell("rm -rf " + quote(parent));
}

TEST(SafeFiles, AnInputThatShrinksWhileMappedIsAClearErrorNotACrash) {
    const std::string file = tempPath("shrinking.xml");
    const long page = ::sysconf(_SC_PAGESIZE);
    spit(file, "<a>" + std::string(static_cast<std::size_t>(3 * page), 'x') + "</a>");
    KelBuffer bytes = InputFile::read(file);
    EXPECT_FALSE(InputFile::changedWhileRead(bytes));
    ASSERT_EQ(::truncate(file.c_str(), page), 0);
    // The first page is still there; the lost ones read as zeros instead of ending the process.
    EXPECT_EQ(bytes.data()[1], 'a');
    EXPECT_EQ(bytes.data()[2 * page + 5], 0);
    EXPECT_TRUE(InputFile::changedWhileRead(bytes));
    // Another mapped file is not affected.
    spit(file + "2", "<b/>");
    KelBuffer other = InputFile::read(file + "2");
    EXPECT_FALSE(InputFile::changedWhileRead(other));
    std::remove(file.c_str());
    std::remove((file + "2").c_str());
}

// What cannot be mapped says so (it said "No such file or directory", an errno left over), and a
// file that reports no size but has bytes (/proc) is read, not taken for an empty message.
TEST(SafeFiles, InputsThatCannotBeMappedAreNamedForWhatTheyAre) {
    const std::string fifo = tempPath("input.fifo");
    std::remove(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A writer, so that opening the pipe for reading does not wait.
    const int writer = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    for (const std::string& path : {fifo, std::string("/dev/zero")}) {
        const Result r = quarn("check " + quote(path));
        EXPECT_EQ(r.status, 2) << path;
        EXPECT_EQ(r.err, "quarn: cannot read " + path +
                             ": not a regular file (a pipe, socket or device); give it on standard input\n");
    }
    ::close(writer);
    std::remove(fifo.c_str());
    const KelBuffer status = InputFile::read("/proc/self/status");
    ASSERT_GT(status.length(), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(status.data()), 5), "Name:");
}

// Standard input is held in memory whole: an endless one took memory until the system ended the
// process (under a memory limit, "out of memory" with the status of a bad document). It now ends
// at its limit with the status of an unreadable input, before that limit's memory is taken twice.
TEST(SafeFiles, AnEndlessStandardInputEndsAtItsLimit) {
    // A bounded stream past the limit: without it the command would hold all of it and then call
    // the zeros a broken message (status 1). No memory limit is set, which sanitizer builds refuse.
    const Result r =
        shell("head -c 1100M /dev/zero | timeout 120 " + std::string(QUARN_TOOL) + " check -");
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.err, "quarn: cannot read -: standard input holds more than 1 GiB; give a larger message as a file\n");
}

} // namespace
