// Document order within one subtree, by the element links alone: no stack, since documents may
// nest deeper than one. Header only; it holds nothing, so any thread may use it on a tree it owns.
#pragma once

#include "host/KelSyntaxElement.hpp"

// The element after `e` in document order below `top` (a child first, then the next sibling of
// `e` or of its nearest ancestor below `top`), or null once the subtree is done. Navigation scans
// on as it always does.
inline KelSyntaxElement* kelNextInSubtree(KelSyntaxElement* e, const KelSyntaxElement* top) {
    if (KelSyntaxElement* child = e->firstChild()) return child;
    while (e != top) {
        if (KelSyntaxElement* next = e->nextSibling()) return next;
        e = e->parent();
    }
    return nullptr;
}
