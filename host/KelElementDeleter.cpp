#include "host/KelElementDeleter.hpp"

#include "host/KelParser.hpp"
#include "host/KelSlotTable.hpp"
#include "host/KelSyntaxElementPool.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelThrow.hpp"

#include <cstdint>
#include <vector>

namespace {
[[noreturn]] void refuse(KelSyntaxElement* element, const char* why) {
    kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelSyntaxElement::deleteElement", KelMsg::E_Kel_DeleteRefused,
                                      why, element->describeParent());
}

thread_local std::vector<KelSyntaxElement*> tListed;

// The chunk an element lies in, told by its boundary (0 for an element made outside every pool).
std::uintptr_t chunkOf(const KelSyntaxElement* element) noexcept {
    return element->inPool() ? reinterpret_cast<std::uintptr_t>(element) & ~(KelSlotTable::kChunkAlignment - 1) : 0;
}

// The parser, pool and root of the chunk the last element came from, and that chunk's carved
// slots when the pool is the parser's. A subtree lies in a few chunks, mostly one, so they are
// looked up again only when the chunk changes.
struct Owner {
    std::uintptr_t chunk = ~std::uintptr_t(0);
    KelParser* parser = nullptr;
    KelSyntaxElementPool* pool = nullptr;
    const KelSyntaxElement* root = nullptr;
    KelSyntaxElementPool::CarvedChunk carved;

    void of(const KelSyntaxElement* e) {
        const std::uintptr_t c = chunkOf(e);
        if (c == chunk) return;
        chunk = c;
        parser = e->parser();
        pool = parser != nullptr ? &parser->elementPool() : nullptr;
        root = parser != nullptr ? parser->rootElement() : nullptr;
        carved = pool != nullptr ? pool->carvedChunkOf(e) : KelSyntaxElementPool::CarvedChunk();
    }
};

// The element after `e` in document order within the subtree of `top`, by its links: nothing is
// scanned, and deep trees need no stack. `up` is `e`'s parent and becomes the parent of the
// element returned (a child's parent is the element it was reached from, so only a climb reads
// a parent link).
KelSyntaxElement* following(KelSyntaxElement* e, const KelSyntaxElement* top, KelSyntaxElement*& up) noexcept {
    if (KelSyntaxElement* child = e->knownFirstChild()) {
        up = e;
        return child;
    }
    while (e != top) {
        if (KelSyntaxElement* next = e->knownNextSibling()) return next;
        e = up;
        up = e->parent();
    }
    return nullptr;
}
} // namespace

void KelElementDeleter::deleteSubtree(KelSyntaxElement* element) {
    if (element == nullptr) return;
    if (element->parent() != nullptr) refuse(element, "it is still attached; detach it first");
    // Everything is checked before anything goes.
    Owner owner;
    // The thread's list, taken for the call (a thread-local is found anew at every use).
    std::vector<KelSyntaxElement*> listed;
    listed.swap(tListed);
    KelSyntaxElementPool* onePool = nullptr;   // the first element's pool
    bool pools = false;                        // elements of more than one pool
    KelSyntaxElement* up = nullptr;   // the parent of `e`
    // The facts of the chunk in hand are copied out of `owner`, so that the walk keeps them at hand.
    std::uintptr_t chunk = ~std::uintptr_t(0);
    const KelSyntaxElement* root = nullptr;
    const KelSyntaxElementPool* pool = nullptr;
    KelSyntaxElementPool::CarvedChunk carved;
    for (KelSyntaxElement* e = element; e != nullptr; e = following(e, element, up)) {
        listed.push_back(e);
        if (chunkOf(e) != chunk) {
            owner.of(e);
            if (owner.pool == nullptr) refuse(element, "it was not made by a parser");
            if (onePool == nullptr)
                onePool = owner.pool;
            else if (owner.pool != onePool)
                pools = true;
            chunk = owner.chunk;
            root = owner.root;
            pool = owner.pool;
            carved = owner.carved;
        }
        if (!pool->holdsIn(carved, e)) refuse(element, "it was not made by a parser");
        if (root == e) refuse(element, "it is the root element of its parser");
        if ((e->typeWord() & KelSyntaxElement::kComplete) != KelSyntaxElement::kComplete)
            refuse(element, "the scan is still building into it");
        // A scan holds its elements by the path up to them, which passes through the top element.
        // An element whose parent shares its chunk shares its parser: it is not a top.
        const bool topOfItsParser = e == element || (chunkOf(up) != chunk && up->parser() != owner.parser);
        if (topOfItsParser && owner.parser->holdsElement(element)) refuse(element, "the scan is still building into it");
    }
    // The subtree was listed as it was checked (document order); the list is kept for the next
    // delete on this thread, so that deleting a record a time allocates nothing. A subtree of one
    // pool goes back to it in one call.
    if (!pools) {
        onePool->destroyElements(listed.data(), listed.size());
    } else {
        owner = Owner();
        for (KelSyntaxElement* e : listed) {
            owner.of(e);
            owner.pool->destroyElement(e);
        }
    }
    listed.clear();
    tListed.swap(listed);
}
