#include "tools/BatchRunner.hpp"

#include "host/KelBuffer.hpp"
#include "host/KelException.hpp"
#include "cli/InputFile.hpp"
#include "cli/OutputFile.hpp"
#include "cli/OutputFolder.hpp"
#include "cli/OutputStaging.hpp"
#include "cli/QuarnMessage.hpp"
#include "tools/QuarnOptions.hpp"
#include "cli/TemporaryFiles.hpp"
#include "cli/TreePrinter.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <dirent.h>
#include <fnmatch.h>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>

namespace {
bool included(const std::string& relative, const std::vector<std::string>& globs) {
    if (globs.empty()) return true;
    const std::size_t slash = relative.rfind('/');
    const std::string base = slash == std::string::npos ? relative : relative.substr(slash + 1);
    for (const std::string& glob : globs) {
        // A glob with a folder in it is matched against the path below INDIR, any other against
        // the file name alone.
        if (glob.find('/') != std::string::npos ? ::fnmatch(glob.c_str(), relative.c_str(), FNM_PATHNAME) == 0
                                                : ::fnmatch(glob.c_str(), base.c_str(), 0) == 0)
            return true;
    }
    return false;
}

struct FolderId {
    dev_t device;
    ino_t inode;
};

// An entry of a listing that stat cannot look at, `errno` saying why: added to `unreachable` when
// it may be a message, or with --recursive a folder of them. One not even its name reaches
// (beyond PATH_MAX, in a folder that cannot be searched) is what the listing says it is (`type`);
// a folder may hold messages whatever --include says, and one of an unknown kind may be either.
void noteUnreachable(const std::string& path, const std::string& relative, unsigned char type,
                     const QuarnOptions& options, std::vector<BatchRunner::Failure>& unreachable) {
    const int cause = errno;
    struct stat link {};
    const bool seen = ::lstat(path.c_str(), &link) == 0;
    if (!seen && errno == ENOENT) return;   // gone since it was listed
    const bool folder = seen ? S_ISDIR(link.st_mode) : type == DT_DIR;
    const bool unknown = !seen && type == DT_UNKNOWN;
    const bool wanted = included(relative, options.includes) || (unknown && options.recursive);
    if (folder ? options.recursive : wanted)
        unreachable.push_back({relative,
                               std::string(folder ? "cannot read folder " : "cannot read ") + path + ": " +
                                   std::strerror(cause),
                               std::string()});
}

// Adds the message files of `folder` (paths relative to the top folder, in `prefix`) to `names`;
// with `recursive` also those of the folders below, but never the folder `skip` (the output,
// when it lies inside the input: its path goes to `met`) and never a folder reached through a
// symbolic link, so a link back up cannot make the walk endless. An entry that may be a message, or with `recursive` a
// folder of them, but cannot be followed (a link to nothing, a loop of links) or reached at all
// (a path beyond PATH_MAX) goes to `unreachable` with the reason, so the run reports it as failed
// instead of leaving it out.
void collect(const std::string& top, const std::string& prefix, const QuarnOptions& options, const FolderId* skip,
             std::vector<std::string>& names, std::vector<BatchRunner::Failure>& unreachable,
             std::vector<BatchRunner::Skipped>& skipped, std::string* met = nullptr) {
    const std::string folder = prefix.empty() ? top : top + "/" + prefix;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
    if (!dir) throw std::runtime_error("cannot read folder " + folder + ": " + std::strerror(errno));
    std::vector<std::string> below;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (!entry) {
            // A listing cut short would drop the rest of the folder's messages unseen.
            if (errno != 0) throw std::runtime_error("cannot read folder " + folder + ": " + std::strerror(errno));
            break;
        }
        std::string name = entry->d_name;
        // Hidden files, and quarn's own temporary files wherever a run left them, are no messages.
        if (name.empty() || name[0] == '.' || TemporaryFiles::isTemporaryName(name)) continue;
        const std::string relative = prefix.empty() ? name : prefix + "/" + name;
        const std::string path = top + "/" + relative;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            noteUnreachable(path, relative, entry->d_type, options, unreachable);
            continue;
        }
        if (S_ISREG(st.st_mode)) {
            if (included(relative, options.includes)) names.push_back(relative);
        } else if (S_ISDIR(st.st_mode)) {
            if (!options.recursive) continue;
            struct stat link {};
            if (::lstat(path.c_str(), &link) != 0 || !S_ISDIR(link.st_mode)) continue;
            if (skip && st.st_dev == skip->device && st.st_ino == skip->inode) {
                if (met && met->empty()) *met = relative;
                continue;
            }
            below.push_back(relative);
        } else if (included(relative, options.includes)) {
            // A FIFO, socket or device is not read (a FIFO would block the run until a writer came),
            // but it is not left out without a word either: the summary counts it.
            skipped.push_back({relative, S_ISFIFO(st.st_mode)    ? "a FIFO"
                                         : S_ISSOCK(st.st_mode) ? "a socket"
                                         : S_ISCHR(st.st_mode)  ? "a character device"
                                         : S_ISBLK(st.st_mode)  ? "a block device"
                                                                : "not a file"});
        }
    }
    dir.reset();
    for (const std::string& sub : below) collect(top, sub, options, skip, names, unreachable, skipped, met);
}

// The walk leaves OUTDIR out (met at `outBelowIn` below INDIR) so that a run does not read its
// own outputs; but what OUTDIR holds already lies in the tree the user gave, and the run would
// write over it or (--replace) remove it unread. Only a new or empty OUTDIR inside INDIR is taken.
void refuseAnOutputFolderHoldingMessages(const std::string& inputFolder, const std::string& outputFolder,
                                         const std::string& outBelowIn, const QuarnOptions& options) {
    std::vector<std::string> held;
    std::vector<BatchRunner::Failure> heldUnreachable;
    std::vector<BatchRunner::Skipped> heldSkipped;
    collect(inputFolder, outBelowIn, options, nullptr, held, heldUnreachable, heldSkipped);
    if (held.empty() && heldUnreachable.empty()) return;
    std::sort(held.begin(), held.end());
    const std::string first = held.empty() ? heldUnreachable.front().file : held.front();
    throw QuarnOptions::UsageError("OUTDIR " + TreePrinter::printable(outputFolder) +
                                   " lies inside INDIR and holds messages of it (" + TreePrinter::printable(first) +
                                   (held.size() + heldUnreachable.size() > 1 ? ", ..." : "") +
                                   "), which the run would not read but could replace or remove; give an OUTDIR "
                                   "outside INDIR, or an empty one");
}

// The identities of a replacing run's messages, which it never removes. A name the run writes may
// already be one of them (INDIR lies in OUTDIR's tree, so OUT/sub/sub/a.xml's output goes to
// OUT/sub/a.xml, itself a message; or a link in OUTDIR leads to one): that message would be
// replaced by another's output, or by its own before it is read. Such a run is refused before
// anything is written.
std::set<OutputFolder::FileId> refuseOutputsOverInputs(const std::string& inputFolder, const std::string& outputFolder,
                                                       const std::vector<std::string>& files, bool haveOut) {
    std::map<OutputFolder::FileId, std::string> inputs;
    for (const std::string& file : files) inputs.emplace(OutputFolder::idOf(inputFolder + "/" + file), file);
    inputs.erase(OutputFolder::FileId{0, 0});
    for (const std::string& file : files) {
        const auto hit = haveOut ? inputs.find(OutputFolder::idOf(outputFolder + "/" + file)) : inputs.end();
        if (hit == inputs.end()) continue;
        throw QuarnOptions::UsageError("the output of " + TreePrinter::printable(file) +
                                       " would be written over the message " +
                                       TreePrinter::printable(inputFolder + "/" + hit->second) + " (" +
                                       TreePrinter::printable(outputFolder + "/" + file) +
                                       "): INDIR lies in OUTDIR, or a link leads there; give an OUTDIR that holds "
                                       "no message of INDIR");
    }
    std::set<OutputFolder::FileId> ids;
    for (const auto& input : inputs) ids.insert(input.first);
    return ids;
}

void makeFolder(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) throw std::runtime_error(folder + " is not a folder");
        return;
    }
    if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot make folder " + folder + ": " + std::strerror(errno));
}

// The folders that the files' relative paths need below `outputFolder`, made in order.
void makeSubfolders(const std::string& outputFolder, const std::vector<std::string>& files) {
    std::string made;
    for (const std::string& file : files) {
        const std::size_t slash = file.rfind('/');
        if (slash == std::string::npos) continue;
        const std::string sub = file.substr(0, slash);
        if (sub == made) continue;
        for (std::size_t p = sub.find('/'); ; p = sub.find('/', p + 1)) {
            makeFolder(outputFolder + "/" + sub.substr(0, p));
            if (p == std::string::npos) break;
        }
        made = sub;
    }
}

struct Outcome {
    bool ok = false;
    unsigned long long bytesIn = 0;
    unsigned long long bytesOut = 0;
    std::string error;
    std::string text;   // the error as the text summary shows it, when it has causes
    KelDocumentPosition at{-1, -1, -1};   // where the parser found the fault, if it did
};

// A failure's lines as the text summary shows them: its own and each cause's, indented as what()
// lays them out, each escaped on its own, so a file name quoted in any of them breaks no line.
void appendPrintable(std::string& out, const KelException& failure, int depth) {
    for (const auto& cause : failure.nested()) {
        out += '\n' + std::string(static_cast<std::size_t>(depth) * 2, ' ') + "caused by: " +
               TreePrinter::printable(cause->summary());
        appendPrintable(out, *cause, depth + 1);
    }
}

// `reused` is the thread's message object, kept from file to file: a new one would make its
// parser, group and name table again for every file. It is made anew after a file that failed,
// and lets go of each file's bytes, tree and output once the file is staged.
Outcome processOne(const QuarnOptions& options, const std::string& in, const std::string& out, OutputStaging& staging,
                   std::unique_ptr<QuarnMessage>& reused) {
    Outcome r;
    KelBuffer input;
    bool parsing = false;   // the message holds this file's bytes
    try {
        input = InputFile::read(in);
        if (reused) {
            reused->refresh(input);
        } else {
            reused = std::make_unique<QuarnMessage>(options, input, options.spanReuse);
        }
        parsing = true;
        QuarnMessage& message = *reused;
        r.bytesIn = static_cast<unsigned long long>(message.input().length());
        message.applyEdits();
        message.write();
        message.checkInput();
        const KelWriteBuffer& buffer = message.output();
        staging.add(out, buffer.data(), static_cast<std::size_t>(buffer.used()));
        r.bytesOut = static_cast<unsigned long long>(buffer.used());
        r.ok = true;
    } catch (const KelException& e) {
        r.error = e.what();
        r.text = TreePrinter::printable(e.summary());
        appendPrintable(r.text, e, 1);
        if (const KelParserException* positioned = KelParserException::positioned(e)) r.at = positioned->documentPosition();
    } catch (const std::bad_alloc&) {
        r.error = "out of memory";
    } catch (const std::exception& e) {
        r.error = e.what();
    }
    try {
        if (r.ok) reused->refresh(KelBuffer());
        else reused.reset();
    } catch (...) {
        reused.reset();
    }
    // A file that shrank while it was read explains whatever else went wrong with it.
    if (!r.ok && parsing && InputFile::changedWhileRead(input)) {
        r.error = "cannot read " + in + ": the file shrank while it was read";
        r.text.clear();
        r.at = KelDocumentPosition{-1, -1, -1};
    }
    return r;
}
} // namespace

unsigned BatchRunner::defaultJobs() {
    unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

BatchRunner::Summary BatchRunner::run(const std::string& inputFolder, const std::string& outputFolder) {
    const auto start = std::chrono::steady_clock::now();
    iStart = start;
    iLastDrawn = start - std::chrono::seconds(1);
    // Writing into the input folder replaces every message by its output: only when asked.
    const OutputFolder::FileId inId = OutputFolder::idOf(inputFolder);
    const bool sameFolder = inId != OutputFolder::FileId{0, 0} && inId == OutputFolder::idOf(outputFolder);
    if (sameFolder && !iOptions.inPlace)
        throw QuarnOptions::UsageError("OUTDIR is INDIR: every message would be replaced by its output; --in-place "
                                       "to do that, or give another folder");
    if (!sameFolder && iOptions.inPlace)
        throw QuarnOptions::UsageError("--in-place needs OUTDIR to be INDIR");
    // The messages are listed before anything is made or cleared, so that a run which would lose
    // some of them is refused with everything as it was.
    struct stat out {};
    FolderId skip{};
    const bool haveOut = !sameFolder && ::stat(outputFolder.c_str(), &out) == 0;
    if (haveOut) skip = {out.st_dev, out.st_ino};
    std::vector<std::string> files;
    std::vector<Failure> unreachable;   // listed, failed before they start
    std::vector<Skipped> skipped;
    std::string outBelowIn;   // OUTDIR's path below INDIR, when the walk met it
    collect(inputFolder, std::string(), iOptions, haveOut ? &skip : nullptr, files, unreachable, skipped, &outBelowIn);
    if (!outBelowIn.empty()) refuseAnOutputFolderHoldingMessages(inputFolder, outputFolder, outBelowIn, iOptions);
    std::set<OutputFolder::FileId> inputIds;
    if (iOptions.replace && !sameFolder) inputIds = refuseOutputsOverInputs(inputFolder, outputFolder, files, haveOut);
    // A run into a new or empty folder is staged whole (it appears with every message's output
    // at once, or not at all, folders below and all); a folder that holds files (in place, or
    // --replace), folders below and all, is swapped for the new one only once the run is through
    // (OutputStaging).
    std::unique_ptr<OutputStaging> staging;
    if (sameFolder)
        staging = OutputStaging::forFolder(outputFolder, iOptions.syncEach, true, "--in-place");
    else
        staging = OutputStaging::forFolder(outputFolder, iOptions.syncEach, iOptions.replace, "--replace");
    std::sort(files.begin(), files.end());
    std::sort(skipped.begin(), skipped.end(), [](const Skipped& a, const Skipped& b) { return a.file < b.file; });
    if (!staging->whole()) makeSubfolders(outputFolder, files);
    // The inputs (should INDIR lie in OUTDIR) are never what an earlier run left.
    OutputStaging::Rest rest;
    rest.below = iOptions.recursive;
    rest.skip = inId;
    rest.keep = std::move(inputIds);

    std::vector<Outcome> outcomes(files.size());
    std::atomic<std::size_t> next{0};
    std::mutex progressMutex;
    const std::size_t total = files.size() + unreachable.size();
    unsigned long done = unreachable.size(), failed = unreachable.size();
    auto worker = [&] {
        std::unique_ptr<QuarnMessage> message;   // the thread's, for all its files
        for (std::size_t i; (i = next.fetch_add(1)) < files.size();) {
            outcomes[i] = processOne(iOptions, inputFolder + "/" + files[i], outputFolder + "/" + files[i], *staging,
                                     message);
            std::lock_guard<std::mutex> lock(progressMutex);
            ++done;
            if (!outcomes[i].ok) ++failed;
            showProgress(done, total, failed, false);
        }
    };
    const unsigned wanted = iOptions.jobs > 0 ? static_cast<unsigned>(iOptions.jobs) : defaultJobs();
    const std::size_t threads = std::max<std::size_t>(1, std::min<std::size_t>(wanted, files.size()));
    std::vector<std::thread> pool;
    for (std::size_t t = 1; t < threads; ++t) pool.emplace_back(worker);
    worker();
    for (std::thread& t : pool) t.join();
    // Every message's output takes its name now (replacing: and what the run did not write goes).
    staging->commit(iOptions.replace && !sameFolder ? &rest : nullptr);
    for (const auto& f : staging->failures()) {
        for (std::size_t i = 0; i < files.size(); ++i) {
            if (outputFolder + "/" + files[i] != f.first && OutputFile::followLinks(outputFolder + "/" + files[i]) != f.first)
                continue;
            outcomes[i].ok = false;
            outcomes[i].error = f.second;
            outcomes[i].text.clear();
            outcomes[i].at = KelDocumentPosition{-1, -1, -1};
            ++failed;
        }
    }
    showProgress(done, total, failed, true);

    Summary s;
    s.messages = total;
    for (std::size_t i = 0; i < files.size(); ++i) {
        s.bytesIn += outcomes[i].bytesIn;
        if (outcomes[i].ok) {
            ++s.written;
            s.bytesOut += outcomes[i].bytesOut;
        } else {
            s.failures.push_back({files[i], outcomes[i].error, outcomes[i].text, outcomes[i].at.line,
                                  outcomes[i].at.column, outcomes[i].at.offset});
        }
    }
    s.failures.insert(s.failures.end(), unreachable.begin(), unreachable.end());
    std::sort(s.failures.begin(), s.failures.end(),
              [](const Failure& a, const Failure& b) { return a.file < b.file; });
    s.skipped = std::move(skipped);
    s.removed = staging->removed();
    s.leftovers = staging->leftovers();
    s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return s;
}

void BatchRunner::showProgress(unsigned long done, unsigned long total, unsigned long failed, bool last) {
    if (!iShowProgress) return;
    // Redrawn at most ten times a second: a terminal fed a line per small message slows the
    // whole batch down.
    const auto now = std::chrono::steady_clock::now();
    if (!last && now - iLastDrawn < std::chrono::milliseconds(100)) return;
    iLastDrawn = now;
    constexpr int kWidth = 30;
    const int filled = total ? static_cast<int>(kWidth * done / total) : kWidth;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kWidth, '.');
    const double seconds = std::chrono::duration<double>(now - iStart).count();
    const double rate = seconds > 0 ? done / seconds : 0;
    std::string left = "--";
    if (rate > 0) {
        const unsigned long s = static_cast<unsigned long>(std::lround((total - done) / rate));
        char buf[32];
        std::snprintf(buf, sizeof buf, "%lu:%02lu", s / 60, s % 60);
        left = buf;
    }
    // The trailing spaces wipe what a longer line drawn before left behind.
    std::fprintf(iProgress, "\r[%s] %lu/%lu messages, %lu failed, %.1f/s, %s left   ", bar.c_str(), done, total, failed,
                 rate, left.c_str());
    if (last) std::fputc('\n', iProgress);
    std::fflush(iProgress);
}

void BatchRunner::printJsonSummary(std::FILE* out, const Summary& s) {
    std::fprintf(out,
                 "{\"messages\":%lu,\"written\":%lu,\"failed\":%zu,\"bytesIn\":%llu,\"bytesOut\":%llu,"
                 "\"removed\":%lu,",
                 s.messages, s.written, s.failures.size(), s.bytesIn, s.bytesOut, s.removed);
    // Only when there are any: the object stays as it was for every run that skips nothing.
    if (!s.skipped.empty()) std::fprintf(out, "\"skipped\":%zu,", s.skipped.size());
    std::fprintf(out, "\"seconds\":%.3f,\"failures\":[", s.seconds);
    // Line, column and offset as check --json and --error-format json give them: null where the
    // failure has no place in the message.
    const auto number = [](long n) { return n < 0 ? std::string("null") : std::to_string(n); };
    for (std::size_t i = 0; i < s.failures.size(); ++i) {
        const Failure& f = s.failures[i];
        std::fprintf(out, "%s{\"file\":%s,\"message\":%s,\"line\":%s,\"column\":%s,\"offset\":%s}", i ? "," : "",
                     TreePrinter::jsonString(f.file).c_str(), TreePrinter::jsonString(f.message).c_str(),
                     number(f.line).c_str(), number(f.column).c_str(), number(f.offset).c_str());
    }
    std::fprintf(out, "]}\n");
}

void BatchRunner::printSummary(std::FILE* out, const Summary& s, bool verbose) {
    std::fprintf(out, "batch: %lu messages, %lu written, %zu failed\n", s.messages, s.written, s.failures.size());
    std::fprintf(out, "bytes: %llu in, %llu out\n", s.bytesIn, s.bytesOut);
    if (!s.skipped.empty())
        std::fprintf(out, "skipped: %zu %s (FIFO, socket or device)%s\n", s.skipped.size(),
                     s.skipped.size() == 1 ? "entry that is not a regular file" : "entries that are not regular files",
                     verbose ? "" : "; --verbose names them");
    if (verbose)
        for (const Skipped& k : s.skipped)
            std::fprintf(out, "skipped: %s: %s\n", TreePrinter::printable(k.file).c_str(), k.kind);
    if (s.removed) std::fprintf(out, "replaced: %lu files of an earlier run removed\n", s.removed);
    if (s.leftovers) std::fprintf(out, "cleared: %lu leftovers of killed runs removed\n", s.leftovers);
    const double seconds = s.seconds > 0 ? s.seconds : 1e-9;
    std::fprintf(out, "time: %.3f s, %.1f messages/s, %.2f MB/s in\n", s.seconds, s.messages / seconds,
                 static_cast<double>(s.bytesIn) / 1e6 / seconds);
    for (const Failure& f : s.failures) {
        // The line as the terminal may show it, the message too, which may quote a file's path: a
        // newline or an escape in a name forges nothing. The causes follow on their own indented
        // lines.
        const std::string message = f.text.empty() ? TreePrinter::printable(f.message) : f.text;
        std::fprintf(out, "failed: %s: %s\n", TreePrinter::printable(f.file).c_str(), message.c_str());
    }
}
