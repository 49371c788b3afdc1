#include "cli/OutputFolder.hpp"

#include "cli/UsageError.hpp"
#include "cli/TemporaryFiles.hpp"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Temporary files of this process are the run's own, still being renamed.
bool ownTemporary(const std::string& name) {
    return name.rfind(std::string(TemporaryFiles::kMarker) + std::to_string(::getpid()) + "-", 0) == 0;
}
} // namespace

OutputFolder::FileId OutputFolder::idOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {0, 0};
    return {st.st_dev, st.st_ino};
}

bool OutputFolder::prepare(const std::string& folder, bool replace, const char* option) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) {
        if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST)
            throw std::runtime_error("cannot make the folder " + folder + ": " + std::strerror(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) throw UsageError(folder + " is not a folder");
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
    // A folder that cannot be read may hold anything: replaced as if it held files.
    if (!dir && replace) return true;
    if (!dir) throw std::runtime_error("cannot read folder " + folder + ": " + std::strerror(errno));
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || TemporaryFiles::isTemporaryName(name)) continue;
        if (replace) return true;
        // Files of an earlier run would sit among this run's as if it had written them.
        throw UsageError(folder + " holds files already (" + name + ", ...): give an empty or new folder, or " +
                                       option + " to replace what it holds");
    }
    return false;
}

unsigned long OutputFolder::sweep(const std::string& folder, const std::set<std::string>& written,
                                  const std::set<FileId>& keep, bool below, const FileId* skip) {
    unsigned long removed = 0;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
    if (!dir) return 0;
    std::set<std::string> subfolders;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || ownTemporary(name)) continue;
        const std::string path = folder + "/" + name;
        struct stat link {};
        if (::lstat(path.c_str(), &link) != 0) continue;
        if (S_ISDIR(link.st_mode)) {
            if (below && !(skip && link.st_dev == skip->first && link.st_ino == skip->second)) subfolders.insert(path);
            continue;
        }
        if (written.count(path) || keep.count({link.st_dev, link.st_ino})) continue;
        // A link to a folder that the run's files went into is the way to them, not a file of
        // an earlier run.
        const auto under = written.lower_bound(path + "/");
        if (under != written.end() && under->compare(0, path.size() + 1, path + "/") == 0) continue;
        struct stat target {};
        if (::stat(path.c_str(), &target) == 0 && keep.count({target.st_dev, target.st_ino})) continue;
        if (::unlink(path.c_str()) == 0) ++removed;
    }
    dir.reset();
    for (const std::string& sub : subfolders) removed += sweep(sub, written, keep, below, skip);
    return removed;
}
