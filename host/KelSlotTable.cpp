#include "host/KelSlotTable.hpp"

#include <mutex>
#include <new>
#include <vector>

static_assert(sizeof(KelSlotTable::Entry) == 16, "an entry is found by a shift");

KelSlotTable::Entry KelSlotTable::sEntries[KelSlotTable::kMaxChunks + 1];
std::uintptr_t KelSlotTable::sBases[KelSlotTable::kMaxChunks + 1];
std::uint32_t KelSlotTable::sPositions[KelSlotTable::kMaxChunks + 1];

namespace {
std::mutex& numbersLock() {
    static std::mutex lock;
    return lock;
}
// Numbers given back, taken again first; `gNextUnused` is the lowest number never taken.
std::vector<std::uint32_t>& freeNumbers() {
    static std::vector<std::uint32_t> numbers;
    return numbers;
}
std::uint32_t gNextUnused = 1;
std::size_t gInUse = 0;
} // namespace

std::uint32_t KelSlotTable::takeChunk(unsigned char* base) {
    std::lock_guard<std::mutex> guard(numbersLock());
    std::vector<std::uint32_t>& numbers = freeNumbers();
    std::uint32_t chunk;
    if (!numbers.empty()) {
        chunk = numbers.back();
        numbers.pop_back();
    } else {
        if (gNextUnused > kMaxChunks) throw std::bad_alloc();
        // Room to give the number back later, so that giving back cannot fail.
        numbers.reserve(gNextUnused);
        chunk = gNextUnused++;
    }
    sEntries[chunk] = Entry{0, 0};
    sBases[chunk] = reinterpret_cast<std::uintptr_t>(base);
    sPositions[chunk] = 0;
    ++gInUse;
    return chunk;
}

void KelSlotTable::giveBackChunk(std::uint32_t chunk) noexcept {
    if (chunk == 0) return;
    std::lock_guard<std::mutex> guard(numbersLock());
    sEntries[chunk] = Entry{0, 0};
    sBases[chunk] = 0;
    freeNumbers().push_back(chunk); // capacity reserved when the number was first taken
    --gInUse;
}

std::size_t KelSlotTable::chunksInUse() noexcept {
    std::lock_guard<std::mutex> guard(numbersLock());
    return gInUse;
}
