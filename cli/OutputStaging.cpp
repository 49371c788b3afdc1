#include "cli/OutputStaging.hpp"

#include "cli/OutputFile.hpp"
#include "cli/TemporaryFiles.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

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

// Numbers issued and not yet renamed or removed, for the signal handler's low mark.
std::set<unsigned long>& outstanding() {
    static std::set<unsigned long> numbers;
    return numbers;
}
} // namespace

OutputStaging::OutputStaging(const std::string& folder, bool syncEach)
    : iFolder(folder.empty() ? "." : folder),
      iPrefix(iFolder + "/" + TemporaryFiles::kMarker + std::to_string(::getpid()) + "-"),
      iSyncEach(syncEach) {
    outstanding().clear();
    TemporaryFiles::holdSeries(iPrefix);
}

OutputStaging::~OutputStaging() {
    std::lock_guard<std::mutex> lock(iMutex);
    discardLocked();
    TemporaryFiles::releaseSeries();
}

void OutputStaging::add(const std::string& path, const unsigned char* data, std::size_t length) {
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
    const std::string temporary = iPrefix + std::to_string(number);
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
    iPending.push_back({temporary, target, number});
    if (iSyncEach || iPending.size() >= kFilesPerSync) commitLocked();
}

void OutputStaging::commit() {
    std::lock_guard<std::mutex> lock(iMutex);
    commitLocked();
}

void OutputStaging::commitLocked() {
    if (iPending.empty()) return;
    // One sync of the file system brings every pending file to the disk at once; where that
    // fails, each file is synced on its own.
    if (!iSyncEach) {
        const int dir = ::open(iFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool synced = dir >= 0 && ::syncfs(dir) == 0;
        if (dir >= 0) ::close(dir);
        if (!synced) {
            for (const Staged& s : iPending) {
                if (!syncPath(s.temporary, O_RDONLY)) {
                    const int err = errno;
                    const std::string path = s.path;
                    discardLocked();
                    throw failure("write", path, err);
                }
            }
        }
    }
    std::set<std::string> folders;
    for (const Staged& s : iPending) {
        // One file that cannot take its name (a folder in its place) fails alone.
        if (std::rename(s.temporary.c_str(), s.path.c_str()) != 0) {
            iFailures.emplace_back(s.path, failure("write", s.path, errno).what());
            ::unlink(s.temporary.c_str());
        } else {
            ++iCommitted;
            folders.insert(folderOf(s.path));
        }
        outstanding().erase(s.number);
    }
    iPending.clear();
    TemporaryFiles::markSeries(outstanding().empty() ? iNext : *outstanding().begin(), iNext);
    // The renames reach the disk with their folders.
    for (const std::string& folder : folders) syncPath(folder, O_RDONLY | O_DIRECTORY);
}

void OutputStaging::discardLocked() noexcept {
    for (const Staged& s : iPending) {
        ::unlink(s.temporary.c_str());
        outstanding().erase(s.number);
    }
    iPending.clear();
}
