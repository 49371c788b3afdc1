// OutputFolder: the folder a `split` or `batch` run writes into, held to hold exactly what the
// run wrote. A folder that holds anything already (quarn's own temporary files aside) is refused
// unless the run replaces it; after a run that replaces it, the files the run did not write are
// removed, never the run's inputs. Stateless; the owner's thread.
#pragma once

#include <set>
#include <string>
#include <utility>
#include <sys/types.h>

class OutputFolder {
public:
    using FileId = std::pair<dev_t, ino_t>;

    // Makes `folder` when it is missing. Throws UsageError when it is no folder, or
    // holds anything and `replace` is false; std::runtime_error when it cannot be made or read.
    // True when it holds anything (that the run then replaces).
    static bool prepare(const std::string& folder, bool replace, const char* option);
    // Removes the regular files and links in `folder` (and, with `below`, in the folders under it
    // but `skip`) whose paths are not among `written` and that are none of `keep` (nor a link
    // to a folder that written paths lie in). Returns how many it removed.
    static unsigned long sweep(const std::string& folder, const std::set<std::string>& written,
                               const std::set<FileId>& keep, bool below, const FileId* skip);
    // The identity of a file or folder (device, inode); {0, 0} when it cannot be read.
    static FileId idOf(const std::string& path);
};
