#include "cli/RunLeftovers.hpp"

#include "cli/OutputFile.hpp"
#include "cli/TemporaryFiles.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
// A decimal number of `digits` from `at`, without a leading zero (but "0" itself when `zero`);
// `at` is moved past it. -1 when there is none or it is too long.
long long numberAt(const std::string& name, std::size_t& at, bool zero) {
    const std::size_t from = at;
    while (at < name.size() && name[at] >= '0' && name[at] <= '9') ++at;
    const std::size_t digits = at - from;
    if (digits == 0 || digits > 18 || (name[from] == '0' && !(zero && digits == 1))) return -1;
    return std::stoll(name.substr(from, digits));
}

// The process of a leftover's name when it has exactly the form quarn gives it: the marker, the
// process number, '-', `kind` (or nothing), then the run's number.
long ownerOf(const std::string& name, const char* kind) {
    const std::string marker = TemporaryFiles::kMarker;
    if (name.compare(0, marker.size(), marker) != 0) return 0;
    std::size_t at = marker.size();
    const long long pid = numberAt(name, at, false);
    if (pid <= 0 || pid > INT_MAX || at >= name.size() || name[at] != '-') return 0;
    ++at;
    const std::size_t kindLength = std::strlen(kind);
    if (name.compare(at, kindLength, kind) != 0) return 0;
    at += kindLength;
    // A hidden folder's number starts at 1; a temporary file's at 0.
    if (numberAt(name, at, kindLength == 0) < 0 || at != name.size()) return 0;
    return static_cast<long>(pid);
}

// True when no process has the number `pid`: the run that made the name is gone. A process of
// that number (the run, or another that took its number since) keeps the name where it is.
bool gone(long pid) {
    if (pid == static_cast<long>(::getpid())) return false;
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

std::vector<std::string> namesIn(int folder) {
    std::vector<std::string> names;
    const int copy = ::dup(folder);
    DIR* dir = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (dir == nullptr) {
        if (copy >= 0) ::close(copy);
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, std::strlen(TemporaryFiles::kMarker), TemporaryFiles::kMarker) == 0) names.push_back(name);
    }
    ::closedir(dir);
    return names;
}
} // namespace

long RunLeftovers::hiddenFolderOwner(const std::string& name) { return ownerOf(name, "d"); }

long RunLeftovers::temporaryFileOwner(const std::string& name) { return ownerOf(name, ""); }

int RunLeftovers::holdFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    // A later run holds the folder exclusively only while it removes what killed runs left in
    // it: a short wait, bounded all the same (some other program may lock folders too).
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (::flock(fd, LOCK_SH | LOCK_NB) == 0 || errno != EWOULDBLOCK) break;
        ::usleep(5000);
    }
    return fd;
}

unsigned long RunLeftovers::clear(const std::string& target) {
    unsigned long removed = 0;
    // Temporary files in the output folder: only while no live run holds the folder.
    const int folder = ::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        if (::flock(folder, LOCK_EX | LOCK_NB) == 0) {
            for (const std::string& name : namesIn(folder)) {
                struct stat st {};
                const long pid = temporaryFileOwner(name);
                if (pid == 0 || !gone(pid) || ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                    !S_ISREG(st.st_mode))
                    continue;
                if (::unlinkat(folder, name.c_str(), 0) == 0) ++removed;
            }
            ::flock(folder, LOCK_UN);
        }
        ::close(folder);
    }
    // Hidden folders beside it: a folder of the name's form, entered without following a link,
    // on the parent's file system, that no live run holds.
    const int parent = ::open(OutputFile::folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0) return removed;
    struct stat parentStat {};
    const bool parentKnown = ::fstat(parent, &parentStat) == 0;
    for (const std::string& name : namesIn(parent)) {
        const long pid = hiddenFolderOwner(name);
        if (pid == 0 || !gone(pid) || !parentKnown) continue;
        const int hidden = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (hidden < 0) continue;
        struct stat st {};
        struct statx sx {};
        const bool mountPoint = ::statx(parent, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE, &sx) == 0 &&
                                (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                                (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
        if (!mountPoint && ::flock(hidden, LOCK_EX | LOCK_NB) == 0 && ::fstat(hidden, &st) == 0 &&
            st.st_dev == parentStat.st_dev) {
            TemporaryFiles::emptyFolder(hidden);
            if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0) ++removed;
        }
        ::close(hidden);
    }
    ::close(parent);
    return removed;
}
