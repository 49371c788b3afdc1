#include "cli/OutputStaging.hpp"

#include "cli/OutputFile.hpp"
#include "cli/OutputFolder.hpp"
#include "cli/RunLeftovers.hpp"
#include "cli/TemporaryFiles.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
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
    explicit OpenFolder(int open) : fd(open) {}
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

// Levels of folders below the output folder that an exchange carries; a deeper tree is renamed
// into file by file.
constexpr int kMaxDepth = 32;

// Whether a folder below the output folder (`st`, open as `open`, named `name` in `parent`) can
// be made anew in the hidden one: on the output folder's file system and no mount point, no
// extended attributes (a new folder would not have them), the user's own and open to the user as
// writing into it file by file needs (root's: any, given its owner back).
bool recreatable(int parent, const char* name, int open, const struct stat& st, dev_t device) {
    if (st.st_dev != device) return false;
    const uid_t me = ::geteuid();
    if (me != 0 && (st.st_uid != me || (st.st_mode & S_IRWXU) != S_IRWXU)) return false;
    struct statx sx {};
    if (::statx(parent, name, AT_SYMLINK_NOFOLLOW, STATX_TYPE, &sx) == 0 &&
        (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 && (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0)
        return false;
    const ssize_t attributes = ::flistxattr(open, nullptr, 0);
    return attributes == 0 || (attributes < 0 && errno == ENOTSUP);
}

// Whether all an open folder holds can be carried into a new folder by links: files and links,
// and folders that can be made anew (recreatable()), at most kMaxDepth levels down. A device,
// FIFO or socket is left to the renames one by one.
bool carriable(int folder, dev_t device, int depth) {
    std::vector<std::string> names;
    if (!namesIn(folder, names)) return false;
    for (const std::string& name : names) {
        struct stat st {};
        if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;   // gone meanwhile
        if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) continue;
        if (!S_ISDIR(st.st_mode) || depth >= kMaxDepth) return false;
        const OpenFolder child(::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (child.fd < 0 || !recreatable(folder, name.c_str(), child.fd, st, device) ||
            !carriable(child.fd, device, depth + 1))
            return false;
    }
    return true;
}

// Whether a run into `target` can be staged whole: it is missing, or a folder of the user's own
// that one rename or exchange can put a new folder in place of (`existing` is then filled in),
// empty unless `holding` lets it hold what links and new folders can carry (carriable()).
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
    const OpenFolder folder(::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::vector<std::string> names;
    if (folder.fd < 0 || !namesIn(folder.fd, names)) return Stageable::No;
    if (names.empty()) return Stageable::Empty;
    return holding && carriable(folder.fd, existing.st_dev, 0) ? Stageable::Holding : Stageable::No;
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
      iReplacing(replacing),
      iFolderLock(RunLeftovers::holdFolder(iFolder)) {
    outstanding().clear();
    TemporaryFiles::holdSeries(iPrefix);
}

OutputStaging::OutputStaging(const std::string& folder, std::string stage, std::string target)
    : iFolder(folder.empty() ? "." : folder),
      iSyncEach(false),
      iFolderLock(RunLeftovers::holdFolder(target)),
      iStageLock(RunLeftovers::holdFolder(stage)),
      iStage(std::move(stage)),
      iTarget(std::move(target)) {}

std::unique_ptr<OutputStaging> OutputStaging::forFolder(const std::string& folder, bool syncEach, bool replace,
                                                        const char* option) {
    const std::string target = withoutTrailingSlashes(folder.empty() ? "." : folder);
    // What a killed run left beside the folder or in it goes first: an earlier run's temporary
    // file would make an empty folder one that holds files.
    const unsigned long leftovers = RunLeftovers::clear(target);
    struct stat existing {};
    bool exists = false;
    const Stageable how = syncEach ? Stageable::No : stageable(target, existing, exists, replace);
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
                staging->iLeftovers = leftovers;
                return staging;
            }
            ::rmdir(stage.c_str());
        }
        TemporaryFiles::releaseFolder();
    }
    const bool holdsFiles = OutputFolder::prepare(folder, replace, option);
    auto staging = std::make_unique<OutputStaging>(folder, syncEach, holdsFiles);
    staging->iLeftovers = leftovers;
    return staging;
}

OutputStaging::~OutputStaging() {
    std::lock_guard<std::mutex> lock(iMutex);
    if (whole()) {
        if (!iPublished) TemporaryFiles::removeFolder(iStage.c_str());
        TemporaryFiles::releaseFolder();
    } else {
        discardLocked();
        TemporaryFiles::releaseSeries();
    }
    // The folders are let go only once nothing of the run is left in them.
    for (const int fd : {iFolderLock, iStageLock})
        if (fd >= 0) ::close(fd);
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

namespace {
// The new tree built in the hidden folder from the earlier one (OutputStaging::exchangeLocked).
struct NewTree {
    const OutputStaging::Rest* rest;
    const std::set<std::string>* written;   // the run's files, by their names below the folder
    const std::set<std::string>* made;      // the folders the run made below the hidden folder
    dev_t device;
    // Every name read in the earlier tree, and whether it was a folder: what it held then goes
    // with it after the exchange, what came later is moved.
    std::map<std::string, bool> seen;
    // The folders of the new tree that stand for earlier ones, with the earlier one's owner and
    // mode, given once the tree is built.
    std::vector<std::pair<std::string, struct stat>> folders;
    unsigned long going = 0;   // files of the earlier run that are not carried over
};

bool buildTree(NewTree& tree, int earlier, int staged, const std::string& prefix, int depth, bool keepAll);

// A folder of the earlier tree (`name`, at `path`), made anew in the new one (or the run's own
// folder of that name used), and what it holds carried into it.
bool carryFolder(NewTree& tree, int earlier, int staged, const std::string& name, const std::string& path,
                 const struct stat& st, int depth, bool keepAll) {
    if (depth >= kMaxDepth || tree.written->count(path)) return false;
    const OpenFolder from(::openat(earlier, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (from.fd < 0 || !recreatable(earlier, name.c_str(), from.fd, st, tree.device)) return false;
    // Open to the user until the tree is built; its own mode and owner come after.
    if (!tree.made->count(path) && ::mkdirat(staged, name.c_str(), 0700) != 0) return false;
    const OpenFolder to(::openat(staged, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (to.fd < 0) return false;
    tree.folders.emplace_back(path, st);
    // A run that removes nothing below the top folder (or nothing in the input folder that lies
    // inside) keeps all such a folder holds.
    const bool keepBelow = keepAll || (tree.rest != nullptr && !tree.rest->below) ||
                           (tree.rest != nullptr && tree.rest->skip == OutputFolder::FileId{st.st_dev, st.st_ino});
    return buildTree(tree, from.fd, to.fd, path + "/", depth + 1, keepBelow);
}

// A file or link of the earlier tree: the run's file of its name takes its mode, or it is linked
// into the new tree to be kept, or left to go.
bool carryFile(NewTree& tree, int earlier, int staged, const std::string& name, const std::string& path,
               const struct stat& st, bool keepAll) {
    if (tree.made->count(path) || !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) return false;
    if (tree.written->count(path))
        return !S_ISLNK(st.st_mode) && ::fchmodat(staged, name.c_str(), st.st_mode & 0777, 0) == 0;
    const OutputStaging::Rest* rest = tree.rest;
    bool keep = keepAll || rest == nullptr || rest->keep.count({st.st_dev, st.st_ino}) != 0;
    struct stat target {};
    if (!keep && S_ISLNK(st.st_mode) && ::fstatat(earlier, name.c_str(), &target, 0) == 0)
        keep = rest->keep.count({target.st_dev, target.st_ino}) != 0;
    if (!keep) {
        ++tree.going;
        return true;
    }
    return ::linkat(earlier, name.c_str(), staged, name.c_str(), 0) == 0;
}

// Carries one folder of the earlier tree into its place in the new one: every file to keep is
// linked (linked, not moved: it has its name in the output folder whichever of the two that is
// when a crash comes), every folder made anew (`keepAll` below a folder whose files all stay),
// a file the run replaces lends the run's file its mode. False where a link cannot carry it:
// a folder where the run writes a file, a link or file where it made a folder or at a name it
// writes (followed, file by file), a device, FIFO or socket, a folder not recreatable() or too
// deep, a file that cannot be linked.
bool buildTree(NewTree& tree, int earlier, int staged, const std::string& prefix, int depth, bool keepAll) {
    std::vector<std::string> names;
    if (!namesIn(earlier, names)) return false;
    for (const std::string& name : names) {
        const std::string path = prefix + name;
        struct stat st {};
        if (::fstatat(earlier, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;   // gone meanwhile
        tree.seen[path] = S_ISDIR(st.st_mode);
        const bool carried = S_ISDIR(st.st_mode) ? carryFolder(tree, earlier, staged, name, path, st, depth, keepAll)
                                                 : carryFile(tree, earlier, staged, name, path, st, keepAll);
        if (!carried) return false;
    }
    return true;
}

// Gives the folders of the new tree the owner and mode of the earlier ones they stand for,
// deepest first; false when one cannot have them (another user's, a group the user is not in).
bool giveOwnersAndModes(int staged, const NewTree& tree) {
    for (auto f = tree.folders.rbegin(); f != tree.folders.rend(); ++f) {
        const char* path = f->first.c_str();
        const struct stat& want = f->second;
        struct stat now {};
        if (::fstatat(staged, path, &now, AT_SYMLINK_NOFOLLOW) != 0) return false;
        if ((now.st_uid != want.st_uid || now.st_gid != want.st_gid) &&
            ::fchownat(staged, path, want.st_uid, want.st_gid, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        if (::fchmodat(staged, path, want.st_mode & 07777, 0) != 0 ||
            ::fstatat(staged, path, &now, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        if ((now.st_mode & 07777) != (want.st_mode & 07777) || now.st_uid != want.st_uid || now.st_gid != want.st_gid)
            return false;
    }
    return true;
}

// Empties a folder of the earlier tree, now below the hidden name: what it held when it was read
// goes, what came into it since is nobody's to remove and moves into the same place in the new
// tree (never over what is there), or stays in the hidden folder, which is then left.
void clearEarlier(int earlier, int published, const std::string& prefix, const std::map<std::string, bool>& seen,
                  dev_t device, int depth) {
    std::vector<std::string> names;
    namesIn(earlier, names);
    bool moved = false;
    for (const std::string& name : names) {
        struct stat st {};
        if (::fstatat(earlier, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        const auto read = seen.find(prefix + name);
        if (read != seen.end() && read->second == S_ISDIR(st.st_mode)) {
            if (!S_ISDIR(st.st_mode)) {
                ::unlinkat(earlier, name.c_str(), 0);
                continue;
            }
            const OpenFolder from(::openat(earlier, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            const OpenFolder to(published < 0 ? -1
                                              : ::openat(published, name.c_str(),
                                                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            struct stat open {};
            // A file system mounted there since is never entered.
            if (from.fd < 0 || depth >= kMaxDepth || ::fstat(from.fd, &open) != 0 || open.st_dev != device) continue;
            clearEarlier(from.fd, to.fd, prefix + name + "/", seen, device, depth + 1);
            ::unlinkat(earlier, name.c_str(), AT_REMOVEDIR);
            continue;
        }
        if (published >= 0 && renameWith(earlier, name.c_str(), published, name.c_str(), RENAME_NOREPLACE) == 0)
            moved = true;
    }
    if (moved) ::fsync(published);
}
} // namespace

void OutputStaging::exchangeLocked(const Rest* rest, bool allOrNothing) {
    if (iPublished) return;
    const OpenFolder earlier(iTarget);
    const OpenFolder staged(iStage);
    std::set<std::string> written;
    for (const auto& n : iNames) written.insert(n.first);
    struct stat top {};
    NewTree tree{rest, &written, &iFolders, 0, {}, {}, 0};
    bool exchangeable = earlier.fd >= 0 && staged.fd >= 0 && ::fstat(earlier.fd, &top) == 0;
    if (exchangeable) {
        tree.device = top.st_dev;
        exchangeable = buildTree(tree, earlier.fd, staged.fd, std::string(), 0, false) &&
                       giveOwnersAndModes(staged.fd, tree);
    }
    if (exchangeable) {
        // Every file and link of the new tree reaches the disk, then its folders' entries, and
        // only then do the two folders trade names.
        syncWholeLocked();
        std::set<std::string> folders(iFolders);
        for (const auto& f : tree.folders) folders.insert(f.first);
        for (const std::string& folder : folders) {
            const OpenFolder below(::openat(staged.fd, folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (below.fd < 0 || ::fsync(below.fd) != 0) throw failure("write", iTarget + "/" + folder, errno);
        }
        if (::fsync(staged.fd) != 0) throw failure("write", iTarget, errno);
        exchangeable = renameWith(AT_FDCWD, iStage.c_str(), AT_FDCWD, iTarget.c_str(), RENAME_EXCHANGE) == 0;
    }
    if (!exchangeable) {
        // The files are renamed from the hidden folder one by one; what was linked and made
        // for the exchange goes with it (the folders open to the user again, so it can).
        if (staged.fd >= 0)
            for (const auto& f : tree.folders) ::fchmodat(staged.fd, f.first.c_str(), 0700, 0);
        return publishEachLocked(rest, allOrNothing);
    }
    iPublished = true;
    iCommitted = iNext;
    iRemoved += tree.going;
    syncPath(folderOf(iTarget), O_RDONLY | O_DIRECTORY);
    // The earlier folder now has the hidden name (and this run's lock, so that no other run
    // takes it for a killed run's leftover while it is emptied).
    clearEarlier(earlier.fd, staged.fd, std::string(), tree.seen, tree.device, 0);
    if (::rmdir(iStage.c_str()) != 0 && (errno == ENOTEMPTY || errno == EEXIST)) keepLateArrivals();
    TemporaryFiles::releaseFolder();
}

void OutputStaging::keepLateArrivals() {
    // What came into the folder during the run under a name the run wrote is nobody's to
    // remove: the earlier folder that holds it takes a name a later run never clears as a
    // killed run's leftover, and the user is told where it is.
    static std::atomic<unsigned long> counter{0};
    const std::string kept = folderOf(iTarget) + "/.quarn-kept-" + std::to_string(::getpid()) + "-" +
                             std::to_string(++counter);
    const bool renamed = renameWith(AT_FDCWD, iStage.c_str(), AT_FDCWD, kept.c_str(), RENAME_NOREPLACE) == 0;
    std::fprintf(stderr, "quarn: files that came into %s during the run under names it wrote are kept in %s\n",
                 iTarget.c_str(), renamed ? kept.c_str() : iStage.c_str());
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
    // The folders below that the run made are made in the output folder as file by file makes
    // them (one already there, or a link to one, is written into).
    for (const std::string& folder : iFolders) ::mkdir((iTarget + "/" + folder).c_str(), 0777);
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
