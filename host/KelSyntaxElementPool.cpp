#include "host/KelSyntaxElementPool.hpp"

#include "host/KelParser.hpp"
#include "host/KelSyntaxElement.hpp"

#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

namespace {
constexpr std::size_t kAlignment = alignof(std::max_align_t);
std::size_t roundUp(std::size_t n) { return (n + kAlignment - 1) / kAlignment * kAlignment; }

void freeChunk(unsigned char* p) noexcept { ::operator delete(p, std::align_val_t(kAlignment)); }

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
        for (auto& c : chunks) freeChunk(c.second);
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
    if (cache == nullptr || !cache->keep(bytes, p)) freeChunk(p);
}

KelSyntaxElementPool::KelSyntaxElementPool(KelParser* parser, std::size_t elementSize)
    : iParser(parser), iSlotSize(roundUp(elementSize < sizeof(KelSyntaxElement) ? sizeof(KelSyntaxElement) : elementSize)),
      iCount(0) {}

KelSyntaxElementPool::~KelSyntaxElementPool() { release(); }

KelSyntaxElement* KelSyntaxElementPool::createElement() {
    std::size_t chunk = iCount / kSlotsPerChunk;
    if (chunk == iChunks.size()) {
        const std::size_t bytes = iSlotSize * kSlotsPerChunk;
        ChunkCache* cache = chunkCache();
        unsigned char* memory = cache ? cache->take(bytes) : nullptr;
        if (memory == nullptr) memory = static_cast<unsigned char*>(::operator new(bytes, std::align_val_t(kAlignment)));
        try {
            iChunks.emplace_back(memory, ChunkDeleter{bytes});
        } catch (...) {
            ChunkDeleter{bytes}(memory);
            throw;
        }
    }
    unsigned char* slot = iChunks[chunk].get() + (iCount % kSlotsPerChunk) * iSlotSize;
    iParser->callElementConstructor(slot);
    ++iCount;
    auto* element = reinterpret_cast<KelSyntaxElement*>(slot);
    element->setTypeWord(KelSyntaxElement::kComplete);
    return element;
}

void KelSyntaxElementPool::release() noexcept {
    while (iCount > 0) {
        --iCount;
        unsigned char* slot = iChunks[iCount / kSlotsPerChunk].get() + (iCount % kSlotsPerChunk) * iSlotSize;
        reinterpret_cast<KelSyntaxElement*>(slot)->~KelSyntaxElement();
    }
}
