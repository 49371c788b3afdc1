#include "host/KelSyntaxElementPool.hpp"

#include "host/KelParser.hpp"
#include "host/KelSyntaxElement.hpp"

#include <cstdlib>
#include <new>

namespace {
constexpr std::size_t kAlignment = alignof(std::max_align_t);
std::size_t roundUp(std::size_t n) { return (n + kAlignment - 1) / kAlignment * kAlignment; }
} // namespace

void KelSyntaxElementPool::ChunkDeleter::operator()(unsigned char* p) const noexcept {
    ::operator delete(p, std::align_val_t(kAlignment));
}

KelSyntaxElementPool::KelSyntaxElementPool(KelParser* parser, std::size_t elementSize)
    : iParser(parser), iSlotSize(roundUp(elementSize < sizeof(KelSyntaxElement) ? sizeof(KelSyntaxElement) : elementSize)),
      iCount(0) {}

KelSyntaxElementPool::~KelSyntaxElementPool() { release(); }

KelSyntaxElement* KelSyntaxElementPool::createElement() {
    std::size_t chunk = iCount / kSlotsPerChunk;
    if (chunk == iChunks.size()) {
        auto* memory = static_cast<unsigned char*>(::operator new(iSlotSize * kSlotsPerChunk, std::align_val_t(kAlignment)));
        iChunks.emplace_back(memory);
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
