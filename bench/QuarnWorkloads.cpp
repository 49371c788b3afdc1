#include "bench/QuarnWorkloads.hpp"

#include "host/KelSyntaxElement.hpp"
#include "host/KelValue.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"

QuarnWorkloads::QuarnWorkloads(const KelBuffer& bitStream, int ccsid, int encoding)
    : iParser(std::make_unique<XmlKelParser>(&iGroup, true)), iBitStream(bitStream), iCcsid(ccsid),
      iEncoding(encoding) {
    iParser->initialize();
    refresh();
}

void QuarnWorkloads::refresh() {
    iParser->refreshElementsFromBitStream(nullptr, iBitStream, iEncoding, iCcsid);
}

KelSyntaxElement* QuarnWorkloads::root() { return iParser->rootElement(); }

QuarnWorkloads::WalkResult QuarnWorkloads::fullWalk() {
    WalkResult result;
    KelSyntaxElement* top = root();
    KelSyntaxElement* e = top;
    while (e != nullptr) {
        ++result.elements;
        result.valueUnits += e->name().length();
        // A container's value is made of its text children, which are read in their turn.
        if (e->typeCode() & kXmlValueBit) {
            const KelValue& value = e->value();
            if (value.isCharacter()) result.valueUnits += value.characterValue().length();
        }
        if (KelSyntaxElement* child = e->firstChild()) {
            e = child;
            continue;
        }
        while (e != top && e->nextSibling() == nullptr) e = e->parent();
        e = e == top ? nullptr : e->nextSibling();
    }
    return result;
}

std::size_t QuarnWorkloads::fieldLength(std::initializer_list<const char*> path) {
    KelSyntaxElement* at = root();
    for (const char* name : path) {
        const KelStringBase wanted = KelStringBase::fromAscii(name);
        // Stops at the match: asking the match for its next sibling would scan its whole content.
        KelSyntaxElement* next = nullptr;
        for (KelSyntaxElement* c = at->firstChild(); c != nullptr; c = c->nextSibling()) {
            if (c->type() == XmlTypeElement && c->name() == wanted) {
                next = c;
                break;
            }
        }
        if (next == nullptr) return 0;
        at = next;
    }
    // The element's text is its content child.
    for (KelSyntaxElement* c = at->firstChild(); c != nullptr; c = c->nextSibling()) {
        if (c->type() != XmlTypeContent) continue;
        const KelValue& value = c->value();
        return value.isCharacter() ? value.characterValue().length() : 0;
    }
    return 0;
}

KelSyntaxElement* QuarnWorkloads::firstChildOfDocumentElement() {
    for (KelSyntaxElement* c = root()->firstChild(); c != nullptr; c = c->nextSibling())
        if (c->type() == XmlTypeElement) return c->firstChild();
    return nullptr;
}

int QuarnWorkloads::passThrough(KelWriteBuffer& out) {
    iParser->setReuseBitStream(true);
    return iParser->refreshBitStreamFromElements(nullptr, &out, root(), iEncoding, iCcsid);
}

KelSyntaxElement* QuarnWorkloads::deepestLastElement() {
    KelSyntaxElement* deepest = nullptr;
    for (KelSyntaxElement* c = root()->lastChild(); c != nullptr; c = c->previousSibling()) {
        if (c->type() == XmlTypeElement) {
            deepest = c;
            break;
        }
    }
    for (;;) {
        KelSyntaxElement* next = nullptr;
        for (KelSyntaxElement* c = deepest ? deepest->lastChild() : nullptr; c != nullptr; c = c->previousSibling()) {
            // The last element child that has element children of its own leads deeper.
            if (c->type() == XmlTypeElement) {
                if (next == nullptr) next = c;
                bool container = false;
                for (KelSyntaxElement* g = c->firstChild(); g && !container; g = g->nextSibling())
                    container = g->type() == XmlTypeElement;
                if (container) {
                    next = c;
                    break;
                }
            }
        }
        if (next == nullptr) return deepest;
        deepest = next;
    }
}

int QuarnWorkloads::editDeepAttributeAndWrite(const char* name, const std::string& value, KelWriteBuffer& out) {
    KelSyntaxElement* target = deepestLastElement();
    const KelStringBase attributeName = KelStringBase::fromAscii(name);
    KelSyntaxElement* attribute = nullptr;
    for (KelSyntaxElement* c = target->firstChild(); c != nullptr && c->type() == XmlTypeAttribute; c = c->nextSibling())
        if (c->name() == attributeName) attribute = c;
    if (attribute == nullptr) {
        attribute = target->createFirstChild(attributeName);
        attribute->setType(XmlTypeAttribute);
    }
    attribute->setValue(KelStringBase::fromUtf8(value));
    iParser->setReuseBitStream(false);
    return iParser->refreshBitStreamFromElements(nullptr, &out, root(), iEncoding, iCcsid);
}

int QuarnWorkloads::writeTree(KelWriteBuffer& out, int ccsid, int encoding) {
    iParser->setReuseBitStream(false);
    return iParser->refreshBitStreamFromElements(nullptr, &out, root(), encoding, ccsid);
}
