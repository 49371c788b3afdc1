#include "cli/TemporaryFiles.hpp"

#include "host/KelOutputFile.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/syscall.h>
#include <unistd.h>

const char* const TemporaryFiles::kMarker = KelOutputFile::kTemporaryMarker;

namespace {
constexpr int kSlots = 256;
constexpr std::size_t kPathBytes = 4096;

// A slot is free (0), being filled (1) or names a file to remove on a signal (2).
struct Slot {
    std::atomic<int> state{0};
    char path[kPathBytes];
};
Slot gSlots[kSlots];

struct sigaction gPreviousInt, gPreviousTerm;

// The series: a prefix and the numbers that may still name a file.
char gSeriesPrefix[kPathBytes];
std::atomic<bool> gSeriesOn{false};
std::atomic<unsigned long> gSeriesLow{0}, gSeriesHigh{0};

// The staging folder of a run staged whole.
char gFolder[kPathBytes];
std::atomic<bool> gFolderOn{false};

void removeSeries() {
    if (!gSeriesOn.load(std::memory_order_acquire)) return;
    char path[kPathBytes + 24];
    std::size_t p = 0;
    while (gSeriesPrefix[p] != '\0') path[p] = gSeriesPrefix[p], ++p;
    const unsigned long high = gSeriesHigh.load(std::memory_order_acquire);
    for (unsigned long n = gSeriesLow.load(std::memory_order_acquire); n < high; ++n) {
        // Digits by hand: the formatting functions are not safe in a signal handler.
        char digits[24];
        int d = 0;
        unsigned long v = n;
        do digits[d++] = static_cast<char>('0' + v % 10), v /= 10;
        while (v != 0);
        std::size_t q = p;
        while (d > 0) path[q++] = digits[--d];
        path[q] = '\0';
        ::unlink(path);
    }
}

extern "C" void removeTemporaryFiles(int signal) {
    for (Slot& slot : gSlots)
        if (slot.state.load(std::memory_order_acquire) == 2) ::unlink(slot.path);
    removeSeries();
    if (gFolderOn.load(std::memory_order_acquire)) TemporaryFiles::removeFolder(gFolder);
    // Then end as the signal would have ended the process without us.
    ::sigaction(signal, signal == SIGINT ? &gPreviousInt : &gPreviousTerm, nullptr);
    ::raise(signal);
}

void installHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = removeTemporaryFiles;
        ::sigemptyset(&action.sa_mask);
        ::sigaddset(&action.sa_mask, SIGINT);
        ::sigaddset(&action.sa_mask, SIGTERM);
        action.sa_flags = SA_RESETHAND;
        ::sigaction(SIGINT, nullptr, &gPreviousInt);
        ::sigaction(SIGTERM, nullptr, &gPreviousTerm);
        // A signal ignored when quarn started (a background job of a shell) stays ignored.
        if (gPreviousInt.sa_handler != SIG_IGN) ::sigaction(SIGINT, &action, nullptr);
        if (gPreviousTerm.sa_handler != SIG_IGN) ::sigaction(SIGTERM, &action, nullptr);
    });
}
} // namespace

int TemporaryFiles::hold(const std::string& path) {
    installHandlers();
    if (path.size() >= kPathBytes) return -1;
    for (int i = 0; i < kSlots; ++i) {
        int expected = 0;
        if (!gSlots[i].state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) continue;
        std::memcpy(gSlots[i].path, path.c_str(), path.size() + 1);
        gSlots[i].state.store(2, std::memory_order_release);
        return i;
    }
    return -1;
}

void TemporaryFiles::release(int slot) noexcept {
    if (slot >= 0 && slot < kSlots) gSlots[slot].state.store(0, std::memory_order_release);
}

void TemporaryFiles::holdSeries(const std::string& prefix) {
    installHandlers();
    if (prefix.size() >= kPathBytes) return;
    gSeriesOn.store(false, std::memory_order_release);
    std::memcpy(gSeriesPrefix, prefix.c_str(), prefix.size() + 1);
    gSeriesLow.store(0, std::memory_order_release);
    gSeriesHigh.store(0, std::memory_order_release);
    gSeriesOn.store(true, std::memory_order_release);
}

void TemporaryFiles::markSeries(unsigned long low, unsigned long high) noexcept {
    gSeriesHigh.store(high, std::memory_order_release);
    gSeriesLow.store(low, std::memory_order_release);
}

void TemporaryFiles::releaseSeries() noexcept { gSeriesOn.store(false, std::memory_order_release); }

void TemporaryFiles::holdFolder(const std::string& path) {
    installHandlers();
    if (path.size() >= kPathBytes) return;
    gFolderOn.store(false, std::memory_order_release);
    std::memcpy(gFolder, path.c_str(), path.size() + 1);
    gFolderOn.store(true, std::memory_order_release);
}

void TemporaryFiles::releaseFolder() noexcept { gFolderOn.store(false, std::memory_order_release); }

namespace {
// Removes one entry of an open folder: a file or link, or an empty folder. A folder that still
// holds something is opened instead (when `mayEnter`), its descriptor put in `child`. True when
// the entry is gone.
bool removeEntry(int folder, const char* name, bool mayEnter, int& child) noexcept {
    if (::unlinkat(folder, name, 0) == 0) return true;
    if (errno != EISDIR && errno != EPERM) return false;
    if (::unlinkat(folder, name, AT_REMOVEDIR) == 0) return true;
    if (mayEnter && (errno == ENOTEMPTY || errno == EEXIST))
        child = ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return false;
}

// One pass over an open folder, read with the system call itself (opendir() allocates, which a
// signal handler must not): removes what it can, and stops at the first folder inside that
// still holds something, returning it open (else -1). `removed` tells whether anything went.
int removePass(int folder, bool mayEnter, bool& removed) noexcept {
    alignas(8) char entries[4096];
    removed = false;
    ::lseek(folder, 0, SEEK_SET);
    for (long n; (n = ::syscall(SYS_getdents64, folder, entries, sizeof entries)) > 0;) {
        for (long at = 0; at < n;) {
            // struct linux_dirent64: inode (8 bytes), offset (8), record length (2), type (1),
            // then the name.
            unsigned short length = 0;
            std::memcpy(&length, entries + at + 16, sizeof length);
            const char* name = entries + at + 19;
            const bool dots = name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
            int child = -1;
            if (!dots && removeEntry(folder, name, mayEnter, child)) removed = true;
            if (child >= 0) return child;
            if (length == 0) break;
            at += length;
        }
    }
    return -1;
}
} // namespace

bool TemporaryFiles::removeFolder(const char* path) noexcept {
    const int folder = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        emptyFolder(folder);
        ::close(folder);
    }
    return ::rmdir(path) == 0 || errno == ENOENT;
}

void TemporaryFiles::emptyFolder(int folder) noexcept {
    // A folder inside is entered (one open folder a level, the levels in a fixed table) and
    // removed once it is empty. Removing while reading may make the listing skip a name, so a
    // folder is read again until a pass removes nothing. A folder whose visit removed nothing is
    // not entered again: what cannot be removed is left, with the folders around it. A link is
    // removed, never followed, and a mount point is never entered (it cannot be removed).
    constexpr int kDepth = 64;
    int levels[kDepth];
    bool progress[kDepth];
    int depth = 0;
    levels[0] = ::dup(folder);
    progress[0] = false;
    bool stuck = false;
    while (depth >= 0 && levels[0] >= 0) {
        bool removed = false;
        const int child = removePass(levels[depth], !stuck && depth + 1 < kDepth, removed);
        if (removed) progress[depth] = true;
        if (child >= 0) {
            levels[++depth] = child;
            progress[depth] = false;
        } else if (!removed) {
            // Emptied as far as it goes: back to the folder above, which removes it next pass.
            stuck = stuck || (depth > 0 && !progress[depth]);
            ::close(levels[depth]);
            if (--depth >= 0) progress[depth] = true;
        }
    }
}

bool TemporaryFiles::isTemporaryName(const std::string& name) { return name.find(kMarker) != std::string::npos; }
