#include "host/KelValueCells.hpp"

#include <new>
#include <utility>

namespace {
// The first chunk is small, so that a parser of a short message stays cheap; each next one doubles
// up to the last size.
constexpr std::size_t kFirstChunkCells = 64;
constexpr std::size_t kLastChunkCells = 16384;
} // namespace

// The pool destroys its elements, which let their cells go, before it lets this go.
KelValueCells::~KelValueCells() = default;

const KelValue& KelValueCells::nullValue() noexcept {
    static const KelValue null;
    return null;
}

void* KelValueCells::takeStorage() {
    if (iFreeList != nullptr) {
        Storage* s = iFreeList;
        iFreeList = s->next;
        return s;
    }
    if (iLeft == 0) {
        std::size_t cells = kFirstChunkCells;
        for (std::size_t i = 0; i < iChunks.size() && cells < kLastChunkCells; ++i) cells *= 2;
        iChunks.emplace_back(new Storage[cells]);
        iNext = iChunks.back().get();
        iLeft = cells;
    }
    --iLeft;
    return iNext++;
}

KelValueCells::Cell* KelValueCells::takeOwn() {
    Cell* cell = new (takeStorage()) Cell();
    ++iLive;
    return cell;
}

KelValueCells::Cell* KelValueCells::takeNewShared(const char16_t* text, std::size_t length, std::uint32_t slot) {
    if (!iShares) iShares.reset(new Cell*[std::size_t{1} << kShareBits]());
    Cell* cell = takeOwnCharacters(text, length);
    cell->holders = 1;
    cell->shareSlot = slot;
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
    Cell* own = takeOwn();
    try {
        own->value.copyValue(cell->value);
    } catch (...) {
        freeCell(own);   // the holder keeps its shared cell
        throw;
    }
    --cell->holders;
    return own;
}

void KelValueCells::give(Cell* cell) noexcept {
    if (cell->holders > 1) {
        --cell->holders;
        return;
    }
    if (cell->shareSlot != kNoSlot) iShares[cell->shareSlot] = nullptr;
    freeCell(cell);
}

void KelValueCells::freeCell(Cell* cell) noexcept {
    cell->~Cell();
    auto* s = reinterpret_cast<Storage*>(cell);
    s->next = iFreeList;
    iFreeList = s;
    --iLive;
}
