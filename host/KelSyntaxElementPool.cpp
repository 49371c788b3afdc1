#include "host/KelSyntaxElementPool.hpp"

#include "host/KelParser.hpp"
#include "host/KelSlotTable.hpp"
#include "host/KelSyntaxElement.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include <sys/mman.h>


namespace {
// Slots are as aligned as the element classes need (8 bytes): rounding an element class of a
// size 8 past a multiple of 16 up to 16 would cost every slot 8 bytes for nothing.
constexpr std::size_t kAlignment = alignof(KelSyntaxElement);
constexpr std::size_t kBoundary = KelSlotTable::kChunkAlignment;   // a huge page
// The page before a chunk's first slot holds the chunk's head (KelSlotTable::Head) at its end.
constexpr std::size_t kHeadPage = 4096;
static_assert(sizeof(KelSlotTable::Head) <= kHeadPage, "the head fits the page before the chunk");
static_assert(KelSyntaxElementPool::kLargeChunkBytes <= kBoundary, "a chunk lies within one boundary's span");
std::size_t roundUp(std::size_t n) { return (n + kAlignment - 1) / kAlignment * kAlignment; }

std::atomic<std::size_t> gLargeBytesMapped{0};

// Every chunk is mapped with its first slot on a huge-page boundary and the page before it
// mapped too, for its head, so that an element finds the head from its own address. Large
// chunks are offered to the kernel for huge pages.
unsigned char* allocateChunk(std::size_t bytes) {
    const std::size_t mapped = kHeadPage + bytes + kBoundary;
    void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t aligned = (start + kHeadPage + kBoundary - 1) & ~static_cast<std::uintptr_t>(kBoundary - 1);
    const std::uintptr_t from = aligned - kHeadPage;
    if (from > start) munmap(p, from - start);
    const std::uintptr_t end = start + mapped;
    if (end > aligned + bytes) munmap(reinterpret_cast<void*>(aligned + bytes), end - (aligned + bytes));
    if (bytes >= KelSyntaxElementPool::kLargeChunkBytes) {
#ifdef MADV_HUGEPAGE
        madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE); // advice only: failure is harmless
#endif
        gLargeBytesMapped.fetch_add(bytes, std::memory_order_relaxed);
    }
    return reinterpret_cast<unsigned char*>(aligned);
}

void freeChunk(std::size_t bytes, unsigned char* p) noexcept {
    munmap(p - kHeadPage, kHeadPage + bytes);
    if (bytes >= KelSyntaxElementPool::kLargeChunkBytes) gLargeBytesMapped.fetch_sub(bytes, std::memory_order_relaxed);
}

// Set when this thread's cache is gone (thread exit), for pools destroyed after it.
thread_local bool tCacheGone = false;

// Chunks of destroyed pools, by size, kept for the next pool of this thread; freed at thread exit.
struct ChunkCache {
    struct Kept {
        std::size_t size;
        unsigned char* memory;
        std::uint32_t number;   // its number in the slot table, kept with it
    };
    std::vector<Kept> chunks;
    std::size_t bytes = 0;
    ChunkCache() = default;
    ChunkCache(const ChunkCache&) = delete;
    ChunkCache& operator=(const ChunkCache&) = delete;
    ~ChunkCache() {
        tCacheGone = true;
        for (auto& c : chunks) {
            KelSlotTable::giveBackChunk(c.number);
            freeChunk(c.size, c.memory);
        }
    }
    unsigned char* take(std::size_t size, std::uint32_t& number) noexcept {
        for (std::size_t i = chunks.size(); i-- > 0;) {
            if (chunks[i].size != size) continue;
            unsigned char* p = chunks[i].memory;
            number = chunks[i].number;
            chunks.erase(chunks.begin() + static_cast<std::ptrdiff_t>(i));
            bytes -= size;
            return p;
        }
        return nullptr;
    }
    bool keep(std::size_t size, unsigned char* p, std::uint32_t number) noexcept {
        if (bytes + size > KelSyntaxElementPool::kCachedBytesPerThread) return false;
        try {
            chunks.push_back(Kept{size, p, number});
        } catch (...) {
            return false;
        }
        bytes += size;
        return true;
    }
};

ChunkCache* chunkCache() {
    if (tCacheGone) return nullptr;
    thread_local ChunkCache cache;
    return &cache;
}
} // namespace

void KelSyntaxElementPool::ChunkDeleter::operator()(unsigned char* p) const noexcept {
    ChunkCache* cache = chunkCache();
    if (cache != nullptr && cache->keep(bytes, p, number)) return;
    KelSlotTable::giveBackChunk(number);
    freeChunk(bytes, p);
}

std::size_t KelSyntaxElementPool::largeChunkBytesMapped() noexcept {
    return gLargeBytesMapped.load(std::memory_order_relaxed);
}

KelSyntaxElementPool::KelSyntaxElementPool(KelParser* parser, std::size_t elementSize)
    : iParser(parser), iSlotSize(roundUp(elementSize < sizeof(KelSyntaxElement) ? sizeof(KelSyntaxElement) : elementSize)),
      iCount(0), iChunk(0), iNext(nullptr), iNextHandle(0), iFree(0), iFreeList(nullptr), iFreeSlots(0), iTaken(0) {}

KelSyntaxElementPool::~KelSyntaxElementPool() { release(); }

void KelSyntaxElementPool::nextChunk() {
    const std::size_t next = iNext == nullptr ? 0 : iChunk + 1;
    if (next == iChunks.size()) {
        std::size_t bytes = next == 0 ? iSlotSize * kSlotsPerChunk : kLargeChunkBytes;
        if (bytes > kLargeChunkBytes) bytes = kLargeChunkBytes;   // a chunk lies within one boundary's span
        std::size_t slots = bytes / iSlotSize;
        if (slots > KelSlotTable::kMaxSlotsPerChunk) slots = KelSlotTable::kMaxSlotsPerChunk;
        if (slots == 0) throw std::bad_alloc(); // an element wider than a chunk
        ChunkCache* cache = chunkCache();
        std::uint32_t number = 0;
        unsigned char* memory = cache ? cache->take(bytes, number) : nullptr;
        if (memory == nullptr) {
            memory = allocateChunk(bytes);
            try {
                number = KelSlotTable::takeChunk(memory);
            } catch (...) {
                freeChunk(bytes, memory);
                throw;
            }
        }
        try {
            iChunks.push_back(Chunk{std::unique_ptr<unsigned char, ChunkDeleter>(memory, ChunkDeleter{bytes, number}),
                                    slots, number});
        } catch (...) {
            ChunkDeleter{bytes, number}(memory);
            throw;
        }
    }
    iChunk = next;
    iNext = iChunks[next].memory.get();
    iFree = iChunks[next].slots;
    // The chunk may have served another pool of this thread before: it is this one's now.
    KelSlotTable::assignChunk(iChunks[next].number, iParser, &iValueCells, iSlotSize, next);
    iNextHandle = KelSlotTable::handle(iChunks[next].number, 0);
}

namespace {
// A free slot holds a null word where a live element has its table of virtual operations, the
// in-pool mark where a live element has its type word (so that both find their chunk's head),
// and the next free slot after that.
constexpr std::size_t kTypeWordAt = sizeof(void*);
constexpr std::size_t kNextAt = 2 * sizeof(void*);
void markFree(unsigned char* slot, unsigned char* next) noexcept {
    void* null = nullptr;
    const std::uint32_t mark = KelSyntaxElement::kInPool;
    std::memcpy(slot, &null, sizeof null);
    std::memcpy(slot + kTypeWordAt, &mark, sizeof mark);
    std::memcpy(slot + kNextAt, &next, sizeof next);
}
// The handle of a slot of some pool's chunk, live or free; 0 for anything else (an element made
// outside every pool).
std::uint32_t handleOfSlot(const unsigned char* slot) noexcept {
    std::uint32_t word;
    std::memcpy(&word, slot + kTypeWordAt, sizeof word);
    return (word & KelSyntaxElement::kInPool) != 0 ? KelSlotTable::handleOf(slot) : 0;
}
bool isFree(const unsigned char* slot) noexcept {
    void* word;
    std::memcpy(&word, slot, sizeof word);
    return word == nullptr;
}
unsigned char* nextFree(const unsigned char* slot) noexcept {
    void* word;
    std::memcpy(&word, slot + kNextAt, sizeof word);
    return static_cast<unsigned char*>(word);
}
} // namespace

KelSyntaxElement* KelSyntaxElementPool::createElement() {
    unsigned char* slot;
    if (iFreeList != nullptr) {
        slot = iFreeList;
        KEL_UNPOISON(slot, iSlotSize);
        unsigned char* next = nextFree(slot);
        try {
            iParser->callElementConstructor(slot);
        } catch (...) {
            markFree(slot, next); // the constructor may have written over the free slot's words
            KEL_POISON(slot, iSlotSize);
            throw;
        }
        iFreeList = next;
        --iFreeSlots;
    } else {
        if (iFree == 0) nextChunk();
        slot = iNext;
        iParser->callElementConstructor(slot);
        iNext += iSlotSize;
        ++iNextHandle;
        --iFree;
        ++iCount;
    }
    ++iTaken;
    auto* element = reinterpret_cast<KelSyntaxElement*>(slot);
    element->setTypeWord(KelSyntaxElement::kComplete);
    element->enterPool();
    return element;
}

unsigned char* KelSyntaxElementPool::takeSlotOutOfLine(std::uint32_t& handle) {
    if (iFreeList == nullptr) {
        if (iFree == 0) nextChunk();
        return carveSlot(handle);
    }
    unsigned char* slot = iFreeList;
    KEL_UNPOISON(slot, iSlotSize);
    handle = KelSlotTable::handleOf(slot);
    iFreeList = nextFree(slot);
    --iFreeSlots;
    ++iTaken;
    return slot;
}

bool KelSyntaxElementPool::holds(const KelSyntaxElement* element) const noexcept {
    if (element == nullptr || iNext == nullptr) return false;   // nothing carved since the last release
    const auto* p = reinterpret_cast<const unsigned char*>(element);
#ifdef KEL_POOL_CHECKS_POISON
    if (__asan_address_is_poisoned(p)) return false;   // free, and not to be read
#endif
    // A live element and a free slot of a pool both lead to their handle. The handle names a
    // chunk; it is one of this pool's when the pool's own list has that chunk where the table
    // says, and the handle leads back to this very slot among the slots carved from it so far.
    const std::uint32_t handle = handleOfSlot(p);
    const std::uint32_t number = handle >> KelSlotTable::kSlotBits;
    const std::size_t position = KelSlotTable::position(handle);
    if (number == 0 || position > iChunk || iChunks[position].number != number) return false;
    const std::size_t slot = handle & KelSlotTable::kSlotMask;
    if (p != iChunks[position].memory.get() + slot * iSlotSize) return false;
    const std::size_t carved = position < iChunk ? iChunks[position].slots : iChunks[position].slots - iFree;
    return slot < carved && !isFree(p);
}

KelSyntaxElementPool::CarvedChunk KelSyntaxElementPool::carvedChunkOf(const KelSyntaxElement* element) const noexcept {
    CarvedChunk chunk;
    if (element == nullptr || iNext == nullptr) return chunk;
    const auto* p = reinterpret_cast<const unsigned char*>(element);
#ifdef KEL_POOL_CHECKS_POISON
    if (__asan_address_is_poisoned(p)) return chunk;
#endif
    // As in holds(): the chunk is this pool's when its list has it where the table says.
    const std::uint32_t handle = handleOfSlot(p);
    const std::uint32_t number = handle >> KelSlotTable::kSlotBits;
    const std::size_t position = KelSlotTable::position(handle);
    if (number == 0 || position > iChunk || iChunks[position].number != number) return chunk;
    chunk.number = number;
    chunk.first = iChunks[position].memory.get();
    chunk.slots = position < iChunk ? iChunks[position].slots : iChunks[position].slots - iFree;
    chunk.slotSize = iSlotSize;
    return chunk;
}

namespace {
// Whether a carved slot holds a live element (free slots are poisoned in sanitizer builds, so
// they are told by that before they are read).
bool isLive(const unsigned char* slot) noexcept {
#ifdef KEL_POOL_CHECKS_POISON
    if (__asan_address_is_poisoned(slot)) return false;
#endif
    return !isFree(slot);
}
} // namespace

void KelSyntaxElementPool::forEachLive(const std::function<void(KelSyntaxElement*)>& visit) {
    std::size_t left = iCount;
    for (std::size_t c = 0; c < iChunks.size() && left > 0; ++c) {
        unsigned char* slot = iChunks[c].memory.get();
        const std::size_t used = left < iChunks[c].slots ? left : iChunks[c].slots;
        for (std::size_t i = 0; i < used; ++i, slot += iSlotSize)
            if (isLive(slot)) visit(reinterpret_cast<KelSyntaxElement*>(slot));
        left -= used;
    }
}

void KelSyntaxElementPool::releaseWhere(const std::function<bool(KelSyntaxElement*)>& dies) noexcept {
    std::size_t left = iCount;
    for (std::size_t c = 0; c < iChunks.size() && left > 0; ++c) {
        unsigned char* slot = iChunks[c].memory.get();
        const std::size_t used = left < iChunks[c].slots ? left : iChunks[c].slots;
        for (std::size_t i = 0; i < used; ++i, slot += iSlotSize) {
            auto* e = reinterpret_cast<KelSyntaxElement*>(slot);
            if (isLive(slot) && dies(e)) destroyElement(e);
        }
        left -= used;
    }
    iTaken = liveCount();
}

void KelSyntaxElementPool::destroyElement(KelSyntaxElement* element) noexcept {
    auto* slot = reinterpret_cast<unsigned char*>(element);
    element->~KelSyntaxElement();
    markFree(slot, iFreeList);
    KEL_POISON(slot, iSlotSize);
    iFreeList = slot;
    ++iFreeSlots;
}

void KelSyntaxElementPool::destroyElements(KelSyntaxElement* const* elements, std::size_t count) noexcept {
    unsigned char* list = iFreeList;
    for (std::size_t i = 0; i < count; ++i) {
        auto* slot = reinterpret_cast<unsigned char*>(elements[i]);
        elements[i]->~KelSyntaxElement();
        markFree(slot, list);
        KEL_POISON(slot, iSlotSize);
        list = slot;
    }
    iFreeList = list;
    iFreeSlots += count;
}

void KelSyntaxElementPool::release() noexcept {
    std::size_t left = iCount;
    for (std::size_t c = 0; c < iChunks.size() && left > 0; ++c) {
        unsigned char* slot = iChunks[c].memory.get();
        const std::size_t used = left < iChunks[c].slots ? left : iChunks[c].slots;
        // Free slots are poisoned; the chunk goes back whole to whoever takes it next.
        KEL_UNPOISON(slot, used * iSlotSize);
        for (std::size_t i = 0; i < used; ++i, slot += iSlotSize)
            if (!isFree(slot)) reinterpret_cast<KelSyntaxElement*>(slot)->~KelSyntaxElement();
        left -= used;
    }
    iValueCells.releaseLeft();
    iCount = 0;
    iChunk = 0;
    iNext = nullptr;
    iFree = 0;
    iFreeList = nullptr;
    iFreeSlots = 0;
    iTaken = 0;
}

std::size_t KelSyntaxElementPool::slotIndex(const unsigned char* slot) const noexcept {
    std::size_t before = 0;
    for (const Chunk& chunk : iChunks) {
        const unsigned char* first = chunk.memory.get();
        if (slot >= first && slot < first + chunk.slots * iSlotSize)
            return before + static_cast<std::size_t>(slot - first) / iSlotSize;
        before += chunk.slots;
    }
    return before;
}

bool KelSyntaxElementPool::releaseAllAfter(const KelSyntaxElement* kept) noexcept {
    const auto* wanted = reinterpret_cast<const unsigned char*>(kept);
    std::size_t before = 0; // slots in the chunks before the one holding `kept`
    std::size_t left = iCount;
    for (std::size_t c = 0; c < iChunks.size() && left > 0; ++c) {
        const unsigned char* first = iChunks[c].memory.get();
        const std::size_t used = left < iChunks[c].slots ? left : iChunks[c].slots;
        if (wanted >= first && wanted < first + used * iSlotSize && (wanted - first) % iSlotSize == 0) {
            const std::size_t keep = before + static_cast<std::size_t>(wanted - first) / iSlotSize + 1;
            // Slots of deleted elements after `kept` leave the free list with the rest.
            unsigned char* list = iFreeList;
            iFreeList = nullptr;
            iFreeSlots = 0;
            while (list != nullptr) {
                KEL_UNPOISON(list, iSlotSize);
                unsigned char* next = nextFree(list);
                if (slotIndex(list) < keep) {
                    markFree(list, iFreeList);
                    KEL_POISON(list, iSlotSize);
                    iFreeList = list;
                    ++iFreeSlots;
                }
                list = next;
            }
            // Destroy the later slots of this chunk and every later chunk's, then go on after `kept`.
            std::size_t rest = iCount - keep;
            unsigned char* slot = const_cast<unsigned char*>(wanted) + iSlotSize;
            std::size_t inChunk = used - (static_cast<std::size_t>(wanted - first) / iSlotSize + 1);
            for (std::size_t chunk = c; rest > 0; ++chunk) {
                if (chunk != c) {
                    slot = iChunks[chunk].memory.get();
                    inChunk = rest < iChunks[chunk].slots ? rest : iChunks[chunk].slots;
                }
                for (std::size_t i = 0; i < inChunk; ++i, slot += iSlotSize) {
                    KEL_UNPOISON(slot, iSlotSize);
                    if (!isFree(slot)) reinterpret_cast<KelSyntaxElement*>(slot)->~KelSyntaxElement();
                }
                rest -= inChunk;
            }
            iCount = keep;
            iTaken = keep - iFreeSlots;
            iChunk = c;
            iNext = const_cast<unsigned char*>(wanted) + iSlotSize;
            iNextHandle = kept->slotHandle() + 1;
            iFree = iChunks[c].slots - (static_cast<std::size_t>(wanted - first) / iSlotSize + 1);
            return true;
        }
        before += used;
        left -= used;
    }
    release();
    return false;
}
