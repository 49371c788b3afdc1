#include "host/KelMappedPageGuard.hpp"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

namespace {
constexpr int kSlots = 256;

struct Slot {
    std::atomic<int> state{0};   // free (0), being filled (1), held (2)
    std::uintptr_t begin = 0, end = 0;
    std::atomic<bool> changed{false};
};
Slot gSlots[kSlots];
std::atomic<bool> gAnyChanged{false};
struct sigaction gPrevious;

extern "C" void replaceVanishedPage(int signal, siginfo_t* info, void*) {
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    for (Slot& slot : gSlots) {
        if (slot.state.load(std::memory_order_acquire) != 2 || address < slot.begin || address >= slot.end) continue;
        const std::uintptr_t page = address & ~static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE) - 1);
        // Zeros where the file's bytes were: the read is retried and finds them.
        if (::mmap(reinterpret_cast<void*>(page), static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)), PROT_READ,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED)
            break;
        slot.changed.store(true, std::memory_order_release);
        gAnyChanged.store(true, std::memory_order_release);
        return;
    }
    // Not a mapped input: the fault happens again under the previous action.
    ::sigaction(signal, &gPrevious, nullptr);
}

void installHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = replaceVanishedPage;
        ::sigemptyset(&action.sa_mask);
        action.sa_flags = SA_SIGINFO;
        ::sigaction(SIGBUS, &action, &gPrevious);
    });
}
} // namespace

int KelMappedPageGuard::hold(const void* address, std::size_t length) {
    installHandler();
    for (int i = 0; i < kSlots; ++i) {
        int expected = 0;
        if (!gSlots[i].state.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) continue;
        gSlots[i].begin = reinterpret_cast<std::uintptr_t>(address);
        gSlots[i].end = gSlots[i].begin + length;
        gSlots[i].changed.store(false, std::memory_order_relaxed);
        gSlots[i].state.store(2, std::memory_order_release);
        return i;
    }
    return -1;
}

void KelMappedPageGuard::release(int slot) noexcept {
    if (slot >= 0 && slot < kSlots) gSlots[slot].state.store(0, std::memory_order_release);
}

bool KelMappedPageGuard::changed(const void* address) noexcept {
    const auto a = reinterpret_cast<std::uintptr_t>(address);
    for (const Slot& slot : gSlots)
        if (slot.state.load(std::memory_order_acquire) == 2 && a >= slot.begin && a < slot.end)
            return slot.changed.load(std::memory_order_acquire);
    return false;
}

bool KelMappedPageGuard::anyChanged() noexcept { return gAnyChanged.load(std::memory_order_acquire); }
