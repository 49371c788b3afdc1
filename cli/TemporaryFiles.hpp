// TemporaryFiles: the quarn command's list of temporary files being written, so that SIGINT and
// SIGTERM remove them before the process ends (with the signal's usual status). The list is a
// fixed table the signal handler reads without locks; the handlers are installed at the first
// registration. Any thread.
// A series of numbered names stands for the many files a split or batch run has in flight; a
// folder, for a run staged whole in a hidden folder of its own (removed with all it holds).
#pragma once

#include <string>

class TemporaryFiles {
public:
    // Every temporary name quarn makes starts with this (after a '.', so folder listings and
    // batch runs pass over it): ".quarn-tmp-".
    static const char* const kMarker;

    // Registers `path` (to be created right after); returns a slot for release(), or -1 when
    // the table is full (the file is then not removed on a signal).
    static int hold(const std::string& path);
    // The file was renamed or removed: forget it.
    static void release(int slot) noexcept;
    // A run's numbered temporary names (`prefix` followed by a decimal number): on a signal every
    // number from the low to the high mark is removed. One series at a time; `prefix` shorter
    // than a path may be (else the series is not removed on a signal).
    static void holdSeries(const std::string& prefix);
    static void markSeries(unsigned long low, unsigned long high) noexcept;
    static void releaseSeries() noexcept;
    // A run's staging folder: on a signal all it holds (folders below too) and then the folder
    // are removed. One folder at a time; `path` shorter than a path may be.
    static void holdFolder(const std::string& path);
    static void releaseFolder() noexcept;
    // Removes what `path` holds, the folders below (up to 63 levels deep) with all they hold, and
    // then `path` itself; safe in a signal handler (no allocation, no locks). True when the folder
    // is gone.
    static bool removeFolder(const char* path) noexcept;
    // Removes what the open folder `folder` holds as removeFolder() does, the folder itself left
    // (and `folder` open); links are removed, not followed, and no mount point is entered.
    static void emptyFolder(int folder) noexcept;
    // True when a file name (without folder) is one of quarn's temporary names.
    static bool isTemporaryName(const std::string& name);
};
