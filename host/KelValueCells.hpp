// KelValueCells: the values of one pool's elements, kept apart from their slots so that an element
// without a value (most markup elements) pays nothing for one; a cell keeps its holders' name
// beside the value, so that an element keeps one pointer for both. Text a parser reads that
// begins with white space (the indentation between tags, above all), and text it expects to repeat
// (lookUp), is looked up among the last such texts read under the same name: every element of
// that name that read the same text holds one shared cell, until one of them is written or renamed
// and takes a cell of its own. A cell goes with
// its last holder; a shared cell that an element left stays until releaseLeft (when the parser's
// tree goes), since what that element's value() gave may still be read. Other text is not looked
// up: a look-up that misses costs more than the cell it saves. Cells come from chunks with a free
// list, so a value costs no allocation of its own.
// Ownership: owned by the element pool; an element holds its cell. Thread rules: those of the pool.
#pragma once

#include "host/KelPoison.hpp"
#include "host/KelValue.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

class KelValueCells {
public:
    // One value, and the name of the elements that hold it (interned, as an element's name is):
    // an element keeps one pointer for both. `holders` is 0 for a cell one element owns and may
    // write in place; a shared cell counts its holders, who only read it, and knows its place in
    // the share table. kLeft marks a shared cell an element left (for a cell of its own, or its
    // name's head) while it may still read it. Each name of a name table has a cell of its own
    // too, its head (shareSlot kNameHead, value null), which the elements that hold no value
    // point at: it is never written, given or shared, and its holder count is the name's hash.
    // A cell extends its value: the place and the count take the bytes after the value's kind,
    // so a cell is 56 bytes.
    static constexpr std::uint32_t kLeft = 0x80000000u;
    static constexpr std::uint16_t kNoSlot = 0xFFFF;
    static constexpr std::uint16_t kNameHead = 0xFFFE;
    struct Cell : KelValue {
        std::uint16_t shareSlot = kNoSlot;
        std::uint32_t holders = 0;
        const KelStringBase* name = nullptr;
        Cell() noexcept = default;
        constexpr Cell(const KelStringBase* cellName, std::uint32_t holderCount, std::uint16_t slot) noexcept
            : shareSlot(slot), holders(holderCount), name(cellName) {}
        KelValue& value() noexcept { return *this; }
        const KelValue& value() const noexcept { return *this; }
    };
    static bool isNameHead(const Cell* cell) noexcept { return cell->shareSlot == kNameHead; }
    // Text read without a look-up gets a cell of its own only when it fits inline (indentation is
    // short); text the reader expects to repeat is looked up up to kLookUpLimit units, so that a
    // repeated description or address shares its heap block as well as its cell.
    static constexpr std::size_t kShareLimit = KelStringBase::kInlineCapacity;
    static constexpr std::size_t kLookUpLimit = 1024;
    static constexpr unsigned kShareBits = 10;   // the share table's size: 1 024 recent texts
    static_assert((1u << kShareBits) <= kNameHead, "a place in the share table fits a cell's 16 bits");

    KelValueCells() = default;
    KelValueCells(const KelValueCells&) = delete;
    KelValueCells& operator=(const KelValueCells&) = delete;
    ~KelValueCells();

    // Every cell is for an element named `name` (interned), the empty name unless given; a
    // look-up is also given the name's hash (KelNameTable::storedHash), so that equal texts of
    // different names stand apart in the share table.
    static const KelStringBase* noName() noexcept;
    // A new cell, null, for one element alone.
    Cell* takeOwn(const KelStringBase* name = noName());
    // A cell holding the character value of `length` (<= kShareLimit) units at `text`, read from
    // a bitstream. Text that begins with white space is looked up (lookUp); other text gets a
    // cell of its own.
    Cell* takeRead(const char16_t* text, std::size_t length, const KelStringBase* name = noName(),
                   std::uint32_t nameHash = 0) {
        if (length == 0 || text[0] > u' ') return takeOwnCharacters(text, length, name);
        return lookUp(text, length, name, nameHash);
    }
    // The same for text (<= kLookUpLimit units) the reader expects to repeat, whatever it begins
    // with: the cell of the last such text read that equals it under the same name, shared, or a
    // new one that later reads may share. Only text longer than kShareLimit can fail (its heap
    // block), changing nothing.
    Cell* lookUp(const char16_t* text, std::size_t length, const KelStringBase* name = noName(),
                 std::uint32_t nameHash = 0) {
        const std::uint32_t slot = shareSlotOf(text, length, nameHash);
        if (iShares) {
            Cell* cell = iShares[slot];
            // A shared cell holds a character value.
            if (cell != nullptr && cell->name == name) {
                const KelStringBase& held = *cell->value().characters();
                if (held.length() == length && KelStringBase::sameUnits(held.data(), text, length)) {
                    // A cell left with no holders is taken again like any other.
                    ++cell->holders;
                    return cell;
                }
            }
        }
        return takeNewShared(text, length, name, slot);
    }
    // A new cell of one element's own, holding the `length` units at `text`.
    Cell* takeOwnCharacters(const char16_t* text, std::size_t length, const KelStringBase* name = noName()) {
        if (length > kShareLimit) return takeOwnLongCharacters(text, length, name);
        void* storage;
        if (iFreeList == nullptr && iLeft != 0) {
            storage = iNext++;
            --iLeft;
        }
#ifndef KEL_POOL_CHECKS_POISON   // there free cells are poisoned: the out-of-line way unpoisons them
        else if (iFreeList != nullptr) {
            storage = iFreeList;
            iFreeList = iFreeList->next;
        }
#endif
        else {
            storage = takeStorage();
        }
        Cell* cell = new (storage) Cell();
        cell->name = name;
        cell->value().setCharacters(text, length);   // inline: nothing to allocate, nothing to fail
        ++iLive;
        return cell;
    }
    // How many elements hold a shared cell (0 for an own cell).
    static std::uint32_t holdersOf(const Cell* cell) noexcept { return cell->holders & ~kLeft; }
    // The cell the holder of `cell` may write: `cell` itself when it owns it or is its only holder
    // ever (then it leaves the share table), else a new cell of its own with the same value.
    Cell* ownFor(Cell* cell);
    // The holder of `cell`, which is shared, lets it go but may still read it: the cell stays
    // until the pool is released.
    void leave(Cell* cell);
    // The holder of `cell` goes; the cell goes with its last holder, unless an element left it.
    void give(Cell* cell) noexcept;
    // Every element of the pool is gone: the cells elements left go too.
    void releaseLeft() noexcept;

    // Calls `visit` with the name of every cell no element holds that is kept all the same: the
    // cells elements left, and those in the share table. With the names the live elements hold,
    // these are every name a cell of this pool points at.
    template <class Visit>
    void forEachKeptName(Visit visit) const {
        for (const Cell* cell : iLeftCells) visit(cell->name);
        if (iShares)
            for (std::size_t i = 0; i < (std::size_t{1} << kShareBits); ++i)
                if (iShares[i] != nullptr) visit(iShares[i]->name);
    }

    // For tests and measurements: the cells alive.
    std::size_t liveCells() const noexcept { return iLive; }

private:
    // A cheap mix of the length, the units at both ends and the middle, and the name's hash: a
    // collision only costs a cell, as text and name are compared before a cell is shared.
    static std::uint32_t shareSlotOf(const char16_t* text, std::size_t length, std::uint32_t nameHash) noexcept {
        std::uint32_t h = static_cast<std::uint32_t>(length) ^ nameHash;
        if (length > 0) h ^= (text[0] | static_cast<std::uint32_t>(text[length - 1]) << 16) ^ text[length / 2] << 8;
        return (h * 0x9E3779B1u) >> (32 - kShareBits);
    }
    Cell* takeNewShared(const char16_t* text, std::size_t length, const KelStringBase* name, std::uint32_t slot);
    Cell* takeOwnLongCharacters(const char16_t* text, std::size_t length, const KelStringBase* name);
    void* takeStorage();
    static std::size_t chunkCells(std::size_t chunk) noexcept;   // cells of the chunk-th chunk
    void freeCell(Cell* cell) noexcept;

    union Storage {
        Storage* next;   // while free
        alignas(Cell) unsigned char bytes[sizeof(Cell)];
    };
    std::vector<std::unique_ptr<Storage[]>> iChunks;
    Storage* iNext = nullptr;     // next uncarved storage of the last chunk
    std::size_t iLeft = 0;        // uncarved storage left in it
    Storage* iFreeList = nullptr;
    std::unique_ptr<Cell*[]> iShares;   // made on the first shared read
    std::vector<Cell*> iLeftCells;      // cells elements left, kept until releaseLeft
    std::size_t iLive = 0;
};
