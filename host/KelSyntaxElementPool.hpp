// KelSyntaxElementPool: arena of fixed-size element slots, carved from large chunks, so that
// building a tree costs no allocation per element. Elements are built in their slots through the
// parser's callElementConstructor and destroyed all together by release() or the destructor.
// The first chunk is small, so that a parser that reads a few elements stays cheap; later chunks
// are large, so that a big tree faults its memory in a few large pages instead of tens of
// thousands of small ones. Every chunk starts on a huge-page boundary, with its head (parser,
// value cells, handle numbering) at the end of the page before it. Chunks of a destroyed pool
// are kept (up to kCachedBytesPerThread) for the next pool made on the same thread, so that a
// parser per message does not fault fresh pages in for every message. A deleted element's slot
// goes on a free list and is taken again before any new slot (sanitizer builds poison it while
// it is free, so a use after delete is caught). Every chunk has a number in the process's slot
// table, so that an element is named by a 32-bit handle; the number goes with the chunk into the
// thread's cache. Owned by one parser; one thread at a time.
#pragma once

#include "host/KelPoison.hpp"   // sanitizer builds poison free slots, told apart only by asking it
#include "host/KelSlotTable.hpp"
#include "host/KelValueCells.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <vector>

class KelParser;
class KelSyntaxElement;


class KelSyntaxElementPool {
public:
    static constexpr std::size_t kSlotsPerChunk = 4096;               // slots of the first chunk
    static constexpr std::size_t kLargeChunkBytes = 2u * 1024u * 1024u; // every later chunk (a huge page)
    // Chunk bytes a thread keeps from destroyed pools for its next pools.
    static constexpr std::size_t kCachedBytesPerThread = 32u * 1024u * 1024u;

    KelSyntaxElementPool(KelParser* parser, std::size_t elementSize);
    KelSyntaxElementPool(const KelSyntaxElementPool&) = delete;
    KelSyntaxElementPool& operator=(const KelSyntaxElementPool&) = delete;
    ~KelSyntaxElementPool();

    // A new element built by the parser's callElementConstructor, with both completion flags set
    // (an element made by hand has nothing left to parse; the tree builder clears them).
    KelSyntaxElement* createElement();
    // The same for a parser that builds its elements of class `E` in place while it scans, without
    // the constructor's call and trace: `E(args...)` (which must not throw) goes into the slot
    // createElement would take and gets that slot's handle and `typeWord`. The slot is taken
    // inline from the free list or the current chunk; only a new chunk is made out of line.
    template <class E, class... Args>
    E* emplaceElement(std::uint32_t typeWord, Args&&... args) {
        std::uint32_t handle;
        return emplaceElementWithHandle<E>(typeWord, handle, static_cast<Args&&>(args)...);
    }
    // The same, also giving the new element's handle (which a builder linking it needs).
    template <class E, class... Args>
    E* emplaceElementWithHandle(std::uint32_t typeWord, std::uint32_t& handle, Args&&... args) {
        static_assert(noexcept(E(static_cast<Args&&>(args)...)), "an element built in place must not throw");
        unsigned char* slot = takeSlot(handle);
        E* element = new (slot) E(static_cast<Args&&>(args)...);
        element->iTypeWord = typeWord | E::kInPool;   // the pool is the element's friend
        return element;
    }
    // Destroys every element of the pool; their storage is kept for reuse.
    void release() noexcept;
    // Destroys every element made after `kept`, which stays where it is (a root that another
    // tree links to); `kept` is as a rule the pool's first element. Releases all when `kept` is
    // not one of the pool's elements (then false).
    bool releaseAllAfter(const KelSyntaxElement* kept) noexcept;
    // Destroys one element of this pool and keeps its slot for the next createElement. The
    // caller has unlinked it; nothing may refer to it afterwards.
    void destroyElement(KelSyntaxElement* element) noexcept;
    // Calls `visit` with every live element, in slot order. `visit` must not create or destroy
    // elements of this pool.
    void forEachLive(const std::function<void(KelSyntaxElement*)>& visit);
    // Destroys every live element for which `dies` answers true, slot by slot (so `dies` reads
    // only the element it is asked about); their slots go on the free list, the others stay
    // where they are and count as taken. `dies` must not throw.
    void releaseWhere(const std::function<bool(KelSyntaxElement*)>& dies) noexcept;
    // Destroys `count` elements of this pool, in that order, as destroyElement does each: a caller
    // that has checked a whole subtree gives its slots back in one call.
    void destroyElements(KelSyntaxElement* const* elements, std::size_t count) noexcept;
    // True when `element` (an element, or a slot of a chunk still mapped) is a live element of this pool.
    bool holds(const KelSyntaxElement* element) const noexcept;

    // The slots carved so far from one of this pool's chunks, so that a caller checking many
    // elements of one chunk answers holds() for each without a call: see holdsIn.
    struct CarvedChunk {
        std::uint32_t number = 0;           // the chunk's number; 0 when it is not this pool's
        const unsigned char* first = nullptr;
        std::size_t slots = 0;              // carved from it so far
        std::size_t slotSize = 0;
    };
    // The chunk that `element`'s handle names, when it is one of this pool's (else number 0).
    CarvedChunk carvedChunkOf(const KelSyntaxElement* element) const noexcept;
    // holds(element) for an element whose handle names `chunk` (from carvedChunkOf, with nothing
    // made or destroyed since): the same answer, the chunk looked up once for all its elements.
    bool holdsIn(const CarvedChunk& chunk, const KelSyntaxElement* element) const noexcept {
#ifdef KEL_POOL_CHECKS_POISON
        (void)chunk;
        return holds(element);   // a free slot is poisoned: only holds() may look at it
#else
        const auto* p = reinterpret_cast<const unsigned char*>(element);
        // In the chunk's carved slots, on a slot's start (an element's chunk is where it lies).
        const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(p) - reinterpret_cast<std::uintptr_t>(chunk.first);
        if (chunk.number == 0 || offset >= chunk.slots * chunk.slotSize || offset % chunk.slotSize != 0) return false;
        const void* word;   // a free slot holds null where a live element has its virtual table
        std::memcpy(&word, p, sizeof word);
        return word != nullptr;
#endif
    }

    // Elements taken from the pool since it was made or released (reused slots included).
    std::size_t elementCount() const noexcept { return iTaken; }
    // Elements alive now, and slots carved from chunks so far (the pool's high-water mark).
    std::size_t liveCount() const noexcept { return iCount - iFreeSlots; }
    std::size_t slotsCarved() const noexcept { return iCount; }
    std::size_t slotSize() const noexcept { return iSlotSize; }
    // Where this pool's elements keep their values.
    KelValueCells& valueCells() noexcept { return iValueCells; }
    // Bytes of large chunks mapped in this process (pools' and thread caches'), for tests.
    static std::size_t largeChunkBytesMapped() noexcept;

private:
    // Hands the chunk to this thread's cache, or frees it when the cache is full.
    struct ChunkDeleter {
        std::size_t bytes;
        std::uint32_t number;   // the chunk's number in the slot table
        void operator()(unsigned char* p) const noexcept;
    };
    struct Chunk {
        std::unique_ptr<unsigned char, ChunkDeleter> memory;
        std::size_t slots;
        std::uint32_t number;
    };
    // Moves on to the next chunk, making it when the pool has none left.
    void nextChunk();
    // The slot the next element goes into, and its handle, counted as taken. Free slots are
    // poisoned in sanitizer builds: there the free list is left to the out-of-line way.
    unsigned char* takeSlot(std::uint32_t& handle) {
#ifndef KEL_POOL_CHECKS_POISON
        if (iFreeList != nullptr) {
            unsigned char* slot = iFreeList;
            handle = KelSlotTable::handleOf(slot);
            std::memcpy(&iFreeList, slot + 2 * sizeof(void*), sizeof iFreeList);   // as markFree left it
            --iFreeSlots;
            ++iTaken;
            return slot;
        }
#endif
        if (iFreeList != nullptr || iFree == 0) return takeSlotOutOfLine(handle);
        return carveSlot(handle);
    }
    // The next slot of the current chunk, which has one free, counted as taken.
    unsigned char* carveSlot(std::uint32_t& handle) noexcept {
        unsigned char* slot = iNext;
        handle = iNextHandle;
        iNext += iSlotSize;
        ++iNextHandle;
        --iFree;
        ++iCount;
        ++iTaken;
        return slot;
    }
    unsigned char* takeSlotOutOfLine(std::uint32_t& handle);
    // The position of a slot of this pool counted from its first slot, in chunk order.
    std::size_t slotIndex(const unsigned char* slot) const noexcept;

    KelParser* iParser;
    KelValueCells iValueCells;   // release() lets every element give its cell back first
    std::size_t iSlotSize;
    std::vector<Chunk> iChunks;
    std::size_t iCount;       // slots handed out (and constructed), in chunk order
    std::size_t iChunk;       // chunk the next slot comes from (iChunks.size() when none yet)
    unsigned char* iNext;     // next free slot of that chunk
    std::uint32_t iNextHandle; // its handle
    std::size_t iFree;        // slots left in that chunk
    unsigned char* iFreeList; // slots of deleted elements, each holding the next one
    std::size_t iFreeSlots;   // slots on iFreeList
    std::size_t iTaken;       // createElement calls since the last release
};
