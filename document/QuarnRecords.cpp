// quarn::Records: the record walk that deletes behind it.
#include "document/QuarnRecords.hpp"

#include "host/KelSyntaxElement.hpp"
#include "common/XmlElementType.hpp"

#include <stdexcept>

namespace quarn {

namespace {
void deleteFromTree(KelSyntaxElement* element) {
    element->detach();
    element->deleteElement();   // its slots serve the next record
}
} // namespace

Node Records::iterator::operator*() const { return iRecords->iPrototype.at(iRecords->iCurrent, Node::Kind::Element); }

Records::iterator& Records::iterator::operator++() {
    iRecords->advance();
    if (iRecords->iCurrent == nullptr) iRecords = nullptr;
    return *this;
}

Records::iterator Records::begin() {
    if (iStarted) throw std::logic_error("quarn::Records: the records can be walked once");
    iStarted = true;
    iWalk = ++*iWalks;
    advance();
    return iterator(iCurrent != nullptr ? this : nullptr);
}

bool Records::matches(KelSyntaxElement* element) const {
    return element->type() == XmlTypeElement && (iName == "*" || element->name().toUtf8() == iName);
}

void Records::advance() {
    if (iParent == nullptr) return;
    if (*iWalks != iWalk)
        throw std::logic_error("quarn::Records: another walk of the document began; a document has one walk at a time");
    KelSyntaxElement* e = nullptr;
    if (iCurrent == nullptr || iCurrent->parent() != iParent) {
        // The first record; or the host took the record out (removed it, or moved it into another
        // tree), so it has no next sibling here: everything the walk passed is gone but the
        // parent's attributes, and the rest begins after them.
        e = iParent->firstChild();
    } else {
        e = iCurrent->nextSibling();
    }
    if (iCurrent != nullptr) {
        // After its next sibling is known: reaching it scanned past it. A record the host moved
        // into another tree is that tree's now, and stays there.
        if (iCurrent->parent() == nullptr || iCurrent->parent() == iParent) deleteFromTree(iCurrent);
        ++iCount;
    }
    while (e != nullptr && !matches(e)) {
        KelSyntaxElement* next = e->nextSibling();
        // The parent keeps its own attributes; text and other items between records go.
        if (e->type() != XmlTypeAttribute) deleteFromTree(e);
        e = next;
    }
    iCurrent = e;
}

} // namespace quarn
