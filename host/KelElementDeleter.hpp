// KelElementDeleter: deletes a detached subtree of syntax elements, giving each slot back to the
// pool of the parser that made it, so that a program that walks a large message record by record
// and deletes each record after use keeps its memory flat. Everything is checked before anything
// is deleted: a refused delete leaves the subtree as it was. Holds no state of its own beyond a
// list of the subtree kept per thread for the next delete; the subtree's thread rules.
#pragma once

class KelSyntaxElement;

class KelElementDeleter {
public:
    // Raises KelRecoverableException E_Kel_DeleteRefused (inserts: why, the element's path) for
    // an element that is still attached, a parser's root element, an element that did not come
    // from its parser's pool, and an element a scan is still building into (incomplete, or held
    // by its parser's scan).
    static void deleteSubtree(KelSyntaxElement* element);
};
