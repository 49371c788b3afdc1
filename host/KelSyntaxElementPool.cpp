#include "host/KelSyntaxElementPool.hpp"

#include "host/KelParser.hpp"
#include "host/KelSyntaxElement.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

#include <sys/mman.h>

namespace {
constexpr std::size_t kAlignment = alignof(std::max_align_t);
constexpr std::size_t kHugePage = 2u * 1024u * 1024u;
std::size_t roundUp(std::size_t n) { return (n + kAlignment - 1) / kAlignment * kAlignment; }

std::atomic<std::size_t> gLargeBytesMapped{0};

// Large chunks are mapped on a huge-page boundary and offered to the kernel for huge pages.
unsigned char* mapLargeChunk(std::size_t bytes) {
    void* p = mmap(nullptr, bytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~static_cast<std::uintptr_t>(kHugePage - 1);
    if (aligned > start) munmap(p, aligned - start);
    const std::uintptr_t end = start + bytes + kHugePage;
    if (end > aligned + bytes) munmap(reinterpret_cast<void*>(aligned + bytes), end - (aligned + bytes));
#ifdef MADV_HUGEPAGE
    madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE); // advice only: failure is harmless
#endif
    gLargeBytesMapped.fetch_add(bytes, std::memory_order_relaxed);
    return reinterpret_cast<unsigned char*>(aligned);
}

unsigned char* allocateChunk(std::size_t bytes) {
    if (bytes >= KelSyntaxElementPool::kLargeChunkBytes) return mapLargeChunk(bytes);
    return static_cast<unsigned char*>(::operator new(bytes, std::align_val_t(kAlignment)));
}

void freeChunk(std::size_t bytes, unsigned char* p) noexcept {
    if (bytes >= KelSyntaxElementPool::kLargeChunkBytes) {
        munmap(p, bytes);
        gLargeBytesMapped.fetch_sub(bytes, std::memory_order_relaxed);
        return;
    }
    ::operator delete(p, std::align_val_t(kAlignment));
}

// Set when this thread's cache is gone (thread exit), for pools destroyed after it.
thread_local bool tCacheGone = false;

// Chunks of destroyed pools, by size, kept for the next pool of this thread; freed at thread exit.
struct ChunkCache {
    std::vector<std::pair<std::size_t, unsigned char*>> chunks;
    std::size_t bytes = 0;
    ChunkCache() = default;
    ChunkCache(const ChunkCache&) = delete;
    ChunkCache& operator=(const ChunkCache&) = delete;
    ~ChunkCache() {
        tCacheGone = true;
        for (auto& c : chunks) freeChunk(c.first, c.second);
    }
    unsigned char* take(std::size_t size) noexcept {
        for (std::size_t i = chunks.size(); i-- > 0;) {
            if (chunks[i].first != size) continue;
            unsigned char* p = chunks[i].second;
            chunks.erase(chunks.begin() + static_cast<std::ptrdiff_t>(i));
            bytes -= size;
            return p;
        }
        return nullptr;
    }
    bool keep(std::size_t size, unsigned char* p) noexcept {
        if (bytes + size > KelSyntaxElementPool::kCachedBytesPerThread) return false;
        try {
            chunks.emplace_back(size, p);
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
    if (cache == nullptr || !cache->keep(bytes, p)) freeChunk(bytes, p);
}

std::size_t KelSyntaxElementPool::largeChunkBytesMapped() noexcept {
    return gLargeBytesMapped.load(std::memory_order_relaxed);
}

KelSyntaxElementPool::KelSyntaxElementPool(KelParser* parser, std::size_t elementSize)
    : iParser(parser), iSlotSize(roundUp(elementSize < sizeof(KelSyntaxElement) ? sizeof(KelSyntaxElement) : elementSize)),
      iCount(0), iChunk(0), iNext(nullptr), iFree(0) {}

KelSyntaxElementPool::~KelSyntaxElementPool() { release(); }

void KelSyntaxElementPool::nextChunk() {
    const std::size_t next = iNext == nullptr ? 0 : iChunk + 1;
    if (next == iChunks.size()) {
        const std::size_t bytes = next == 0 ? iSlotSize * kSlotsPerChunk : kLargeChunkBytes;
        const std::size_t slots = bytes / iSlotSize;
        if (slots == 0) throw std::bad_alloc(); // an element wider than a chunk
        ChunkCache* cache = chunkCache();
        unsigned char* memory = cache ? cache->take(bytes) : nullptr;
        if (memory == nullptr) memory = allocateChunk(bytes);
        try {
            iChunks.push_back(Chunk{std::unique_ptr<unsigned char, ChunkDeleter>(memory, ChunkDeleter{bytes}), slots});
        } catch (...) {
            ChunkDeleter{bytes}(memory);
            throw;
        }
    }
    iChunk = next;
    iNext = iChunks[next].memory.get();
    iFree = iChunks[next].slots;
}

KelSyntaxElement* KelSyntaxElementPool::createElement() {
    if (iFree == 0) nextChunk();
    unsigned char* slot = iNext;
    iParser->callElementConstructor(slot);
    iNext += iSlotSize;
    --iFree;
    ++iCount;
    auto* element = reinterpret_cast<KelSyntaxElement*>(slot);
    element->setTypeWord(KelSyntaxElement::kComplete);
    return element;
}

void KelSyntaxElementPool::release() noexcept {
    std::size_t left = iCount;
    for (std::size_t c = 0; c < iChunks.size() && left > 0; ++c) {
        unsigned char* slot = iChunks[c].memory.get();
        const std::size_t used = left < iChunks[c].slots ? left : iChunks[c].slots;
        for (std::size_t i = 0; i < used; ++i, slot += iSlotSize)
            reinterpret_cast<KelSyntaxElement*>(slot)->~KelSyntaxElement();
        left -= used;
    }
    iCount = 0;
    iChunk = 0;
    iNext = nullptr;
    iFree = 0;
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
            // Destroy the later slots of this chunk and every later chunk's, then go on after `kept`.
            std::size_t rest = iCount - keep;
            unsigned char* slot = const_cast<unsigned char*>(wanted) + iSlotSize;
            std::size_t inChunk = used - (static_cast<std::size_t>(wanted - first) / iSlotSize + 1);
            for (std::size_t chunk = c; rest > 0; ++chunk) {
                if (chunk != c) {
                    slot = iChunks[chunk].memory.get();
                    inChunk = rest < iChunks[chunk].slots ? rest : iChunks[chunk].slots;
                }
                for (std::size_t i = 0; i < inChunk; ++i, slot += iSlotSize)
                    reinterpret_cast<KelSyntaxElement*>(slot)->~KelSyntaxElement();
                rest -= inChunk;
            }
            iCount = keep;
            iChunk = c;
            iNext = const_cast<unsigned char*>(wanted) + iSlotSize;
            iFree = iChunks[c].slots - (static_cast<std::size_t>(wanted - first) / iSlotSize + 1);
            return true;
        }
        before += used;
        left -= used;
    }
    release();
    return false;
}
