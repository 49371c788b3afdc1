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
    advance();
    return iterator(iCurrent != nullptr ? this : nullptr);
}

bool Records::matches(KelSyntaxElement* element) const {
    return element->type() == XmlTypeElement && (iName == "*" || element->name().toUtf8() == iName);
}

void Records::advance() {
    if (iParent == nullptr) return;
    KelSyntaxElement* e = iCurrent != nullptr ? iCurrent->nextSibling() : iParent->firstChild();
    if (iCurrent != nullptr) {
        deleteFromTree(iCurrent);   // after its next sibling is known: reaching it scanned past it
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
