// OutputStaging: the files of one `split` or `batch` run, written so that none is ever seen torn.
// Each file is written under a temporary name in the run's top output folder (".quarn-tmp-PID-N",
// short, so a long output name still fits) and renamed to its name only after it reached the disk.
// By default that is one file-system sync per thousand files and at the end of the run, then the
// renames, then a sync of the folders; with `syncEach` every file is synced and renamed alone (and
// its folder synced), as a single `-o OUT` is. A failure or an interrupt (SIGINT, SIGTERM) removes
// the files not yet renamed; the destructor removes those of a run that was never committed.
// Owns its temporary files. Any thread may add(); commit() and the destructor on the owner's.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

class OutputStaging {
public:
    // Files per sync unless syncing each.
    static constexpr std::size_t kFilesPerSync = 1000;

    OutputStaging(const std::string& folder, bool syncEach);
    ~OutputStaging();
    OutputStaging(const OutputStaging&) = delete;
    OutputStaging& operator=(const OutputStaging&) = delete;

    // Writes `data` to a temporary file that becomes `path` (below the folder, or the folder's
    // file system) at the next commit. Throws OutputFile::Failure naming `path`.
    void add(const std::string& path, const unsigned char* data, std::size_t length);
    // Syncs every file added since the last commit, renames each to its name and syncs their
    // folders. Throws OutputFile::Failure when the sync fails (what was not renamed is then
    // removed); a file that cannot be renamed is removed and listed for failures().
    void commit();
    // The files that could not be renamed to their names: path and what went wrong.
    const std::vector<std::pair<std::string, std::string>>& failures() const { return iFailures; }
    // Files renamed to their names so far.
    std::size_t committed() const { return iCommitted; }

private:
    struct Staged {
        std::string temporary;
        std::string path;
        unsigned long number;
    };
    void commitLocked();
    void discardLocked() noexcept;

    std::string iFolder;
    std::string iPrefix;   // iFolder + "/.quarn-tmp-PID-"
    bool iSyncEach;
    std::mutex iMutex;
    std::vector<Staged> iPending;
    unsigned long iNext = 0;
    std::size_t iCommitted = 0;
    std::vector<std::pair<std::string, std::string>> iFailures;
};
