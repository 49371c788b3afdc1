// KelSlotTable: the process's table of element chunks, so that an element is named by a 32-bit
// handle (chunk number, slot number) instead of an 8-byte pointer, and finds its parser and its
// own handle through the head of its chunk instead of keeping them. Handle 0 names no element.
// Ownership: a chunk's number is taken when its memory is made and given back when the memory is
// freed; the pool that holds the chunk fills in its head and slot size. The table never moves.
// Thread rules: numbers are taken and given back under a lock; an entry is written only by the
// thread whose pool holds the chunk, before any element of it exists, and read without a lock by
// whoever uses those elements (handing a tree to another thread orders the two).
#pragma once

#include <cstddef>
#include <cstdint>

class KelParser;
class KelSyntaxElement;
class KelValueCells;

class KelSlotTable {
public:
    static constexpr unsigned kSlotBits = 16;
    static constexpr std::uint32_t kSlotMask = (1u << kSlotBits) - 1;
    static constexpr std::size_t kMaxSlotsPerChunk = kSlotMask + 1;
    static constexpr std::size_t kMaxChunks = (std::size_t{1} << (32 - kSlotBits)) - 1; // number 0 is unused
    // Every chunk starts on this boundary and is no larger, with its head just before it: an
    // element finds its chunk's head from its own address, so it keeps neither its handle nor a
    // pointer to its parser.
    static constexpr std::size_t kChunkAlignment = 2u * 1024u * 1024u;

    // What the bytes just before a chunk's first slot hold.
    struct Head {
        KelParser* parser;
        KelValueCells* cells;           // where the pool's elements keep their values
        std::uint32_t firstHandle;      // the handle of the chunk's first slot
        std::uint32_t reciprocal;       // 2^32 / slot size, rounded up: a slot's offset times it, over 2^32, is its number
    };

    // A handle becomes an address in one multiply and one add: `origin` is the chunk's base less
    // (chunk << kSlotBits) slot sizes, so the whole handle can be scaled without taking its slot
    // bits apart. (Wrapping arithmetic: the origin need not be an address.)
    struct Entry {
        std::uintptr_t origin;
        std::uint64_t slotSize;
    };

    // A free chunk number for `base` (throws std::bad_alloc when every number is taken).
    static std::uint32_t takeChunk(unsigned char* base);
    static void giveBackChunk(std::uint32_t chunk) noexcept;
    // The pool now holding chunk `chunk` says whose slots, of what size, it holds, and where the
    // chunk stands among its own chunks; the chunk's head is written here.
    static void assignChunk(std::uint32_t chunk, KelParser* parser, KelValueCells* cells, std::size_t slotSize,
                            std::size_t position) noexcept {
        Entry& e = sEntries[chunk];
        e.origin = sBases[chunk] - std::uintptr_t{chunk} * kMaxSlotsPerChunk * slotSize;
        e.slotSize = slotSize;
        sPositions[chunk] = static_cast<std::uint32_t>(position);
        Head* head = reinterpret_cast<Head*>(sBases[chunk]) - 1;
        head->parser = parser;
        head->cells = cells;
        head->firstHandle = handle(chunk, 0);
        head->reciprocal = static_cast<std::uint32_t>(((std::uint64_t{1} << 32) + slotSize - 1) / slotSize);
    }
    static std::uint32_t handle(std::uint32_t chunk, std::size_t slot) noexcept {
        return (chunk << kSlotBits) | static_cast<std::uint32_t>(slot);
    }

    // Entry 0 stays all null, so handle 0 reads as no element without a test.
    static KelSyntaxElement* element(std::uint32_t handle) noexcept {
        const Entry& e = sEntries[handle >> kSlotBits];
        return reinterpret_cast<KelSyntaxElement*>(e.origin + handle * e.slotSize);
    }
    // The head of the chunk holding `slot` (a slot of some pool's chunk, live or free).
    static const Head* headOf(const void* slot) noexcept {
        return reinterpret_cast<const Head*>(reinterpret_cast<std::uintptr_t>(slot) & ~(kChunkAlignment - 1)) - 1;
    }
    // The handle of `slot` (as headOf). Exact: a slot's offset is a whole number of slots, and
    // less than 2^21, so the rounding in the reciprocal never reaches the next number.
    static std::uint32_t handleOf(const void* slot) noexcept {
        const Head* head = headOf(slot);
        const std::uint64_t offset = reinterpret_cast<std::uintptr_t>(slot) - reinterpret_cast<std::uintptr_t>(head + 1);
        return head->firstHandle + static_cast<std::uint32_t>((offset * head->reciprocal) >> 32);
    }
    // Where the chunk of `handle` stands among the chunks of the pool it was last assigned to, so
    // that the pool answers whether it holds an element without searching its chunks.
    static std::size_t position(std::uint32_t handle) noexcept { return sPositions[handle >> kSlotBits]; }
    // Chunk numbers in use, for tests.
    static std::size_t chunksInUse() noexcept;

private:
    static Entry sEntries[kMaxChunks + 1];
    static std::uintptr_t sBases[kMaxChunks + 1];       // each chunk's first slot
    static std::uint32_t sPositions[kMaxChunks + 1];    // the chunk's place among its pool's chunks
};
