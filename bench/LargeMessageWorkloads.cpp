#include "bench/LargeMessageWorkloads.hpp"

#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"

namespace {
KelSyntaxElement* documentElement(KelSyntaxElement* root) {
    for (KelSyntaxElement* c = root->firstChild(); c != nullptr; c = c->nextSibling())
        if (c->type() == XmlTypeElement) return c;
    return nullptr;
}
} // namespace

LargeMessageWorkloads::LargeMessageWorkloads(const KelBuffer& bitStream)
    : iParser(std::make_unique<XmlKelParser>(&iGroup, true)), iBitStream(bitStream) {
    iParser->initialize();
    refresh();
}

void LargeMessageWorkloads::refresh() { iParser->refreshElementsFromBitStream(nullptr, iBitStream, 546, 1208); }

long LargeMessageWorkloads::editFirstRecordAndWrite(KelWriteBuffer& out, int ccsid) {
    KelSyntaxElement* document = documentElement(iParser->rootElement());
    KelSyntaxElement* record = document ? document->firstChild() : nullptr;
    while (record != nullptr && record->type() != XmlTypeElement) record = record->nextSibling();
    KelSyntaxElement* attribute = record ? record->firstChild() : nullptr;
    if (attribute == nullptr || attribute->type() != XmlTypeAttribute) return -1;
    attribute->setValue(KelStringBase(u"edited"));
    return iParser->refreshBitStreamFromElements(nullptr, &out, iParser->rootElement(), 546, ccsid);
}

long LargeMessageWorkloads::check() { return iParser->checkBitStream(iBitStream, 546, 1208); }

long LargeMessageWorkloads::split(KelWriteBuffer& out, std::size_t* slots) {
    KelSyntaxElement* document = documentElement(iParser->rootElement());
    if (document == nullptr) return 0;
    KelSyntaxElement* holder = iParser->elementPool().createElement();
    holder->setType(XmlTypeRoot);
    long records = 0;
    for (KelSyntaxElement* child = document->firstChild(); child != nullptr;) {
        KelSyntaxElement* next = child->nextSibling();
        const int type = child->type();
        if (type != XmlTypeAttribute) {
            child->detach();
            if (type == XmlTypeElement) {
                holder->attachAsLastChild(child);
                out.clear();
                iParser->refreshBitStreamFromElements(nullptr, &out, holder, 546, 1208);
                child->detach();
                ++records;
            }
            child->deleteElement();
        }
        child = next;
    }
    holder->deleteElement();
    if (slots != nullptr) *slots = iParser->elementPool().slotsCarved();
    return records;
}
