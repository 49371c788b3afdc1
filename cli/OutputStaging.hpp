// OutputStaging: the files of one `split` or `batch` run, written so that none is ever seen torn.
// File by file, each is written under a temporary name in the run's top output folder
// (".quarn-tmp-PID-N", short, so a long output name still fits) and renamed to its name only
// after it reached the disk: one file-system sync per thousand files and at the end of the run,
// then the renames, then a sync of the folders; with `syncEach` every file is synced and renamed
// alone (and its folder synced), as a single `-o OUT` is. A failure or an interrupt (SIGINT,
// SIGTERM) removes the files not yet renamed; the destructor removes those of a run that was never
// committed.
// Replacing what the folder holds (it held files when the run began), nothing is renamed before
// the run has succeeded: the files are synced as above (or each, with `syncEach`) but keep their
// temporary names until commit(), which renames them all and then removes what the run did not
// write, with SIGINT and SIGTERM held off meanwhile. A run that fails or is interrupted before
// removes its temporary files only, and the folder is as it was.
// Staged whole (forFolder(), for a folder that is new or empty and the user's own), the run is
// written into a new hidden folder beside the output folder (".quarn-tmp-PID-dN"), each file
// under its own name (in the folders below it that its name says, made as needed), synced once per thousand files and at the end, and then renamed to the
// output folder in one rename: the folder appears with every file of the run or not at all, and
// a file costs its creation and its write only. A failure or an interrupt removes the hidden
// folder with all it holds; a file whose write failed is removed at once, the others stay staged.
// Replacing what a folder of the user's own holds (folders below it too), the run is staged whole
// the same way and commit() builds the new tree in the hidden folder before the two folders swap
// in one exchange of their names, so that after a crash at any moment the folder holds the
// earlier run or the new one, never both: each folder of the earlier tree is made anew (its mode,
// its owner and group), the files to keep (the inputs; with no Rest, everything the run did not
// write; with a Rest not `below`, all the folders below hold) are linked into it, a file the run
// replaces lends its mode to the new one; nothing leaves the earlier tree before the exchange.
// The earlier tree, now under the hidden name, is emptied and removed after; what came into it
// meanwhile moves into the new tree. Where links cannot carry the tree (a mount point, a device,
// FIFO or socket, a folder with extended attributes or another user's, more than 32 levels of
// folders, a link at a name the run writes or where it writes into a folder, a file that cannot be
// linked, or the system refuses the exchange), the run goes file by file (found at commit: the
// files are renamed from the hidden folder one by one).
// The run holds its folders locked and removes what killed runs left first (RunLeftovers).
// Owns its temporary files (and folder). Any thread may add(); commit(), abandon() and the
// destructor on the owner's, commit() once the other threads are done.
#pragma once

#include "cli/OutputFolder.hpp"

#include <cstddef>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

class OutputStaging {
public:
    // Files per sync unless syncing each.
    static constexpr std::size_t kFilesPerSync = 1000;

    // What commit() removes once the run's files have their names: every file below the folder
    // that the run did not write (OutputFolder::sweep), but the run's inputs.
    struct Rest {
        std::set<OutputFolder::FileId> keep;   // never removed (the inputs)
        bool below = false;                    // the folders below the top one too
        OutputFolder::FileId skip{0, 0};       // a folder below that is not entered
    };

    // File by file, into `folder` as OutputFolder::prepare left it; `replacing` when it held
    // files (OutputFolder::prepare's answer, or a batch in place).
    OutputStaging(const std::string& folder, bool syncEach, bool replacing = false);
    // Prepares `folder` for a run whose files all lie in it or in folders below, once the
    // leftovers of killed runs in and beside it are gone: staged whole when the folder is
    // missing, or is an empty folder of the user's own (no link, no mount point, no extended
    // attributes, which one rename would not carry over; the new one gets its mode and group),
    // and the parent takes a new folder; with `replace` also when such a folder holds what links
    // and new folders can carry (staged whole and swapped at commit); else as
    // OutputFolder::prepare says (which refuses a folder holding files unless `replace`), file by
    // file, replacing when it holds files. `syncEach` is always file by file.
    static std::unique_ptr<OutputStaging> forFolder(const std::string& folder, bool syncEach, bool replace,
                                                    const char* option);
    ~OutputStaging();
    OutputStaging(const OutputStaging&) = delete;
    OutputStaging& operator=(const OutputStaging&) = delete;

    // Writes `data` to a temporary file that becomes `path` (below the folder, or the folder's
    // file system) at the next commit. Throws OutputFile::Failure naming `path`.
    void add(const std::string& path, const unsigned char* data, std::size_t length);
    // Syncs every file added since the last commit, renames each to its name and syncs their
    // folders (staged whole: the folder, once, after which nothing more is added; replacing a
    // folder that held files, `rest` says what of it is kept and the two are swapped). Throws
    // OutputFile::Failure when the sync fails (what was not renamed is then removed); a file that
    // cannot be renamed is removed and listed for failures(). File by file, `rest` then removes
    // what the run did not write (counted by removed()). Replacing, with `allOrNothing`, a file
    // whose name a folder holds fails the run (OutputFile::Failure) before any file is renamed,
    // and every file of the run is removed.
    void commit(const Rest* rest = nullptr, bool allOrNothing = false);
    // The run failed writing: staged whole or replacing, nothing of it is left; file by file into
    // a folder that held nothing, the files written so far are whole and keep their names, as
    // with commit().
    void abandon();
    // True when the run is staged whole.
    bool whole() const { return !iStage.empty(); }
    // After an exchange: the earlier folder still holds files that arrived late and could not be
    // moved (their names were taken); it is renamed out of the leftovers' pattern and reported.
    void keepLateArrivals();
    // True when the run replaces what the folder held (file by file, or staged whole and swapped).
    bool replacing() const { return iReplacing; }
    // Files of an earlier run that commit() removed.
    unsigned long removed() const { return iRemoved; }
    // The files that could not be renamed to their names: path and what went wrong.
    const std::vector<std::pair<std::string, std::string>>& failures() const { return iFailures; }
    // Files renamed to their names so far.
    std::size_t committed() const { return iCommitted; }
    // Hidden folders and temporary files of killed runs that forFolder() removed (RunLeftovers).
    unsigned long leftovers() const { return iLeftovers; }

private:
    OutputStaging(const std::string& folder, std::string stage, std::string target);
    void addWhole(const std::string& path, const unsigned char* data, std::size_t length);
    void syncWholeLocked();
    void publishLocked();
    void exchangeLocked(const Rest* rest, bool allOrNothing);
    void publishEachLocked(const Rest* rest, bool allOrNothing);
    struct Staged {
        std::string given;   // the name the caller gave
        std::string path;    // where it goes (a link at `given` followed)
        unsigned long number;
    };
    std::string temporaryOf(unsigned long number) const { return iPrefix + std::to_string(number); }
    void commitLocked();
    void syncPendingLocked();
    void replaceLocked(bool allOrNothing);
    void removeRestLocked(const Rest& rest);
    void discardLocked() noexcept;

    std::string iFolder;
    std::string iPrefix;   // iFolder + "/.quarn-tmp-PID-"
    bool iSyncEach;
    bool iReplacing = false;
    // Held (shared) for the run's life, as RunLeftovers says: the output folder as it was when
    // the run began (after an exchange, the earlier folder under the hidden name) and the
    // hidden folder.
    int iFolderLock = -1;
    int iStageLock = -1;
    unsigned long iLeftovers = 0;
    std::mutex iMutex;
    std::vector<Staged> iPending;
    std::size_t iSynced = 0;   // of iPending, those that reached the disk
    unsigned long iNext = 0;
    std::size_t iCommitted = 0;
    unsigned long iRemoved = 0;
    std::vector<std::pair<std::string, std::string>> iFailures;
    std::set<std::string> iWritten;   // file by file: the names given of the files renamed
    // Staged whole: the hidden folder, the output folder it becomes (without a trailing '/'), the
    // names written since the last sync, and whether it has become the output folder. Swapped
    // with a folder that holds files (iExchange): every file's name and the name it was given.
    std::string iStage;
    std::string iTarget;
    std::vector<std::string> iUnsynced;
    bool iPublished = false;
    bool iExchange = false;
    std::vector<std::pair<std::string, std::string>> iNames;
    std::set<std::string> iFolders;   // staged whole: the folders made below the hidden one
};
