// RunLeftovers: what a `split` or `batch` run killed outright (SIGKILL, a crash, power loss) left
// behind, and the locks that tell a live run's files from those. A run holds a shared lock
// (flock) on each folder it works in for its whole life: its output folder (which, after an
// exchange, is the earlier folder under the hidden name) and its hidden folder. A later run
// removes a hidden folder beside its output folder (".quarn-tmp-PID-dN") or a temporary file in
// it (".quarn-tmp-PID-N") only when the name has exactly that form, the process it names is gone
// and an exclusive lock on the folder is free: a live run's files, or a lookalike, are left.
// Stateless; the locks are the caller's descriptors. Any thread.
#pragma once

#include <string>

class RunLeftovers {
public:
    // Opens `folder` and takes a shared lock on it, waiting a little while a later run clears
    // it; the descriptor, or -1 when it cannot be opened. A lock that cannot be had leaves the
    // descriptor open all the same (the process check still holds).
    static int holdFolder(const std::string& folder);
    // Removes the leftovers of killed runs for a run into `target`: the temporary files in it and
    // the hidden folders beside it. Returns how many it removed (a folder counts once).
    static unsigned long clear(const std::string& target);
    // The process number of a hidden folder's name (".quarn-tmp-PID-dN"), 0 when it has not
    // exactly that form.
    static long hiddenFolderOwner(const std::string& name);
    // The same for a temporary file's name (".quarn-tmp-PID-N").
    static long temporaryFileOwner(const std::string& name);
};
