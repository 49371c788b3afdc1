#include "builder/XmlBrokerOrvaneParser.hpp"

#include "builder/XmlBoundedScanner.hpp"
#include "host/KelBuffer.hpp"
#include "host/KelLog.hpp"
#include "host/KelSyntaxElementAccess.hpp"
#include "host/KelThrow.hpp"
#include "common/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"
#include "parser/XmlKelSyntaxElement.hpp"

#include <xercesc/framework/XMLAttr.hpp>
#include <xercesc/framework/XMLNotationDecl.hpp>
#include <xercesc/internal/ReaderMgr.hpp>
#include <xercesc/validators/DTD/DTDAttDef.hpp>
#include <xercesc/validators/DTD/DTDElementDecl.hpp>
#include <xercesc/validators/DTD/DTDEntityDecl.hpp>

using namespace xercesc;

const KelStringBase XmlBrokerOrvaneParser::kName(u"file:///");

namespace {

const KelStringBase kXmlDeclName(u"XML");
const KelStringBase kRequired(u"REQUIRED");
const KelStringBase kImplied(u"IMPLIED");
const KelStringBase kFixed(u"FIXED");
const char16_t kEmpty[] = u"";

bool hasText(const XMLCh* text) { return text != nullptr && *text != 0; }

XmlKelSyntaxElement* parentOf(XmlKelSyntaxElement* element) {
    return static_cast<XmlKelSyntaxElement*>(element->parent());
}

void markLeaf(KelSyntaxElement* element) {
    KelSyntaxElementAccess::setCompleteLeft(element);
    KelSyntaxElementAccess::setCompleteRight(element);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Construction

XmlBrokerOrvaneParser::XmlBrokerOrvaneParser(XmlKelParser* owner, bool spanReuse)
    : KelOwnedLogSource(owner ? owner->owner() : nullptr), iOwner(owner), iScan(this, this, this, this, spanReuse),
      iCurrentElement(nullptr), iDocType(nullptr), iDocTypeHasIntSubset(false) {
    KelTraceScope trace(this, "XmlBrokerOrvaneParser::XmlBrokerOrvaneParser", static_cast<const void*>(owner),
                        spanReuse);
}

XmlBrokerOrvaneParser::~XmlBrokerOrvaneParser() {
    KelTraceScope trace(this, "XmlBrokerOrvaneParser::~XmlBrokerOrvaneParser");
}

// ---------------------------------------------------------------------------------------------
// Scan driving

void XmlBrokerOrvaneParser::setParsedBufferInfo(const KelBuffer* bitStream, long ccsid, long encoding) {
    KelTraceScope trace(this, "XmlBrokerOrvaneParser::setParsedBufferInfo",
                        static_cast<const void*>(bitStream ? bitStream->data() : nullptr),
                        bitStream ? bitStream->length() : 0, ccsid, encoding);
    iDocType = nullptr;
    iDocTypeHasIntSubset = false;
    iOpenElements.clear();
    iLastAttached = nullptr;
    iLastOpened = nullptr;
    iLastText = nullptr;
    iPendingText = nullptr;
    iNames.forgetKeys();
    iCurrentElement = static_cast<XmlKelSyntaxElement*>(iOwner->rootElement());
    iScan.start(bitStream, ccsid, encoding);
    iElementBigEndian = iScan.spans().utf16() != XmlSpanLocator::Utf16::None ? iScan.spans().readsBigEndian()
                                                                            : (iScan.encoding() & 0x0F) == 1;
    iElementPage = XmlKelSyntaxElement::codepageOf(iScan.codePage());
}

void XmlBrokerOrvaneParser::parseNextItem() {
    KelTraceScope trace(this, "XmlBrokerOrvaneParser::parseNextItem");
    KelSyntaxElement* root = iOwner->rootElement();
    if (root && root->isCompleteLeft() && root->isCompleteRight()) return;
    if (!canScan()) return;
    parseNextItemChecked();
}

void XmlBrokerOrvaneParser::holdPendingText(KelSyntaxElement* text, const XmlNameCache::Entry* name,
                                            const XMLCh* chars, std::size_t length) {
    if (iPendingText != nullptr) endPendingText();   // another text of the step: that one has ended
    iPendingUnits.assign(chars, length);
    iPendingText = text;
    iPendingName = name;
}

void XmlBrokerOrvaneParser::endPendingText() {
    const bool lookUp = iPendingName->values.lookUp();
    const bool found = KelSyntaxElementAccess::parserReplaceActualValue(iPendingText, iPendingUnits.data(),
                                                                        iPendingUnits.size(), lookUp);
    iPendingText = nullptr;
    if (lookUp) iPendingName->values.note(found);
}

void XmlBrokerOrvaneParser::endStepText() {
    try {
        endPendingText();
    } catch (const std::exception& failure) {
        iScan.failAfterStep(failure);   // as if it had failed in the step: the scan goes no further
        throw;
    }
}

void XmlBrokerOrvaneParser::abandonPendingText() noexcept {
    if (iPendingText == nullptr) return;
    KelSyntaxElement* text = iPendingText;
    iPendingText = nullptr;
    try {
        KelSyntaxElementAccess::parserReplaceActualValue(text, iPendingUnits.data(), iPendingUnits.size(), false);
    } catch (...) {
        // Out of memory while failing already: the step's failure is the answer.
    }
}

bool XmlBrokerOrvaneParser::documentEnded() const noexcept {
    const KelSyntaxElement* root = iOwner->builtRoot();
    return root == nullptr || root->isCompleteRight();
}

bool XmlBrokerOrvaneParser::insideRoot() const noexcept {
    return iCurrentElement != nullptr && iCurrentElement->typeCode() != XmlTypeRoot;
}

KelStringBase XmlBrokerOrvaneParser::currentElementName() {
    if (iCurrentElement == nullptr) return KelStringBase();
    try {
        return iCurrentElement->name();
    } catch (const KelException&) {
        return KelStringBase();
    }
}

// ---------------------------------------------------------------------------------------------
// Positions and element set-up

inline XmlKelSyntaxElement* XmlBrokerOrvaneParser::newElement(int type, bool leaf) {
    iScan.countElement(iScan.spans().inEntity());
    // A leaf has nothing left to scan; a container is completed as its children arrive.
    const std::uint32_t word = (static_cast<std::uint32_t>(type) & KelSyntaxElement::kTypeMask) |
                               (leaf ? KelSyntaxElement::kComplete : 0u);
    if (KelLog::isDebugActive()) return newTracedElement(word);
    return iOwner->elementPool().emplaceElementWithHandle<XmlKelSyntaxElement>(word, iNewHandle, iElementPage,
                                                                              iElementBigEndian);
}

XmlKelSyntaxElement* XmlBrokerOrvaneParser::newTracedElement(std::uint32_t typeWord) {
    // Made the pool's usual way, through the parser's constructor call, which traces it.
    auto* element = static_cast<XmlKelSyntaxElement*>(iOwner->elementPool().createElement());
    KelSyntaxElementAccess::setTypeWord(element, typeWord);
    iNewHandle = element->slotHandle();
    element->setBufferBigEndian(iElementBigEndian);
    element->setBufferCodepage(iElementPage);
    return element;
}

inline void XmlBrokerOrvaneParser::attachToCurrent(XmlKelSyntaxElement* element) {
    KelSyntaxElementAccess::setCompleteLeft(iCurrentElement);
    KelSyntaxElementAccess::parserAttachAsLastChild(iCurrentElement, element, iNewHandle);
    iLastAttached = element;
}

void XmlBrokerOrvaneParser::attachLeaf(XmlKelSyntaxElement* parent, int type, const XMLCh* value) {
    XmlKelSyntaxElement* leaf = newElement(type, true);
    KelSyntaxElementAccess::parserSetActualValue(leaf, value ? value : kEmpty);
    KelSyntaxElementAccess::setCompleteLeft(parent);
    KelSyntaxElementAccess::parserAttachAsLastChild(parent, leaf);
}

void XmlBrokerOrvaneParser::closeDocTypeIfCurrent() {
    // Only a declaration this scan made can be pending, and it is iDocType until it is closed.
    if (iDocType == nullptr || iCurrentElement == nullptr || iCurrentElement->type() != XmlTypeDocTypeDecl) return;
    // A declaration with no children is as complete on the left as on the right.
    markLeaf(iCurrentElement);
    iLastAttached = iCurrentElement;
    iCurrentElement = parentOf(iCurrentElement);
    iDocType = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Document events

void XmlBrokerOrvaneParser::startDocument() {
    // A new document's declarations may stand where the last one's stood, for other names.
    iNames.forgetKeys();
    iScan.startDocument();
}

void XmlBrokerOrvaneParser::XMLDecl(const XMLCh* const versionStr, const XMLCh* const encodingStr,
                                    const XMLCh* const standaloneStr, const XMLCh* const /*autoEncodingStr*/) {
    iScan.checkDeclaration(versionStr);
    const Position p = takePosition();
    XmlKelSyntaxElement* decl = newElement(XmlTypeXmlDecl, true);
    KelSyntaxElementAccess::parserSetName(decl, kXmlDeclName);
    iScan.spans().spanFromPreviousEnd(decl, p);
    attachToCurrent(decl);
    if (hasText(versionStr)) attachLeaf(decl, XmlTypeVersion, versionStr);
    if (hasText(encodingStr)) attachLeaf(decl, XmlTypeEncoding, encodingStr);
    if (hasText(standaloneStr)) attachLeaf(decl, XmlTypeStandalone, standaloneStr);
    iScan.spans().setPreviousEnd(p);
}

void XmlBrokerOrvaneParser::startElement(const XMLElementDecl& elemDecl, const unsigned int /*uriId*/,
                                         const XMLCh* const /*prefixName*/, const RefVectorOf<XMLAttr>& attrList,
                                         const XMLSize_t attrCount, const bool isEmpty, const bool /*isRoot*/) {
    const Position p = takePosition();
    closePendingDocType();
    // The element is the owner's: its names go to the owner's table. The scanner keeps one
    // declaration per element name for the whole document, so a name met before is known by its
    // declaration, without asking for its text, measuring it and finding it again.
    KelNameTable& names = iOwner->nameTable();
    const std::size_t keySlot = XmlNameCache::keySlotOf(&elemDecl);
    const XmlNameCache::Keyed* known = iNames.findKeyed(keySlot, &elemDecl, names);
    const XMLCh* const elementName = known != nullptr ? known->text : elemDecl.getFullName();
    const std::size_t nameLength = known != nullptr ? iScan.checkStartTag(elementName, known->entry->length, attrList, attrCount)
                                                    : iScan.checkStartTag(elementName, attrList, attrCount);
    XmlKelSyntaxElement* element = newElement(XmlTypeElement, false);
    const XmlNameCache::Entry* name = known != nullptr ? known->entry : nullptr;
    if (name == nullptr && elementName != nullptr) {
        name = &iNames.find(elementName, nameLength, names);
        iNames.rememberKey(keySlot, &elemDecl, *name, elementName);
    }
    if (name != nullptr) KelSyntaxElementAccess::parserNameNewElement(element, name->name);
    attachToCurrent(element);
    iScan.spans().startAtPreviousEnd(element);
    iCurrentElement = element;
    if (attrCount > 0) {
        if (iQuotes.size() < attrCount) iQuotes.resize(attrCount);   // only grows: the first attrCount are this tag's
        unsigned char* const quotes = iQuotes.data();
        iScan.spans().attributeQuotes(attrList, attrCount, p, p.inDocument ? nullptr : iScan.readers().getCurrentEntity(),
                                      quotes);
        const std::vector<XmlDocumentScan::TagAttribute>& attributes = iScan.tagAttributes();
        for (XMLSize_t a = 0; a < attrCount; ++a) {
            const XmlDocumentScan::TagAttribute& attribute = attributes[a];
            addAttribute(attribute.name, attribute.nameLength, attribute.value, attribute.valueLength, quotes[a]);
        }
        if (iScan.scanner().takeUndeclaredReferenceInAttribute())
            iScan.spans().keepAttributeSourceText(attrList, attrCount, p, element);
    }
    iScan.endStartTag();
    if (isEmpty) {
        markLeaf(element);
        iScan.spans().endAt(element, p);
        // Its start tag is the whole span: kept when only its attributes change.
        const unsigned char* start = element->getBufferStart();
        const unsigned char* end = element->getBufferEnd();
        if (start != nullptr && end != nullptr && end > start && end - start < 0x7FFFFFFF)
            element->setStartTagLength(static_cast<std::uint32_t>(end - start));
        iCurrentElement = parentOf(element);
        iLastAttached = element;
    } else {
        // Where its start tag ends: its tags can be copied when only its content changes.
        const unsigned char* start = element->getBufferStart();
        if (start != nullptr && p.span != nullptr && p.span > start && p.span - start < 0x7FFFFFFF)
            element->setStartTagLength(static_cast<std::uint32_t>(p.span - start));
        iScan.openElement();
        iOpenElements.push_back(OpenElement{element, name != nullptr ? name->name : &element->storedName()});
        iLastOpened = element;
        iLastOpenedName = name;
    }
    iScan.spans().setPreviousEnd(p);
}

void XmlBrokerOrvaneParser::addAttribute(const XMLCh* name, std::size_t nameLength, const XMLCh* value,
                                         std::size_t valueLength, bool doubleQuoted) {
    XmlKelSyntaxElement* attribute = newElement(XmlTypeAttribute, true);
    const XmlNameCache::Entry* cached = nullptr;
    if (name != nullptr) {
        if (nameLength >= 5 && name[0] == u'x' && name[1] == u'm' && name[2] == u'l' && name[3] == u'n' &&
            name[4] == u's' && (nameLength == 5 || name[5] == u':'))
            iOwner->noteNamespaceDeclaration();
        cached = &iNames.find(name, nameLength, iOwner->nameTable());
        KelSyntaxElementAccess::parserNameNewElement(attribute, cached->name);
    }
    // Attributes whose values repeat (a status, a country, a currency) share the cells of values
    // read before; those whose values do not (identifiers, amounts) soon stop looking.
    if (cached != nullptr && value != nullptr && cached->values.lookUp())
        cached->values.note(KelSyntaxElementAccess::parserLookUpActualValue(attribute, value, valueLength));
    else
        KelSyntaxElementAccess::parserSetActualValue(attribute, value ? value : kEmpty, value ? valueLength : 0);
    attribute->setDoubleQuotedAttribute(doubleQuoted);
    attachToCurrent(attribute);
    attribute->setAsParsed();
}

void XmlBrokerOrvaneParser::endElement(const XMLElementDecl& /*elemDecl*/, const unsigned int /*uriId*/,
                                       const bool /*isRoot*/, const XMLCh* const /*prefixName*/) {
    const Position p = takePosition();
    XmlKelSyntaxElement* element = iCurrentElement;
    iScan.spans().endAt(element, p);
    markLeaf(element);
    iScan.closeElement();
    if (!iOpenElements.empty() && iOpenElements.back().element == element) iOpenElements.pop_back();
    iLastAttached = element;
    if (KelSyntaxElement* parent = element->parent(); parent != nullptr && element != iOwner->builtRoot())
        iCurrentElement = static_cast<XmlKelSyntaxElement*>(parent);
    iScan.spans().setPreviousEnd(p);
}

void XmlBrokerOrvaneParser::docCharacters(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection) {
    const Position p = takePosition();
    const unsigned char* start = iScan.spans().previousEnd();
    // The next item may start where the text ends.
    iScan.spans().afterCharacters(p, cdataSection);
    // Text has a span once it is known to end where markup starts (not at a reference inside it,
    // nor inside an entity's text): then its bytes, references and line ends as they stand, are
    // copied when its element is written anew.
    const unsigned char* end = cdataSection ? iScan.spans().endCData(p) : iScan.spans().previousEnd();
    // Only text this scan attached last can go on (compared as an address, never read: the host
    // may have deleted it since).
    KelSyntaxElement* last = !cdataSection && iLastAttached != nullptr && iLastAttached == iLastText
                                 ? iCurrentElement->knownLastChild() : nullptr;
    if (last != nullptr && last == iLastText && (last->isUnresolved() ? last->type() : last->typeCode()) == XmlTypeContent) {
        // More of the same text: extended in place, without copying what it already holds.
        if (last == iPendingText) {
            iPendingUnits.append(chars, length);
        } else if (iLastTextStep == iScan.stepCount() && iCurrentElement == iLastOpened && iLastOpenedName != nullptr) {
            // A leaf's text made in this step goes on: the host has not been given it, so its
            // pieces are gathered and the whole is looked up at the step's end; the next text of
            // this name is gathered from its first piece on.
            const KelStringBase* first = last->storedValue().characters();
            holdPendingText(last, iLastOpenedName, first != nullptr ? first->data() : u"", first != nullptr ? first->length() : 0);
            iPendingUnits.append(chars, length);
            iLastOpenedName->values.setGrows();
        } else {
            KelSyntaxElementAccess::parserAppendCharacters(last, chars, length);
        }
        XmlKelSyntaxElement* xml = static_cast<XmlKelSyntaxElement*>(last);
        if (p.span == nullptr) xml->setBufferStart(nullptr);
        xml->setBufferEnd(xml->getBufferStart() != nullptr ? end : nullptr);
        return;
    }
    XmlKelSyntaxElement* content = newElement(cdataSection ? XmlTypeCData : XmlTypeContent, true);
    // A leaf's text that repeats (a supplier, a status, a name) shares the cells of the same text
    // read before, learnt per element name as attribute values are; indentation is always looked
    // up, and would teach nothing.
    const XmlNameCache::Entry* leafName = iCurrentElement == iLastOpened ? iLastOpenedName : nullptr;
    if (leafName != nullptr && chars != nullptr && length > 0 && chars[0] > u' ' && leafName->values.grows()) {
        // This name's texts come in pieces (around references): gathered, and given their value
        // once, at the step's end.
        holdPendingText(content, leafName, chars, length);
    } else if (leafName != nullptr && chars != nullptr && length > 0 && chars[0] > u' ' && leafName->values.lookUp()) {
        leafName->values.note(KelSyntaxElementAccess::parserLookUpActualValue(content, chars, length));
    } else {
        KelSyntaxElementAccess::parserSetActualValue(content, chars, length);
    }
    // The start stays while the text goes on; the end is known once it ends at markup.
    content->setSpan(p.span != nullptr ? start : nullptr, p.span != nullptr && start != nullptr ? end : nullptr);
    attachToCurrent(content);
    iLastText = content;
    iLastTextStep = iScan.stepCount();
}

void XmlBrokerOrvaneParser::ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length,
                                                const bool /*cdataSection*/) {
    const Position p = takePosition();
    closePendingDocType();
    attachMarkupLeaf(p, XmlTypeWhiteSpace, nullptr, chars, length);
}

void XmlBrokerOrvaneParser::attachMarkupLeaf(const Position& p, int type, const XMLCh* target, const XMLCh* value,
                                             XMLSize_t length, XmlRepeatLearner* repeats) {
    // Comments, processing instructions and white space: a leaf whose text runs from where the
    // previous item ended to here; a target, when given, is its name.
    if (value && length == kZeroTerminated) length = XMLString::stringLen(value);
    XmlKelSyntaxElement* element = newElement(type, true);
    if (target) KelSyntaxElementAccess::parserSetName(element, iScan.checkedName(target));
    if (value && repeats != nullptr && length > 0 && repeats->lookUp())
        repeats->note(KelSyntaxElementAccess::parserLookUpActualValue(element, value, length));
    else if (value) KelSyntaxElementAccess::parserSetActualValue(element, value, length);
    else KelSyntaxElementAccess::parserSetActualValue(element, kEmpty);
    iScan.spans().spanFromPreviousEnd(element, p);
    attachToCurrent(element);
    iScan.spans().setPreviousEnd(p);
}

void XmlBrokerOrvaneParser::docComment(const XMLCh* const comment) {
    const Position p = takePosition();
    closePendingDocType();
    attachMarkupLeaf(p, XmlTypeComment, nullptr, comment, kZeroTerminated, &iCommentTexts);
}

void XmlBrokerOrvaneParser::docPI(const XMLCh* const target, const XMLCh* const data) {
    const Position p = takePosition();
    closePendingDocType();
    attachMarkupLeaf(p, XmlTypeProcessingInstruction, target, data);
}

void XmlBrokerOrvaneParser::startEntityReference(const XMLEntityDecl& entDecl) {
    takePosition();
    iScan.spans().forgetPreviousEnd();
    XmlKelSyntaxElement* mark = newElement(XmlTypeEntityReferenceStart, true);
    setEntityName(mark, entDecl);
    attachToCurrent(mark);
}

void XmlBrokerOrvaneParser::endEntityReference(const XMLEntityDecl& entDecl) {
    const Position p = takePosition();
    iScan.spans().setPreviousEnd(p);
    XmlKelSyntaxElement* mark = newElement(XmlTypeEntityReferenceEnd, true);
    setEntityName(mark, entDecl);
    attachToCurrent(mark);
}

// A reference's marks hold the entity's name, one of the few the document declares: looked up, so
// that every mark of the same entity shares one cell.
void XmlBrokerOrvaneParser::setEntityName(XmlKelSyntaxElement* mark, const XMLEntityDecl& entDecl) {
    const XMLCh* name = entDecl.getName();
    if (name == nullptr) KelSyntaxElementAccess::parserSetActualValue(mark, kEmpty);
    else KelSyntaxElementAccess::parserLookUpActualValue(mark, name, XMLString::stringLen(name));
}

void XmlBrokerOrvaneParser::endDocument() {
    KelSyntaxElement* root = iOwner->rootElement();
    iScan.checkEndOfDocument();
    if (iCurrentElement != nullptr && iCurrentElement != root && iCurrentElement->type() == XmlTypeDocTypeDecl) {
        markLeaf(iCurrentElement);
        iCurrentElement = parentOf(iCurrentElement);
    }
    KelSyntaxElementAccess::setCompleteRight(iCurrentElement);
    if (root != nullptr) markLeaf(root);
}

void XmlBrokerOrvaneParser::resetDocument() {}

// ---------------------------------------------------------------------------------------------
// Document type events

void XmlBrokerOrvaneParser::doctypeDecl(const DTDElementDecl& elemDecl, const XMLCh* const publicId,
                                        const XMLCh* const systemId, const bool /*hasIntSubset*/,
                                        const bool /*hasExtSubset*/) {
    const Position p = takePosition();
    XmlKelSyntaxElement* decl = newElement(XmlTypeDocTypeDecl, false);
    KelSyntaxElementAccess::parserSetName(decl, iScan.checkedName(elemDecl.getFullName()));
    iScan.spans().spanFromPreviousEnd(decl, p);
    attachToCurrent(decl);
    iCurrentElement = decl;
    iDocType = decl;
    iDocTypeHasIntSubset = false;
    if (hasText(publicId)) attachLeaf(decl, XmlTypePublicId, publicId);
    if (hasText(systemId)) attachLeaf(decl, XmlTypeSystemId, systemId);
    iScan.spans().setPreviousEnd(p);
}

void XmlBrokerOrvaneParser::startIntSubset() {
    const Position p = takePosition();
    XmlKelSyntaxElement* subset = newElement(XmlTypeInternalSubset, false);
    iScan.spans().startAtPreviousEnd(subset);
    if (iCurrentElement == iDocType) iDocTypeHasIntSubset = true;
    attachToCurrent(subset);
    iCurrentElement = subset;
    iScan.spans().setPreviousEnd(p);
    iScan.startInternalSubset(p.inDocument ? p.offset : -1);
}

void XmlBrokerOrvaneParser::endIntSubset() {
    const Position p = takePosition();
    placeParameterReferences(p);
    iScan.endInternalSubset();
    XmlKelSyntaxElement* subset = iCurrentElement;
    iScan.spans().endAt(subset, p);
    markLeaf(subset);
    iLastAttached = subset;
    iCurrentElement = parentOf(subset);
    // The declaration's closing '>' follows. The subset's text runs to it, blanks included, so
    // that an unchanged declaration is copied byte for byte; the next item starts after it.
    iScan.spans().forgetPreviousEnd();
    iScan.spans().leaveClosePending(subset, p);
}

void XmlBrokerOrvaneParser::startExtSubset() {
    XmlKelSyntaxElement* subset = newElement(XmlTypeExternalSubset, false);
    attachToCurrent(subset);
    iCurrentElement = subset;
}

void XmlBrokerOrvaneParser::endExtSubset() {
    const Position p = takePosition();
    markLeaf(iCurrentElement);
    iCurrentElement = parentOf(iCurrentElement);
    // The external subset is read after the declaration's closing '>', so the document's reader
    // now stands just after it: the declaration's own text ends there when it has no internal
    // subset, and in any case the next item starts there.
    if (iDocType != nullptr && iCurrentElement == iDocType && p.span != nullptr) {
        if (!iDocTypeHasIntSubset) iScan.spans().endAt(iDocType, p);
        iScan.spans().setPreviousEnd(p);
    }
}

void XmlBrokerOrvaneParser::elementDecl(const DTDElementDecl& decl, const bool /*isIgnored*/) {
    const Position p = takePosition();
    placeParameterReferences(p);
    XmlKelSyntaxElement* element = newElement(XmlTypeElementDef, true);
    if (decl.getFullName() != nullptr) KelSyntaxElementAccess::parserSetName(element, iScan.checkedName(decl.getFullName()));
    const XMLCh* model = decl.getFormattedContentModel();
    if (hasText(model)) KelSyntaxElementAccess::parserSetActualValue(element, model);
    iScan.spans().spanFromPreviousEnd(element, p);
    attachToCurrent(element);
    iScan.spans().setPreviousEnd(p);
}

void XmlBrokerOrvaneParser::startAttList(const DTDElementDecl& elemDecl) {
    const Position p = takePosition();
    placeParameterReferences(p);
    XmlKelSyntaxElement* list = newElement(XmlTypeAttList, false);
    if (elemDecl.getFullName() != nullptr) KelSyntaxElementAccess::parserSetName(list, iScan.checkedName(elemDecl.getFullName()));
    iScan.spans().startAtPreviousEnd(list);
    attachToCurrent(list);
    iCurrentElement = list;
    iScan.spans().setPreviousEnd(p);
}

void XmlBrokerOrvaneParser::attDef(const DTDElementDecl& /*elemDecl*/, const DTDAttDef& attDef, const bool ignoring) {
    const Position p = takePosition();
    XmlKelSyntaxElement* definition = newElement(XmlTypeAttDef, true);
    if (attDef.getFullName() != nullptr) KelSyntaxElementAccess::parserSetName(definition, iScan.checkedName(attDef.getFullName()));
    iScan.spans().spanFromPreviousEnd(definition, p);
    attachToCurrent(definition);

    if (attDef.getType() != XMLAttDef::AttTypes_Unknown) {
        XmlKelSyntaxElement* type = newElement(XmlTypeAttDefType, true);
        static const char16_t* const kTypeNames[] = {u"CDATA",    u"ID",      u"IDREF",    u"IDREFS",  u"ENTITY",
                                                     u"ENTITIES", u"NMTOKEN", u"NMTOKENS", u"NOTATION"};
        const int code = static_cast<int>(attDef.getType());
        if (code >= 0 && code <= XMLAttDef::Notation) KelSyntaxElementAccess::parserSetName(type, KelStringBase(kTypeNames[code]));
        KelStringBase value;
        if (const XMLCh* enumeration = attDef.getEnumeration()) {
            // The allowed values, which the validator separates by blanks, as "(a|b|c)"; a single
            // value keeps its parentheses too.
            bool gap = false;
            for (const XMLCh* c = enumeration; *c; ++c) {
                if (*c == u' ') {
                    gap = !value.empty();
                    continue;
                }
                if (value.empty()) value.append(u'(');
                else if (gap) value.append(u'|');
                gap = false;
                value.append(static_cast<char16_t>(*c));
            }
            if (!value.empty()) value.append(u')');
        }
        KelSyntaxElementAccess::parserSetActualValue(type, value);
        KelSyntaxElementAccess::setCompleteLeft(definition);
        KelSyntaxElementAccess::parserAttachAsLastChild(definition, type);
    }
    if (attDef.getValue() != nullptr) attachLeaf(definition, XmlTypeAttDefValue, attDef.getValue());
    const KelStringBase* kind = nullptr;
    switch (attDef.getDefaultType()) {
    case XMLAttDef::Required: kind = &kRequired; break;
    case XMLAttDef::Implied: kind = &kImplied; break;
    case XMLAttDef::Fixed:
    case XMLAttDef::Required_And_Fixed: kind = &kFixed; break;
    default: break;
    }
    if (kind != nullptr) attachLeaf(definition, XmlTypeAttDefDefaultType, kind->data());
    iScan.spans().setPreviousEnd(p);
    // The subset keeps the definition as written; the document may not get its effect.
    iScan.defineAttribute(attDef, ignoring);
}

void XmlBrokerOrvaneParser::endAttList(const DTDElementDecl& /*elemDecl*/) {
    const Position p = takePosition();
    XmlKelSyntaxElement* list = iCurrentElement;
    iScan.spans().endAt(list, p);
    markLeaf(list);
    iCurrentElement = parentOf(list);
    iScan.spans().setPreviousEnd(p);
    // References are looked for after the list, not in it.
    placeParameterReferences(p);
}

void XmlBrokerOrvaneParser::entityDecl(const DTDEntityDecl& entityDecl, const bool /*isPEDecl*/,
                                       const bool isIgnored) {
    const Position p = takePosition();
    placeParameterReferences(p);
    const bool external = entityDecl.getPublicId() != nullptr || entityDecl.getSystemId() != nullptr;
    iScan.declareEntity(entityDecl, isIgnored);
    int type = XmlTypeEntityDecl;
    if (entityDecl.getNotationName() != nullptr) type = XmlTypeUnparsedEntityDecl;
    else if (entityDecl.getIsParameter()) type = external ? XmlTypeExternalParameterEntityDecl : XmlTypeParameterEntityDecl;
    else if (external) type = XmlTypeExternalEntityDecl;
    XmlKelSyntaxElement* decl = newElement(type, true);
    KelSyntaxElementAccess::parserSetName(decl, iScan.checkedName(entityDecl.getName()));
    iScan.spans().spanFromPreviousEnd(decl, p);
    attachToCurrent(decl);
    if (hasText(entityDecl.getSystemId())) attachLeaf(decl, XmlTypeSystemId, entityDecl.getSystemId());
    if (hasText(entityDecl.getPublicId())) attachLeaf(decl, XmlTypePublicId, entityDecl.getPublicId());
    if (hasText(entityDecl.getNotationName())) attachLeaf(decl, XmlTypeNotationReference, entityDecl.getNotationName());
    if (hasText(entityDecl.getValue())) attachLeaf(decl, XmlTypeEntityValue, entityDecl.getValue());
    iScan.spans().setPreviousEnd(p);
}

void XmlBrokerOrvaneParser::notationDecl(const XMLNotationDecl& notDecl, const bool /*isIgnored*/) {
    const Position p = takePosition();
    placeParameterReferences(p);
    XmlKelSyntaxElement* decl = newElement(XmlTypeNotationDecl, true);
    KelSyntaxElementAccess::parserSetName(decl, iScan.checkedName(notDecl.getName()));
    iScan.spans().spanFromPreviousEnd(decl, p);
    attachToCurrent(decl);
    if (hasText(notDecl.getPublicId())) attachLeaf(decl, XmlTypePublicId, notDecl.getPublicId());
    if (hasText(notDecl.getSystemId())) attachLeaf(decl, XmlTypeSystemId, notDecl.getSystemId());
    iScan.spans().setPreviousEnd(p);
    // The scanner reports a notation before its closing '>': the next event finds it.
    iScan.spans().leaveClosePending(decl, p);
}

void XmlBrokerOrvaneParser::doctypeComment(const XMLCh* const comment) {
    const Position p = takePosition();
    placeParameterReferences(p);
    attachMarkupLeaf(p, XmlTypeDocTypeComment, nullptr, comment);
}

void XmlBrokerOrvaneParser::doctypePI(const XMLCh* const target, const XMLCh* const data) {
    const Position p = takePosition();
    placeParameterReferences(p);
    attachMarkupLeaf(p, XmlTypeDocTypePI, target, data);
}

void XmlBrokerOrvaneParser::doctypeWhitespace(const XMLCh* const chars, const XMLSize_t length) {
    const Position p = takePosition();
    placeParameterReferences(p);
    XMLSize_t skip = 0;
    if (iParameterPadPending && length > 0 && chars[0] == chSpace) skip = 1;
    iParameterPadPending = false;
    // Only the padding: the document has no white space here, and a rewrite must not add one.
    if (skip == 1 && length == 1) {
        iScan.spans().setPreviousEnd(p);
        return;
    }
    attachMarkupLeaf(p, XmlTypeDocTypeWhiteSpace, nullptr, chars + skip, length - skip);
}

void XmlBrokerOrvaneParser::placeParameterReferences(const Position& p) {
    iParameterPadPending = false;
    if (!iScan.references().watching()) return;
    for (const XmlParameterReferenceLog::Mark& mark : iScan.references().take(iScan.spans(), p)) {
        // As a reference in content: the marks have no text of their own, the expansion's items
        // none either, and the next item starts just after the reference.
        XmlKelSyntaxElement* element = newElement(mark.start ? XmlTypeEntityReferenceStart : XmlTypeEntityReferenceEnd, true);
        KelSyntaxElementAccess::parserSetActualValue(element, mark.name.data(), mark.name.size());
        if (mark.start) iScan.spans().forgetPreviousEnd();
        else iScan.spans().setPreviousEndAt(mark.documentOffset);
        iParameterPadPending = !mark.start && mark.padded;
        attachToCurrent(element);
    }
}

void XmlBrokerOrvaneParser::TextDecl(const XMLCh* const, const XMLCh* const) {}
void XmlBrokerOrvaneParser::resetDocType() {}

// ---------------------------------------------------------------------------------------------
// Elements the scan still needs

bool XmlBrokerOrvaneParser::holdsElement(const KelSyntaxElement* element) const noexcept {
    if (element == nullptr || !canScan()) return false;
    // The scan builds into its current element and the elements open around it, none of them
    // complete before its end tag: a finished element is not on that path, which is as long as
    // the document is deep, and a reader deleting each record it passed would pay for it every
    // time. (A deleter refuses a subtree with an unfinished element anywhere in it.)
    const bool finished = (element->typeWord() & KelSyntaxElement::kComplete) == KelSyntaxElement::kComplete;
    const KelSyntaxElement* held[] = {finished ? nullptr : iCurrentElement, iDocType,
                                      iScan.spans().pendingCloseElement()};
    for (const KelSyntaxElement* e : held)
        for (; e != nullptr; e = e->parent())
            if (e == element) return true;
    return false;
}

const unsigned char* XmlBrokerOrvaneParser::frontier() const noexcept {
    if (!iScan.inProgress() || iScan.stepCount() == 0) return nullptr;
    // A declaration's closing '>' not yet given to it, or a position inside an entity's text,
    // is no place to cut the bitstream.
    if (iScan.readers().getReaderDepth() != 1 || iScan.scanner().inPlaceEndPending()) return nullptr;
    return iScan.spans().frontier();
}
