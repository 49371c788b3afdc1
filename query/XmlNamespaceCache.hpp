// XmlNamespaceCache: the namespaces XmlNamespaceScope finds, for the nodes of one evaluation,
// reading each element's declarations once. It keeps the declarations in scope along one chain
// of elements, from the top down to the last element asked about; the next node a walk asks
// about in document order shares all of that chain but the part it has left, so a walk through
// a document reads each element once whatever the depth, where a look up every ancestor for each
// node works in the square of it. The chain gives the top of the tree too, for the same reason.
// It holds element addresses: it lives for one evaluation, and an element the evaluation deletes
// is forgotten first.
#pragma once

#include "host/KelStringBase.hpp"

#include <cstddef>
#include <unordered_map>
#include <vector>

class KelSyntaxElement;

class XmlNamespaceCache {
public:
    // As XmlNamespaceScope::uriOfElement and uriOfAttribute.
    KelStringBase uriOfElement(KelSyntaxElement* element);
    KelStringBase uriOfAttribute(KelSyntaxElement* attribute);
    // The topmost element above `element` (an element; itself when none is), read off the same
    // chain: what a path from the top starts below.
    KelSyntaxElement* topOf(KelSyntaxElement* element);
    // Drops `element` (about to be deleted) and what lies below it in the chain.
    void forget(const KelSyntaxElement* element);

private:
    KelStringBase uriOf(KelSyntaxElement* element, const KelStringBase& prefix);
    // Makes the chain end at `element`: kept down to its nearest ancestor the chain holds, then
    // extended through the ancestors below that one.
    void reach(KelSyntaxElement* element);
    void truncate(std::size_t length);

    struct Open {
        KelSyntaxElement* element;
        std::size_t bindings;   // iBindings' size before the element's declarations
    };
    struct Binding {
        KelStringBase prefix;
        KelStringBase uri;      // empty: undeclared (xmlns="")
        std::size_t shadowed;   // the binding of the prefix it hides, or npos
    };
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    std::vector<Open> iChain;
    std::unordered_map<const KelSyntaxElement*, std::size_t> iPlace;   // chain element -> index
    std::vector<Binding> iBindings;
    std::unordered_map<KelStringBase, std::size_t, KelStringBaseHash> iInScope;   // prefix -> binding
    std::vector<KelSyntaxElement*> iClimbed;   // reach()'s ancestors to add, kept for reuse
};
