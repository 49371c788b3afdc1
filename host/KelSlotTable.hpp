// KelSlotTable: the process's table of element chunks, so that an element is named by a 32-bit
// handle (chunk number, slot number) instead of an 8-byte pointer, and finds its parser through
// its chunk instead of keeping a pointer of its own. Handle 0 names no element.
// Ownership: a chunk's number is taken when its memory is made and given back when the memory is
// freed; the pool that holds the chunk fills in its parser and slot size. The table never moves.
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

    // A handle becomes an address in one multiply and one add: `origin` is the chunk's base less
    // (chunk << kSlotBits) slot sizes, so the whole handle can be scaled without taking its slot
    // bits apart. (Wrapping arithmetic: the origin need not be an address.)
    struct Entry {
        std::uintptr_t origin;
        std::uint64_t slotSize;
        KelParser* parser;
        KelValueCells* cells;     // where the pool's elements keep their values
    };

    // A free chunk number for `base` (throws std::bad_alloc when every number is taken).
    static std::uint32_t takeChunk(unsigned char* base);
    static void giveBackChunk(std::uint32_t chunk) noexcept;
    // The pool now holding chunk `chunk` says whose slots, of what size, it holds, and where the
    // chunk stands among its own chunks.
    static void assignChunk(std::uint32_t chunk, KelParser* parser, KelValueCells* cells, std::size_t slotSize,
                            std::size_t position) noexcept {
        Entry& e = sEntries[chunk];
        e.origin = sBases[chunk] - std::uintptr_t{chunk} * kMaxSlotsPerChunk * slotSize;
        e.slotSize = slotSize;
        e.parser = parser;
        e.cells = cells;
        sPositions[chunk] = static_cast<std::uint32_t>(position);
    }
    static std::uint32_t handle(std::uint32_t chunk, std::size_t slot) noexcept {
        return (chunk << kSlotBits) | static_cast<std::uint32_t>(slot);
    }

    // Entry 0 stays all null, so handle 0 reads as no element and no parser without a test.
    static KelSyntaxElement* element(std::uint32_t handle) noexcept {
        const Entry& e = sEntries[handle >> kSlotBits];
        return reinterpret_cast<KelSyntaxElement*>(e.origin + handle * e.slotSize);
    }
    static KelParser* parser(std::uint32_t handle) noexcept { return sEntries[handle >> kSlotBits].parser; }
    static KelValueCells* valueCells(std::uint32_t handle) noexcept { return sEntries[handle >> kSlotBits].cells; }
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
