#include "builder/XmlTreelessChecker.hpp"

#include "builder/XmlBoundedScanner.hpp"
#include "host/KelBuffer.hpp"
#include "parser/XmlKelParser.hpp"
#include "host/KelLog.hpp"
#include "host/KelThrow.hpp"

#include <xercesc/framework/XMLAttr.hpp>
#include <xercesc/framework/XMLNotationDecl.hpp>
#include <xercesc/util/XMLUniDefs.hpp>
#include <xercesc/validators/DTD/DTDAttDef.hpp>
#include <xercesc/validators/DTD/DTDElementDecl.hpp>
#include <xercesc/validators/DTD/DTDEntityDecl.hpp>


using namespace xercesc;

namespace {
bool hasText(const XMLCh* text) { return text != nullptr && *text != 0; }
} // namespace

XmlTreelessChecker::XmlTreelessChecker(XmlKelParser* owner)
    : KelOwnedLogSource(owner ? owner->owner() : nullptr), iScan(this, this, this, this, false), iLastIsText(false),
      iEnded(false) {}

unsigned long XmlTreelessChecker::check(const KelBuffer& bitStream, long ccsid, long encoding,
                                        const XmlBuilderLimits& limits, const KelStringBase& rootName) {
    KelTraceScope trace(this, "XmlTreelessChecker::check", static_cast<const void*>(bitStream.data()),
                        bitStream.length(), ccsid, encoding);
    iScan.setLimits(limits);
    iOpen.clear();
    iOpenNames.clear();
    iLastIsText = false;
    iEnded = false;
    iXmlElements = 0;
    open(Open::Root, reinterpret_cast<const XMLCh*>(rootName.data()), rootName.length());
    iScan.start(&bitStream, ccsid, encoding);
    if (!iScan.canScan())
        kelThrow<KelParserException>(this, KEL_HERE, "XmlTreelessChecker::check", KelMsg::E_XmlP_NoBody);
    iElements = 0;
    while (!iEnded && iScan.canScan()) iScan.step();
    iScan.giveUp();
    return iElements + 1;
}

KelStringBase XmlTreelessChecker::currentElementName() {
    if (iOpen.empty()) return KelStringBase();
    const Frame& f = iOpen.back();
    return KelStringBase(iOpenNames.data() + f.nameStart, f.nameLength);
}

void XmlTreelessChecker::countElement() {
    ++iElements;
    iScan.countElement(iScan.readingEntity());
}

void XmlTreelessChecker::open(Open kind, const XMLCh* name, std::size_t length) {
    iOpen.push_back(Frame{kind, iOpenNames.size(), length});
    if (length > 0) iOpenNames.append(reinterpret_cast<const char16_t*>(name), length);
    iLastIsText = false;
}

void XmlTreelessChecker::close() {
    // The root stays: the builder's current element never goes above it.
    if (iOpen.size() <= 1) return;
    iOpenNames.resize(iOpen.back().nameStart);
    iOpen.pop_back();
    iLastIsText = false;
}

void XmlTreelessChecker::closePendingDocType() {
    if (current() == Open::DocType) close();
}

void XmlTreelessChecker::leafIf(const XMLCh* text) {
    if (hasText(text)) countElement();
}

void XmlTreelessChecker::markupLeaf(const XMLCh* target, const XMLCh* value, XMLSize_t length) {
    if (value && length == kZeroTerminated) length = XMLString::stringLen(value);
    countElement();
    if (target) iScan.checkedNameLength(target);
    iLastIsText = false;
}

// ---------------------------------------------------------------------------------------------
// Document events: each makes the checks the tree builder makes for it, in the same order.

void XmlTreelessChecker::startDocument() { iScan.startDocument(); }

void XmlTreelessChecker::XMLDecl(const XMLCh* const versionStr, const XMLCh* const encodingStr,
                                 const XMLCh* const standaloneStr, const XMLCh* const) {
    iScan.checkDeclaration(versionStr);
    countElement();
    leafIf(versionStr);
    leafIf(encodingStr);
    leafIf(standaloneStr);
    iLastIsText = false;
}

void XmlTreelessChecker::startElement(const XMLElementDecl& elemDecl, const unsigned int, const XMLCh* const,
                                      const RefVectorOf<XMLAttr>& attrList, const XMLSize_t attrCount,
                                      const bool isEmpty, const bool) {
    closePendingDocType();
    const XMLCh* const elementName = elemDecl.getFullName();
    const std::size_t nameLength = iScan.checkStartTag(elementName, attrList, attrCount);
    countElement();
    ++iXmlElements;
    for (XMLSize_t a = 0; a < attrCount; ++a) countElement();
    iScan.endStartTag();
    if (isEmpty) {
        iLastIsText = false;
        return;
    }
    iScan.openElement();
    open(Open::Element, elementName, nameLength);
}

void XmlTreelessChecker::endElement(const XMLElementDecl&, const unsigned int, const bool, const XMLCh* const) {
    iScan.closeElement();
    close();
}

void XmlTreelessChecker::docCharacters(const XMLCh* const, const XMLSize_t, const bool cdataSection) {
    // More text after text goes into the same element.
    if (cdataSection || !iLastIsText) countElement();
    iLastIsText = !cdataSection;
}

void XmlTreelessChecker::ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length, const bool) {
    closePendingDocType();
    markupLeaf(nullptr, chars, length);
}

void XmlTreelessChecker::docComment(const XMLCh* const comment) {
    closePendingDocType();
    markupLeaf(nullptr, comment, kZeroTerminated);
}

void XmlTreelessChecker::docPI(const XMLCh* const target, const XMLCh* const data) {
    closePendingDocType();
    markupLeaf(target, data, kZeroTerminated);
}

void XmlTreelessChecker::startEntityReference(const XMLEntityDecl&) {
    countElement();
    iLastIsText = false;
}

void XmlTreelessChecker::endEntityReference(const XMLEntityDecl&) {
    countElement();
    iLastIsText = false;
}

void XmlTreelessChecker::endDocument() {
    iScan.checkEndOfDocument();
    closePendingDocType();
    iEnded = true;
}

// ---------------------------------------------------------------------------------------------
// Document type events

void XmlTreelessChecker::doctypeDecl(const DTDElementDecl& elemDecl, const XMLCh* const publicId,
                                     const XMLCh* const systemId, const bool, const bool) {
    countElement();
    const XMLCh* name = elemDecl.getFullName();
    const std::size_t length = iScan.checkedNameLength(name);
    open(Open::DocType, name, length);
    leafIf(publicId);
    leafIf(systemId);
}

void XmlTreelessChecker::startIntSubset() {
    countElement();
    const XmlDocumentScan::Position p = iScan.takePosition();
    open(Open::InternalSubset, nullptr, 0);
    iScan.startInternalSubset(p.inDocument ? p.offset : -1);
}

void XmlTreelessChecker::endIntSubset() {
    countParameterReferences();
    iScan.endInternalSubset();
    close();
}

void XmlTreelessChecker::countParameterReferences() {
    // The builder marks each reference's start and end in the subset: two elements.
    iParameterPadPending = false;
    if (!iScan.references().watching()) return;
    for (const XmlParameterReferenceLog::Mark& mark : iScan.references().take(iScan.spans(), iScan.takePosition())) {
        countElement();
        iParameterPadPending = !mark.start && mark.padded;
    }
}

void XmlTreelessChecker::startExtSubset() {
    countElement();
    open(Open::ExternalSubset, nullptr, 0);
}

void XmlTreelessChecker::endExtSubset() { close(); }

void XmlTreelessChecker::elementDecl(const DTDElementDecl& decl, const bool) {
    countParameterReferences();
    countElement();
    if (decl.getFullName() != nullptr) iScan.checkedNameLength(decl.getFullName());
    iLastIsText = false;
}

void XmlTreelessChecker::startAttList(const DTDElementDecl& elemDecl) {
    countParameterReferences();
    countElement();
    const XMLCh* name = elemDecl.getFullName();
    const std::size_t length = name != nullptr ? iScan.checkedNameLength(name) : 0;
    open(Open::AttList, name, length);
}

void XmlTreelessChecker::attDef(const DTDElementDecl&, const DTDAttDef& attDef, const bool ignoring) {
    countElement();
    if (attDef.getFullName() != nullptr) iScan.checkedNameLength(attDef.getFullName());
    if (attDef.getType() != XMLAttDef::AttTypes_Unknown) countElement();
    if (attDef.getValue() != nullptr) countElement();
    switch (attDef.getDefaultType()) {
    case XMLAttDef::Required:
    case XMLAttDef::Implied:
    case XMLAttDef::Fixed:
    case XMLAttDef::Required_And_Fixed: countElement(); break;
    default: break;
    }
    iLastIsText = false;
    iScan.defineAttribute(attDef, ignoring);
}

void XmlTreelessChecker::endAttList(const DTDElementDecl&) {
    close();
    countParameterReferences();
}

void XmlTreelessChecker::entityDecl(const DTDEntityDecl& entityDecl, const bool, const bool ignored) {
    countParameterReferences();
    iScan.declareEntity(entityDecl, ignored);
    countElement();
    leafIf(entityDecl.getSystemId());
    leafIf(entityDecl.getPublicId());
    leafIf(entityDecl.getNotationName());
    leafIf(entityDecl.getValue());
    iLastIsText = false;
}

void XmlTreelessChecker::notationDecl(const XMLNotationDecl& notDecl, const bool) {
    countParameterReferences();
    countElement();
    iScan.checkedNameLength(notDecl.getName());
    leafIf(notDecl.getPublicId());
    leafIf(notDecl.getSystemId());
    iLastIsText = false;
}

void XmlTreelessChecker::doctypeComment(const XMLCh* const comment) {
    countParameterReferences();
    markupLeaf(nullptr, comment, kZeroTerminated);
}

void XmlTreelessChecker::doctypePI(const XMLCh* const target, const XMLCh* const data) {
    countParameterReferences();
    markupLeaf(target, data, kZeroTerminated);
}

void XmlTreelessChecker::doctypeWhitespace(const XMLCh* const chars, const XMLSize_t length) {
    countParameterReferences();
    // The scanner's padding space alone after an expansion is no blank of the document's: the
    // builder makes nothing of it.
    const bool padOnly = iParameterPadPending && length == 1 && chars[0] == chSpace;
    iParameterPadPending = false;
    if (!padOnly) markupLeaf(nullptr, chars, length);
}
