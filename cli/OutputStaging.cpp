#include "cli/OutputStaging.hpp"

#include "cli/OutputFile.hpp"
#include "cli/OutputFolder.hpp"
#include "cli/TemporaryFiles.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <set>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif
#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

namespace {
const auto failure = &OutputFile::failure;
const auto writeAll = &OutputFile::writeAll;
const auto folderOf = &OutputFile::folderOf;

bool syncPath(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// Whether a run into `target` can be staged whole: it is missing, or a folder of the user's own
// that one rename or exchange can put a new folder in place of (`existing` is then filled in),
// empty unless `holding` lets it hold files (folders in it would have to move along: not staged).
enum class Stageable { No, Empty, Holding };
Stageable stageable(const std::string& target, struct stat& existing, bool& exists, bool holding) {
    const std::size_t slash = target.rfind('/');
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.empty() || base == "." || base == "..") return Stageable::No;
    exists = ::lstat(target.c_str(), &existing) == 0;
    if (!exists) return errno == ENOENT ? Stageable::Empty : Stageable::No;
    // A link would be replaced by the folder, a mount point cannot be, a folder the user may not
    // write into stays as it is (the run fails as it would have), and what the file system keeps
    // beside the mode (access lists, labels) would be lost.
    if (!S_ISDIR(existing.st_mode) || existing.st_uid != ::geteuid()) return Stageable::No;
    if (::access(target.c_str(), W_OK | X_OK) != 0) return Stageable::No;
    struct stat parent {};
    if (::stat(folderOf(target).c_str(), &parent) != 0 || parent.st_dev != existing.st_dev) return Stageable::No;
    const ssize_t attributes = ::llistxattr(target.c_str(), nullptr, 0);
    if (attributes != 0 && !(attributes < 0 && errno == ENOTSUP)) return Stageable::No;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(target.c_str()), &::closedir);
    if (!dir) return Stageable::No;
    Stageable found = Stageable::Empty;
    while (const dirent* entry = ::readdir(dir.get())) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        if (!holding) return Stageable::No;
        struct stat st {};
        if (::fstatat(::dirfd(dir.get()), name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode))
            return Stageable::No;
        found = Stageable::Holding;
    }
    return found;
}

// renameat2(), called directly: older C libraries have no wrapper for it.
int renameWith(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
#ifdef SYS_renameat2
    return static_cast<int>(::syscall(SYS_renameat2, fromDir, from, toDir, to, flags));
#else
    (void)fromDir, (void)from, (void)toDir, (void)to, (void)flags;
    errno = ENOSYS;
    return -1;
#endif
}

// An open folder, closed at the end of the scope.
struct OpenFolder {
    explicit OpenFolder(const std::string& path) : fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
    ~OpenFolder() {
        if (fd >= 0) ::close(fd);
    }
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;
    const int fd;
};

// The names in an open folder (without "." and ".."), read at once; false when it cannot be read.
bool namesIn(int folder, std::vector<std::string>& names) {
    const int copy = ::dup(folder);
    DIR* dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (dir == nullptr) {
        if (copy >= 0) ::close(copy);
        return false;
    }
    ::rewinddir(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) names.emplace_back(name);
    }
    ::closedir(dir);
    return true;
}

// The new folder takes the empty one's place: it gets its group and mode, or is not used.
bool takeOn(const std::string& stage, const struct stat& existing) {
    struct stat st {};
    if (::stat(stage.c_str(), &st) != 0) return false;
    if (st.st_gid != existing.st_gid && ::chown(stage.c_str(), static_cast<uid_t>(-1), existing.st_gid) != 0)
        return false;
    if (::chmod(stage.c_str(), existing.st_mode & 07777) != 0 || ::stat(stage.c_str(), &st) != 0) return false;
    return (st.st_mode & 07777) == (existing.st_mode & 07777) && st.st_gid == existing.st_gid;
}

// SIGINT and SIGTERM wait while the files of a run that replaces a folder's contents take their
// names and the earlier ones go: an interrupt then would leave the two runs mixed. The run is the
// process's one thread by then; a signal that came meanwhile is taken when it ends.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t held;
        ::sigemptyset(&held);
        ::sigaddset(&held, SIGINT);
        ::sigaddset(&held, SIGTERM);
        ::pthread_sigmask(SIG_BLOCK, &held, &iPrevious);
    }
    ~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &iPrevious, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t iPrevious;
};

// Numbers issued and not yet renamed or removed, for the signal handler's low mark.
std::set<unsigned long>& outstanding() {
    static std::set<unsigned long> numbers;
    return numbers;
}
} // namespace

OutputStaging::OutputStaging(const std::string& folder, bool syncEach, bool replacing)
    : iFolder(folder.empty() ? "." : folder),
      iPrefix(iFolder + "/" + TemporaryFiles::kMarker + std::to_string(::getpid()) + "-"),
      iSyncEach(syncEach),
      iReplacing(replacing) {
    outstanding().clear();
    TemporaryFiles::holdSeries(iPrefix);
}

OutputStaging::OutputStaging(const std::string& folder, std::string stage, std::string target)
    : iFolder(folder.empty() ? "." : folder), iSyncEach(false), iStage(std::move(stage)), iTarget(std::move(target)) {}

std::unique_ptr<OutputStaging> OutputStaging::forFolder(const std::string& folder, bool syncEach, bool replace,
                                                        const char* option, bool below) {
    const std::string target = withoutTrailingSlashes(folder.empty() ? "." : folder);
    struct stat existing {};
    bool exists = false;
    const Stageable how = syncEach ? Stageable::No : stageable(target, existing, exists, replace && !below);
    if (how != Stageable::No) {
        static std::atomic<unsigned long> counter{0};
        std::string stage = folderOf(target) + "/" + TemporaryFiles::kMarker + std::to_string(::getpid()) + "-d" +
                            std::to_string(++counter);
        // Held before it exists, so that no signal leaves it behind.
        TemporaryFiles::holdFolder(stage);
        if (::mkdir(stage.c_str(), 0777) == 0) {
            if (!exists || takeOn(stage, existing)) {
                std::unique_ptr<OutputStaging> staging(new OutputStaging(folder, std::move(stage), target));
                // The folder's files are swapped out only once the run has succeeded.
                staging->iExchange = staging->iReplacing = how == Stageable::Holding;
                return staging;
            }
            ::rmdir(stage.c_str());
        }
        TemporaryFiles::releaseFolder();
    }
    const bool holdsFiles = OutputFolder::prepare(folder, replace, option);
    return std::make_unique<OutputStaging>(folder, syncEach, holdsFiles);
}

OutputStaging::~OutputStaging() {
    std::lock_guard<std::mutex> lock(iMutex);
    if (whole()) {
        if (!iPublished) TemporaryFiles::removeFolder(iStage.c_str());
        TemporaryFiles::releaseFolder();
        return;
    }
    discardLocked();
    TemporaryFiles::releaseSeries();
}

void OutputStaging::addWhole(const std::string& path, const unsigned char* data, std::size_t length) {
    const std::string top = iTarget + "/";
    std::size_t from = top.size();
    if (path.compare(0, top.size(), top) != 0) throw std::logic_error("not a file in the staged folder: " + path);
    while (from < path.size() && path[from] == '/') ++from;
    const std::string name = path.substr(from);
    if (name.empty() || name.back() == '/') throw std::logic_error("not a file in the staged folder: " + path);
    // The folders a file below needs are made in the hidden folder as the first file needs them.
    for (std::size_t slash = name.find('/'); slash != std::string::npos; slash = name.find('/', slash + 1)) {
        const std::string folder = name.substr(0, slash);
        std::lock_guard<std::mutex> lock(iMutex);
        if (iFolders.count(folder)) continue;
        if (::mkdir((iStage + "/" + folder).c_str(), 0777) != 0 && errno != EEXIST) throw failure("write", path, errno);
        iFolders.insert(folder);
    }
    // The folder is new and the run's own: each file goes straight to its name in it, with the
    // mode any program would give a new file.
    const int fd = ::open((iStage + "/" + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    int err = errno;
    bool ok = fd >= 0;
    if (ok && !writeAll(fd, data, length)) ok = false, err = errno;
    if (fd >= 0 && ::close(fd) != 0 && ok) ok = false, err = errno;
    // A file that failed is not left in the folder for the run's other files (batch goes on).
    if (!ok) {
        if (fd >= 0) ::unlink((iStage + "/" + name).c_str());
        throw failure("write", path, err);
    }
    std::lock_guard<std::mutex> lock(iMutex);
    if (iPublished) throw std::logic_error("a file added after the folder was committed: " + path);
    ++iNext;
    iUnsynced.push_back(name);
    if (iExchange) iNames.emplace_back(name, path);
    if (iUnsynced.size() >= kFilesPerSync) syncWholeLocked();
}

void OutputStaging::syncWholeLocked() {
    const int dir = ::open(iStage.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = dir >= 0 && ::syncfs(dir) == 0;
    if (dir >= 0) ::close(dir);
    if (!synced) {
        for (const std::string& name : iUnsynced)
            if (!syncPath(iStage + "/" + name, O_RDONLY)) throw failure("write", iTarget + "/" + name, errno);
    }
    iUnsynced.clear();
}

void OutputStaging::publishLocked() {
    if (iPublished) return;
    syncWholeLocked();
    // The folder's entries reach the disk, then the one rename that makes it the output, then
    // that rename. A folder that took the name meanwhile (with files in it) fails the run, and the
    // staged files go with the hidden folder.
    for (const std::string& folder : iFolders) syncPath(iStage + "/" + folder, O_RDONLY | O_DIRECTORY);
    syncPath(iStage, O_RDONLY | O_DIRECTORY);
    if (std::rename(iStage.c_str(), iTarget.c_str()) != 0) throw failure("write", iTarget, errno);
    iPublished = true;
    iCommitted = iNext;
    TemporaryFiles::releaseFolder();
    syncPath(folderOf(iTarget), O_RDONLY | O_DIRECTORY);
}

void OutputStaging::exchangeLocked(const Rest* rest, bool allOrNothing) {
    if (iPublished) return;
    const OpenFolder earlier(iTarget);
    const OpenFolder staged(iStage);
    std::set<std::string> written;
    for (const auto& n : iNames) written.insert(n.first);
    // What the folder holds now: each entry is replaced by the run's file of that name, linked
    // into the new folder to be kept (linked, not moved: it has its name in the output folder
    // whichever of the two that is when a crash comes), or left to go with the earlier folder.
    std::vector<std::string> names;
    bool exchangeable = earlier.fd >= 0 && staged.fd >= 0 && namesIn(earlier.fd, names);
    std::set<std::string> seen;
    std::vector<std::string> linked;
    unsigned long going = 0;
    for (const std::string& name : names) {
        if (!exchangeable) break;
        struct stat link {};
        if (::fstatat(earlier.fd, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0) continue;   // gone meanwhile
        seen.insert(name);
        // A folder would have to move along, and a link at a name the run writes is followed to
        // the file it names: both are for the renames one by one.
        if (S_ISDIR(link.st_mode)) {
            exchangeable = false;
        } else if (written.count(name)) {
            // The run's file gets the mode of the file it replaces.
            if (S_ISLNK(link.st_mode) ||
                (S_ISREG(link.st_mode) && ::fchmodat(staged.fd, name.c_str(), link.st_mode & 0777, 0) != 0))
                exchangeable = false;
        } else {
            bool keep = rest == nullptr || rest->keep.count({link.st_dev, link.st_ino}) != 0;
            struct stat target {};
            if (!keep && S_ISLNK(link.st_mode) && ::fstatat(earlier.fd, name.c_str(), &target, 0) == 0)
                keep = rest->keep.count({target.st_dev, target.st_ino}) != 0;
            if (!keep) {
                ++going;
            } else if (::linkat(earlier.fd, name.c_str(), staged.fd, name.c_str(), 0) == 0) {
                linked.push_back(name);
            } else {
                exchangeable = false;
            }
        }
    }
    if (exchangeable) {
        // Every file and link of the new folder reaches the disk, then its entries, and only then
        // do the two folders trade names.
        syncWholeLocked();
        if (::fsync(staged.fd) != 0) throw failure("write", iTarget, errno);
        exchangeable = renameWith(AT_FDCWD, iStage.c_str(), AT_FDCWD, iTarget.c_str(), RENAME_EXCHANGE) == 0;
    }
    if (!exchangeable) {
        for (const std::string& name : linked) ::unlinkat(staged.fd, name.c_str(), 0);
        return publishEachLocked(rest, allOrNothing);
    }
    iPublished = true;
    iCommitted = iNext;
    iRemoved += going;
    syncPath(folderOf(iTarget), O_RDONLY | O_DIRECTORY);
    clearEarlierLocked(earlier.fd, staged.fd, seen);
    TemporaryFiles::releaseFolder();
}

void OutputStaging::clearEarlierLocked(int earlier, int published, const std::set<std::string>& seen) {
    // The earlier folder now has the hidden name. What it held when it was read goes; what came
    // into it since is nobody's to remove: it moves into the output folder (never over a file of
    // the run), or stays in the hidden folder, which is then left.
    std::vector<std::string> names;
    namesIn(earlier, names);
    bool moved = false;
    for (const std::string& name : names) {
        if (seen.count(name) && ::unlinkat(earlier, name.c_str(), 0) == 0) continue;
        if (!seen.count(name) && renameWith(earlier, name.c_str(), published, name.c_str(), RENAME_NOREPLACE) == 0)
            moved = true;
    }
    if (moved) ::fsync(published);
    ::rmdir(iStage.c_str());
}

void OutputStaging::publishEachLocked(const Rest* rest, bool allOrNothing) {
    // The files go from the hidden folder to their names one after the other, as file by file:
    // a folder at a record's name fails a run of one piece before any is renamed.
    syncWholeLocked();
    if (allOrNothing) {
        for (const auto& n : iNames) {
            struct stat there {};
            if (::lstat(n.second.c_str(), &there) == 0 && S_ISDIR(there.st_mode)) throw failure("write", n.second, EISDIR);
        }
    }
    std::set<std::string> folders;
    for (const auto& n : iNames) {
        const std::string from = iStage + "/" + n.first;
        struct stat original {};
        bool exists = ::lstat(n.second.c_str(), &original) == 0;
        const std::string target = exists && S_ISLNK(original.st_mode) ? OutputFile::followLinks(n.second) : n.second;
        if (target != n.second) exists = ::stat(target.c_str(), &original) == 0;
        if (exists && S_ISREG(original.st_mode)) ::chmod(from.c_str(), original.st_mode & 0777);
        if (std::rename(from.c_str(), target.c_str()) != 0) {
            iFailures.emplace_back(target, failure("write", target, errno).what());
            ::unlink(from.c_str());
        } else {
            ++iCommitted;
            iWritten.insert(n.second);
            folders.insert(folderOf(target));
        }
    }
    for (const std::string& folder : folders) syncPath(folder, O_RDONLY | O_DIRECTORY);
    iPublished = true;
    TemporaryFiles::removeFolder(iStage.c_str());
    TemporaryFiles::releaseFolder();
    if (rest && !(allOrNothing && !iFailures.empty())) removeRestLocked(*rest);
}

void OutputStaging::abandon() {
    std::lock_guard<std::mutex> lock(iMutex);
    if (whole()) {
        if (!iPublished) TemporaryFiles::removeFolder(iStage.c_str());
        return;
    }
    if (iReplacing) return discardLocked();
    commitLocked();
}

void OutputStaging::add(const std::string& path, const unsigned char* data, std::size_t length) {
    if (whole()) return addWhole(path, data, length);
    // One look at the name: a new file (the usual case) needs nothing more.
    struct stat original {};
    bool exists = ::lstat(path.c_str(), &original) == 0;
    const std::string target = exists && S_ISLNK(original.st_mode) ? OutputFile::followLinks(path) : path;
    if (target != path) exists = ::stat(target.c_str(), &original) == 0;
    exists = exists && S_ISREG(original.st_mode);
    unsigned long number;
    {
        std::lock_guard<std::mutex> lock(iMutex);
        number = iNext++;
        outstanding().insert(number);
        TemporaryFiles::markSeries(*outstanding().begin(), iNext);
    }
    const std::string temporary = temporaryOf(number);
    // A new file is created with the mode any program would give it (the mask applies); one that
    // replaces a file gets that file's mode.
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, exists ? 0600 : 0666);
    int err = errno;
    bool ok = fd >= 0;
    if (ok && !writeAll(fd, data, length)) ok = false, err = errno;
    if (ok && exists && ::fchmod(fd, original.st_mode & 0777) != 0) ok = false, err = errno;
    if (ok && iSyncEach && ::fsync(fd) != 0) ok = false, err = errno;
    if (fd >= 0 && ::close(fd) != 0 && ok) ok = false, err = errno;
    std::lock_guard<std::mutex> lock(iMutex);
    if (!ok) {
        ::unlink(temporary.c_str());
        outstanding().erase(number);
        throw failure("write", path, err);
    }
    iPending.push_back({path, target, number});
    if (iSyncEach) iSynced = iPending.size();
    // Replacing, the files keep their temporary names until the run has succeeded.
    if (iReplacing) {
        if (iPending.size() - iSynced >= kFilesPerSync) syncPendingLocked();
        return;
    }
    if (iSyncEach || iPending.size() >= kFilesPerSync) commitLocked();
}

void OutputStaging::commit(const Rest* rest, bool allOrNothing) {
    std::lock_guard<std::mutex> lock(iMutex);
    if (whole() && iExchange) {
        const SignalsHeld held;
        return exchangeLocked(rest, allOrNothing);
    }
    if (whole()) return publishLocked();
    if (iReplacing) {
        syncPendingLocked();
        const SignalsHeld held;
        replaceLocked(allOrNothing);
        // A run of one piece that could not rename a file has failed: the earlier files stay.
        if (rest && !(allOrNothing && !iFailures.empty())) removeRestLocked(*rest);
        return;
    }
    commitLocked();
    if (rest) removeRestLocked(*rest);
}

void OutputStaging::syncPendingLocked() {
    if (iSynced == iPending.size()) return;
    // One sync of the file system brings every pending file to the disk at once; where that
    // fails, each file is synced on its own.
    const int dir = ::open(iFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = dir >= 0 && ::syncfs(dir) == 0;
    if (dir >= 0) ::close(dir);
    if (!synced) {
        for (std::size_t i = iSynced; i < iPending.size(); ++i) {
            if (!syncPath(temporaryOf(iPending[i].number), O_RDONLY)) {
                const int err = errno;
                const std::string path = iPending[i].path;
                discardLocked();
                throw failure("write", path, err);
            }
        }
    }
    iSynced = iPending.size();
}

void OutputStaging::commitLocked() {
    if (iPending.empty()) return;
    syncPendingLocked();
    std::set<std::string> folders;
    for (const Staged& s : iPending) {
        // One file that cannot take its name (a folder in its place) fails alone.
        const std::string temporary = temporaryOf(s.number);
        if (std::rename(temporary.c_str(), s.path.c_str()) != 0) {
            iFailures.emplace_back(s.path, failure("write", s.path, errno).what());
            ::unlink(temporary.c_str());
        } else {
            ++iCommitted;
            iWritten.insert(s.given);
            folders.insert(folderOf(s.path));
        }
        outstanding().erase(s.number);
    }
    iPending.clear();
    iSynced = 0;
    TemporaryFiles::markSeries(outstanding().empty() ? iNext : *outstanding().begin(), iNext);
    // The renames reach the disk with their folders.
    for (const std::string& folder : folders) syncPath(folder, O_RDONLY | O_DIRECTORY);
}

void OutputStaging::replaceLocked(bool allOrNothing) {
    // A folder where a file goes cannot be replaced by it. Found before anything is renamed, a run
    // of one piece then fails with the folder as it was; otherwise that file fails alone.
    if (allOrNothing) {
        for (const Staged& s : iPending) {
            struct stat there {};
            if (::lstat(s.path.c_str(), &there) == 0 && S_ISDIR(there.st_mode)) {
                const OutputFile::Failure refused = failure("write", s.path, EISDIR);
                discardLocked();
                throw refused;
            }
        }
    }
    commitLocked();
}

void OutputStaging::removeRestLocked(const Rest& rest) {
    iRemoved += OutputFolder::sweep(iFolder, iWritten, rest.keep, rest.below,
                                    rest.skip == OutputFolder::FileId{0, 0} ? nullptr : &rest.skip);
    // The removals reach the disk with the folder.
    if (iRemoved != 0) syncPath(iFolder, O_RDONLY | O_DIRECTORY);
}

void OutputStaging::discardLocked() noexcept {
    for (const Staged& s : iPending) {
        ::unlink(temporaryOf(s.number).c_str());
        outstanding().erase(s.number);
    }
    iPending.clear();
    iSynced = 0;
}
