#include "host/KelOutputFile.hpp"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
using Shared = KelOutputFile;
const auto failure = &Shared::failure;
const auto writeAll = &Shared::writeAll;

// Into something that is not a regular file (a device, a FIFO): as it is, without truncating.
void writeInPlace(const std::string& path, const unsigned char* data, std::size_t length) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) throw failure("write", path, errno);
    const bool ok = writeAll(fd, data, length);
    const int err = errno;
    if (::close(fd) != 0 && ok) throw failure("write", path, errno);
    if (!ok) throw failure("write", path, err);
}
} // namespace

std::string KelOutputFile::followLinks(const std::string& path) {
    std::string current = path;
    // As many links as the system follows itself; a loop is left to the caller's stat (ELOOP).
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1, '\0');
        const ssize_t n = ::readlink(current.c_str(), &target[0], target.size());
        if (n < 0 || static_cast<std::size_t>(n) >= target.size()) return current;
        target.resize(static_cast<std::size_t>(n));
        current = target[0] == '/' ? target : folderOf(current) + "/" + target;
    }
    return current;
}

void KelOutputFile::write(const std::string& path, const unsigned char* data, std::size_t length, Watch* watch) {
    const std::string target = followLinks(path);
    struct stat original {};
    const bool exists = ::stat(target.c_str(), &original) == 0;
    // A loop of links names no file to replace: the rename would put the output in place of a link.
    if (!exists && errno == ELOOP) throw failure("write", path, ELOOP);
    if (exists && S_ISDIR(original.st_mode)) throw failure("write", path, EISDIR);
    if (exists && !S_ISREG(original.st_mode)) return writeInPlace(target, data, length);

    static std::atomic<unsigned long> counter{0};
    const auto slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    // Short and without the file's own name, so that a name near the system's limit still fits.
    const std::string temp = folder + kTemporaryMarker + "o" + std::to_string(::getpid()) + "-" +
                             std::to_string(++counter);
    const int slot = watch ? watch->hold(temp) : -1;
    // Created private; it gets the original's mode (or the usual one for a new file) once written.
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int err = errno;
        if (watch) watch->release(slot);
        throw failure("write", path, err);
    }
    // A new file gets the mode any program would give it; read once, since reading the mask
    // means setting it.
    static const mode_t kUmask = [] {
        const mode_t mask = ::umask(022);
        ::umask(mask);
        return mask;
    }();
    mode_t mode = exists ? (original.st_mode & 07777) : (0666 & ~kUmask);
    bool ok = writeAll(fd, data, length);
    int err = errno;
    if (ok && exists && ::fchown(fd, original.st_uid, original.st_gid) != 0) {
        // Only the owner's group may be given back without privilege; the mode is kept anyway.
        if (::fchown(fd, static_cast<uid_t>(-1), original.st_gid) != 0) mode &= ~static_cast<mode_t>(S_ISGID);
        mode &= ~static_cast<mode_t>(S_ISUID);
    }
    if (ok && ::fchmod(fd, mode) != 0) ok = false, err = errno;
    if (ok && ::fsync(fd) != 0) ok = false, err = errno;
    if (::close(fd) != 0 && ok) ok = false, err = errno;
    if (ok && std::rename(temp.c_str(), target.c_str()) != 0) ok = false, err = errno;
    if (!ok) {
        ::unlink(temp.c_str());
        if (watch) watch->release(slot);
        throw failure("write", path, err);
    }
    if (watch) watch->release(slot);
    // The rename reaches the disk with the folder.
    const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

KelOutputFile::Failure KelOutputFile::failure(const std::string& what, const std::string& path, int err) {
    return Failure("cannot " + what + " " + path + ": " + std::strerror(err));
}

bool KelOutputFile::writeAll(int fd, const unsigned char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string KelOutputFile::folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

const char* const KelOutputFile::kTemporaryMarker = ".quarn-tmp-";
