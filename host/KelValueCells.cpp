#include "host/KelValueCells.hpp"

#include "host/KelNameTable.hpp"

#include <new>
#include <utility>

namespace {
// The first chunk is small, so that a parser of a short message stays cheap; each next one doubles
// up to the last size.
constexpr std::size_t kFirstChunkCells = 64;
constexpr std::size_t kLastChunkCells = 16384;
} // namespace

static_assert(sizeof(KelValueCells::Cell) == 56, "a cell's place and count stand in its value's last bytes");

// The pool destroys its elements, which let their cells go, before it lets this go.
KelValueCells::~KelValueCells() {
    releaseLeft();
    // The chunks go back to the heap as they came: no mark of a free cell left on them.
    for (std::size_t c = 0; c < iChunks.size(); ++c)
        KEL_UNPOISON(iChunks[c].get(), sizeof(Storage) * chunkCells(c));
}

const KelStringBase* KelValueCells::noName() noexcept { return &KelNameTable::empty(); }

std::size_t KelValueCells::chunkCells(std::size_t chunk) noexcept {
    std::size_t cells = kFirstChunkCells;
    for (std::size_t i = 0; i < chunk && cells < kLastChunkCells; ++i) cells *= 2;
    return cells;
}

void* KelValueCells::takeStorage() {
    if (iFreeList != nullptr) {
        Storage* s = iFreeList;
        KEL_UNPOISON(s, sizeof(Storage));
        iFreeList = s->next;
        return s;
    }
    if (iLeft == 0) {
        const std::size_t cells = chunkCells(iChunks.size());
        iChunks.emplace_back(new Storage[cells]);
        iNext = iChunks.back().get();
        iLeft = cells;
    }
    --iLeft;
    return iNext++;
}

KelValueCells::Cell* KelValueCells::takeOwn(const KelStringBase* name) {
    Cell* cell = new (takeStorage()) Cell();
    cell->name = name;
    ++iLive;
    return cell;
}

KelValueCells::Cell* KelValueCells::takeOwnLongCharacters(const char16_t* text, std::size_t length,
                                                          const KelStringBase* name) {
    Cell* cell = takeOwn(name);
    try {
        cell->value().setCharacters(text, length);   // a heap block, which may fail
    } catch (...) {
        freeCell(cell);
        throw;
    }
    return cell;
}

KelValueCells::Cell* KelValueCells::takeNewShared(const char16_t* text, std::size_t length, const KelStringBase* name,
                                                  std::uint32_t slot) {
    if (!iShares) iShares.reset(new Cell*[std::size_t{1} << kShareBits]());
    Cell* cell = takeOwnCharacters(text, length, name);
    cell->holders = 1;
    cell->shareSlot = static_cast<std::uint16_t>(slot);
    if (Cell* old = iShares[slot]) old->shareSlot = kNoSlot;   // still held; no longer found
    iShares[slot] = cell;
    return cell;
}

KelValueCells::Cell* KelValueCells::ownFor(Cell* cell) {
    if (cell->holders == 0) return cell;
    if (cell->holders == 1) {
        if (cell->shareSlot != kNoSlot) iShares[cell->shareSlot] = nullptr;
        cell->holders = 0;
        cell->shareSlot = kNoSlot;
        return cell;
    }
    // Others hold it, or an element left it that may still read it: a copy of one's own.
    Cell* own = takeOwn(cell->name);
    try {
        own->value().copyValue(cell->value());
        leave(cell);
    } catch (...) {
        freeCell(own);   // the holder keeps its shared cell
        throw;
    }
    return own;
}

void KelValueCells::leave(Cell* cell) {
    if ((cell->holders & kLeft) == 0) {
        iLeftCells.push_back(cell);   // first, so that a failure changes nothing
        cell->holders |= kLeft;
    }
    --cell->holders;
}

void KelValueCells::give(Cell* cell) noexcept {
    if (holdersOf(cell) > 1 || (cell->holders & kLeft) != 0) {
        --cell->holders;
        return;
    }
    if (cell->shareSlot != kNoSlot) iShares[cell->shareSlot] = nullptr;
    freeCell(cell);
}

void KelValueCells::releaseLeft() noexcept {
    std::size_t kept = 0;
    for (Cell* cell : iLeftCells) {
        if (holdersOf(cell) != 0) {
            iLeftCells[kept++] = cell;   // still held: not every element is gone
            continue;
        }
        if (cell->shareSlot != kNoSlot) iShares[cell->shareSlot] = nullptr;
        freeCell(cell);
    }
    iLeftCells.resize(kept);
}

void KelValueCells::freeCell(Cell* cell) noexcept {
    cell->~Cell();
    auto* s = reinterpret_cast<Storage*>(cell);
    s->next = iFreeList;
    iFreeList = s;
    KEL_POISON(s, sizeof(Storage));
    --iLive;
}
