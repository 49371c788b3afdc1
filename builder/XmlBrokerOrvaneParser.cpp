#include "builder/XmlBrokerOrvaneParser.hpp"

#include "builder/XmlBoundedScanner.hpp"
#include "host/KelBuffer.hpp"
#include "host/KelConverter.hpp"
#include "host/KelLog.hpp"
#include "host/KelSyntaxElementAccess.hpp"
#include "host/KelThrow.hpp"
#include "parser/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"
#include "parser/XmlKelSyntaxElement.hpp"

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/XMLAttr.hpp>
#include <xercesc/framework/XMLErrorCodes.hpp>
#include <xercesc/framework/XMLNotationDecl.hpp>
#include <xercesc/internal/DGXMLScanner.hpp>
#include <xercesc/internal/ReaderMgr.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/TranscodingException.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLUni.hpp>
#include <xercesc/validators/DTD/DTDAttDef.hpp>
#include <xercesc/validators/DTD/DTDElementDecl.hpp>
#include <xercesc/validators/DTD/DTDEntityDecl.hpp>
#include <xercesc/validators/DTD/DTDValidator.hpp>

#include <exception>

using namespace xercesc;

const KelStringBase XmlBrokerOrvaneParser::kName(u"file:///");

namespace {

const KelStringBase kXmlDeclName(u"XML");
const KelStringBase kRequired(u"REQUIRED");
const KelStringBase kImplied(u"IMPLIED");
const KelStringBase kFixed(u"FIXED");
const char16_t kEmpty[] = u"";

bool hasText(const XMLCh* text) { return text != nullptr && *text != 0; }

// VersionNum: "1." and one or more digits.
bool isVersionNumber(const XMLCh* text) {
    if (text[0] != u'1' || text[1] != u'.' || text[2] == 0) return false;
    for (const XMLCh* c = text + 2; *c; ++c)
        if (*c < u'0' || *c > u'9') return false;
    return true;
}

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
    : KelOwnedLogSource(owner ? owner->owner() : nullptr), iScan(this, this, this, this, XmlBuilderLimits().entityExpansions),
      iScanInProgress(false), iOwner(owner), iSpans(spanReuse), iFailures(this, iSpans), iCurrentElement(nullptr),
      iBufferLength(0), iCodePage(0), iEncoding(0), iStepCount(0), iDocType(nullptr), iDocTypeHasIntSubset(false),
      iElementCount(0), iDepth(0) {
    KelTraceScope trace(this, "XmlBrokerOrvaneParser::XmlBrokerOrvaneParser", static_cast<const void*>(owner),
                        spanReuse);
    iUtils.setOwner(this);
    iMeter.setLimits(iLimits);
    iScan.memory().setMeter(&iMeter);
    iScan.memory().setReferenceLog(&iReferences);
    iScan.setExpansionLimit(iLimits.entityExpansions);
    iScan.scanner().setDocHandler(this);
    setDTDHandler();
    setErrorHandler();
    setEntityResolver();
}

XmlBrokerOrvaneParser::~XmlBrokerOrvaneParser() {
    KelTraceScope trace(this, "XmlBrokerOrvaneParser::~XmlBrokerOrvaneParser");
    iMeter.watch(nullptr);
    iReferences.watch(nullptr);
}

void XmlBrokerOrvaneParser::setLimits(const XmlBuilderLimits& limits) {
    iLimits = limits;
    iMeter.setLimits(limits);
    iScan.setExpansionLimit(limits.entityExpansions);
}

void XmlBrokerOrvaneParser::setDTDHandler() { iScan.scanner().setDocTypeHandler(this); }

void XmlBrokerOrvaneParser::setErrorHandler() {
    iScan.scanner().setErrorReporter(this);
    iScan.validator().setErrorReporter(this);
}

// The reader manager learns of the entity handler only through this setter.
void XmlBrokerOrvaneParser::setEntityResolver() { iScan.scanner().setEntityHandler(this); }

// ---------------------------------------------------------------------------------------------
// Scan driving

void XmlBrokerOrvaneParser::setParsedBufferInfo(const KelBuffer* bitStream, long ccsid, long encoding) {
    const unsigned char* data = bitStream ? bitStream->data() : nullptr;
    const long length = bitStream ? bitStream->length() : 0;
    KelTraceScope trace(this, "XmlBrokerOrvaneParser::setParsedBufferInfo", static_cast<const void*>(data), length,
                        ccsid, encoding);
    iBufferLength = length;
    iCodePage = static_cast<int>(ccsid);
    iEncoding = static_cast<int>(encoding);
    iSpans.start(data, length, iCodePage);
    iEncodingName.clear();
    iLastError.reset();
    iStepCount = 0;
    iDocType = nullptr;
    iDocTypeHasIntSubset = false;
    iElementCount = 0;
    iDepth = 0;
    iMeter.start(length);
    iReferences.watch(nullptr);
    boundedScanner()->forgetUndeclaredReferences();
    iOpenElements.clear();
    iLastAttached = nullptr;

    if (iScanInProgress) giveUp();
    else iScan.dropInput();

    long bomLength = 0;   // bytes of a byte-order mark before the document text
    if (data != nullptr) {
        if (length < 0)
            kelThrow<KelRecoverableException>(this, KEL_HERE, "XmlBrokerOrvaneParser::setParsedBufferInfo",
                                              KelMsg::E_XmlP_InvParams, 0, length);
        // The scanner leaves a byte-order mark out of its offsets. It reads a UTF-16 mark itself;
        // a UTF-8 mark it would take for a character under the code-page name it is given, so the
        // input starts after it. startDocument moves the spans' base past either.
        if (KelConverter::isUtf16Ccsid(iCodePage) && length >= 2 &&
            ((data[0] == 0xFE && data[1] == 0xFF) || (data[0] == 0xFF && data[1] == 0xFE))) {
            // The ccsid and the mark say what the bytes are; an encoding declaration inside
            // that says otherwise (a UTF-8 message converted to UTF-16 keeps its declaration)
            // must not make the scanner switch. So the mark is skipped here and the byte order
            // it gives is named to the scanner.
            bomLength = 2;
        } else if (iCodePage == 1208 && length >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
            bomLength = 3;
        }
        // Read in place: the scanner's offsets are then offsets into the host's bytes.
        iUtils.BuildEncodingString(iEncodingName, ccsid, encoding, data, length);
        if (iEncodingName.empty() && bomLength == 2)
            iEncodingName = KelStringBase(data[0] == 0xFF ? u"utf-16le" : u"utf-16be");
        iScan.setInput(data + bomLength, static_cast<XMLSize_t>(length - bomLength), kName.data(),
                       iEncodingName.empty() ? nullptr : iEncodingName.data());
    }
    // The byte order the scanner reads UTF-16 in: the one it was told ("utf-16" alone it reads
    // little-endian).
    using Utf16 = XmlSpanLocator::Utf16;
    iSpans.readAs(bomLength, !KelConverter::isUtf16Ccsid(iCodePage) ? Utf16::None
                             : iEncodingName.equals("utf-16be")     ? Utf16::BigEndian
                                                                    : Utf16::LittleEndian);
    iCurrentElement = static_cast<XmlKelSyntaxElement*>(iOwner->rootElement());
}

void XmlBrokerOrvaneParser::parseNextItem() {
    KelTraceScope trace(this, "XmlBrokerOrvaneParser::parseNextItem");
    KelSyntaxElement* root = iOwner->rootElement();
    if (root && root->isCompleteLeft() && root->isCompleteRight()) return;
    if (!canScan()) return;
    scanStep();
}

bool XmlBrokerOrvaneParser::documentEnded() const noexcept {
    const KelSyntaxElement* root = iOwner->rootElement();
    return root == nullptr || root->isCompleteRight();
}

void XmlBrokerOrvaneParser::scanStep() {
    // The meter watches the scanner's readers during the step only: closings when a scan is
    // given up or a scanner goes belong to no document.
    struct Watch {
        XmlExpansionMeter& meter;
        ~Watch() { meter.watch(nullptr); }
    } watch{iMeter};
    iMeter.watch(iScan.scanner().getReaderMgr());
    try {
        ++iStepCount;
        if (iScanInProgress) {
            iScanInProgress = iScan.scanNext();
        } else {
            // Half a code unit at the end would be dropped by the scanner without a word.
            if (KelConverter::isUtf16Ccsid(iCodePage) && ((iBufferLength - iSpans.bomLength()) & 1) != 0)
                failWithScannerMessage(0, u"UTF-16 data of odd length");
            iScanInProgress = iScan.scanFirst();
        }
    } catch (const KelException& failure) {
        recordFailure(failure);
        throw;
    } catch (const OutOfMemoryException&) {
        iMeter.watch(nullptr);
        // An expansion the meter refused fails as an allocation does.
        if (iMeter.refusal() != nullptr) {
            try {
                failExpansion();
            } catch (const KelParserException& failure) {
                recordFailure(failure);
                throw;
            }
        }
        failWithScannerMessage(0, u"The scanner ran out of memory");
    } catch (const XMLException& failure) {
        failWithScannerMessage(static_cast<int>(failure.getCode()), failure.getMessage());
    } catch (const std::exception& failure) {
        // Passed on as it is, but the scan cannot go on, and navigation must learn why.
        recordUnexpected(failure.what());
        throw;
    } catch (...) {
        recordUnexpected("unknown exception");
        throw;
    }
    if (iScanInProgress) return;
    // The scan is over: freeing its readers belongs to no document.
    iMeter.watch(nullptr);
    iScan.dropInput();
    iScan.memory().releaseSpareReaders();
    // A scan that stops without reaching the end of the document has failed, even when the
    // scanner said nothing: the tree must not pass for complete.
    if (!documentEnded()) failWithScannerMessage(0, u"The document ended before it was complete");
}

void XmlBrokerOrvaneParser::giveUp() noexcept {
    iMeter.watch(nullptr);
    iReferences.watch(nullptr);
    iScanInProgress = false;
    iStartTagName = nullptr;
    iScan.resetScan();
    iScan.dropInput();
    iScan.memory().releaseSpareReaders();
}

void XmlBrokerOrvaneParser::recordFailure(const KelException& failure) {
    giveUp();
    iLastError = failure.clone();
}

void XmlBrokerOrvaneParser::recordUnexpected(const char* what) {
    giveUp();
    iLastError = iFailures.unexpected(what, currentElementName());
}

void XmlBrokerOrvaneParser::failWithScannerMessage(int code, const XMLCh* message) {
    try {
        iFailures.message(code, message, currentElementName());
    } catch (const KelParserException& failure) {
        recordFailure(failure);
        throw;
    }
}

void XmlBrokerOrvaneParser::failLimit(const char* limit, unsigned long value) {
    iFailures.limit(limit, value, iScan.scanner().getLocator(), blame());
}

XmlScanFailures::Blame XmlBrokerOrvaneParser::blame() {
    return XmlScanFailures::Blame{currentElementName(), insideRoot(), iStartTagName};
}

std::size_t XmlBrokerOrvaneParser::checkedNameLength(const XMLCh* name) {
    if (name == nullptr) return 0;
    std::size_t length = 0;
    while (name[length] != 0)
        if (++length > iLimits.nameLength) failLimit("name length", iLimits.nameLength);
    return length;
}

KelStringBase XmlBrokerOrvaneParser::checkedName(const XMLCh* name) {
    const std::size_t length = checkedNameLength(name);
    return name ? KelStringBase(name, length) : KelStringBase();
}

XmlBoundedScanner* XmlBrokerOrvaneParser::boundedScanner() const noexcept {
    return &iScan.scanner();
}

void XmlBrokerOrvaneParser::addExpansion(unsigned long long units) {
    if (!iMeter.add(units)) failExpansion();
}

void XmlBrokerOrvaneParser::countElement(bool inEntity) {
    if (++iElementCount > iLimits.elementCount) failLimit("element count", iLimits.elementCount);
    // An element made from an entity's text costs what the document did not spell out; any
    // other element checks what the entities read since the last check added.
    if (inEntity) addExpansion(XmlExpansionMeter::kElementCost);
    else if (!iMeter.check()) failExpansion();
}

std::size_t XmlBrokerOrvaneParser::checkStartTag(const XMLCh* name, const RefVectorOf<XMLAttr>& attributes,
                                                 XMLSize_t count) {
    // Limits this tag breaks are its own element's fault, not its parent's.
    iStartTagName = name;
    if (iDepth >= iLimits.nestingDepth) failLimit("nesting depth", iLimits.nestingDepth);
    if (count > iLimits.attributesPerElement) failLimit("attributes per element", iLimits.attributesPerElement);
    // Every limit is checked before anything is built, so a failing tag leaves no element behind.
    const std::size_t nameLength = checkedNameLength(name);
    iAttributeLengths.resize(count);
    unsigned long long defaulted = 0;
    for (XMLSize_t a = 0; a < count; ++a) {
        const XMLAttr* attribute = attributes.elementAt(a);
        iAttributeLengths[a].first = checkedNameLength(attribute->getQName());
        iAttributeLengths[a].second = attribute->getValue() ? XMLString::stringLen(attribute->getValue()) : 0;
        // A defaulted attribute is a copy the document did not spell out.
        if (!attribute->getSpecified())
            defaulted += iAttributeLengths[a].first + iAttributeLengths[a].second + XmlExpansionMeter::kElementCost;
    }
    if (defaulted > 0) addExpansion(defaulted);
    return nameLength;
}

void XmlBrokerOrvaneParser::checkVersion(const XMLCh* version) {
    // The scanner takes any version it does not know for 1.0, even one that is not a version
    // number at all ("1.0 ", "1.0?"); such a declaration makes the document not well-formed.
    if (hasText(version) && !isVersionNumber(version)) iScan.scanner().emitError(XMLErrs::BadXMLVersion, version);
}

void XmlBrokerOrvaneParser::failExpansion() {
    const XmlExpansionMeter::Refusal* refusal = iMeter.refusal();
    failLimit(refusal ? refusal->limit : "amplification factor", refusal ? refusal->value : iLimits.amplificationFactor);
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

XmlBrokerOrvaneParser::Position XmlBrokerOrvaneParser::takePosition() {
    return iSpans.take(*iScan.scanner().getReaderMgr());
}

XmlKelSyntaxElement* XmlBrokerOrvaneParser::setupSyntaxElement() {
    countElement(iSpans.inEntity());
    auto* element = static_cast<XmlKelSyntaxElement*>(iOwner->elementPool().createElement());
    KelSyntaxElementAccess::clearComplete(element);
    // UTF-16 spans are in the byte order the scanner actually read (a byte-order mark can say
    // otherwise than the encoding value); other pages take it from the encoding value.
    element->setBufferBigEndian(iSpans.utf16() != XmlSpanLocator::Utf16::None ? iSpans.readsBigEndian()
                                                                              : (iEncoding & 0x0F) == 1);
    element->setBufferCodepage(iCodePage);
    return element;
}

XmlKelSyntaxElement* XmlBrokerOrvaneParser::createLeaf(int type) {
    XmlKelSyntaxElement* element = setupSyntaxElement();
    KelSyntaxElementAccess::parserSetType(element, type);
    markLeaf(element);
    return element;
}

void XmlBrokerOrvaneParser::attachToCurrent(XmlKelSyntaxElement* element) {
    KelSyntaxElementAccess::setCompleteLeft(iCurrentElement);
    KelSyntaxElementAccess::parserAttachAsLastChild(iCurrentElement, element);
    iLastAttached = element;
}

void XmlBrokerOrvaneParser::attachLeaf(XmlKelSyntaxElement* parent, int type, const XMLCh* value) {
    XmlKelSyntaxElement* leaf = createLeaf(type);
    KelSyntaxElementAccess::parserSetActualValue(leaf, value ? value : kEmpty);
    KelSyntaxElementAccess::setCompleteLeft(parent);
    KelSyntaxElementAccess::parserAttachAsLastChild(parent, leaf);
}

void XmlBrokerOrvaneParser::closePendingDocType() {
    if (iCurrentElement == nullptr || iCurrentElement->type() != XmlTypeDocTypeDecl) return;
    // A declaration with no children is as complete on the left as on the right.
    markLeaf(iCurrentElement);
    iLastAttached = iCurrentElement;
    iCurrentElement = parentOf(iCurrentElement);
    iDocType = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Document events

void XmlBrokerOrvaneParser::startDocument() { iSpans.skipByteOrderMark(); }

void XmlBrokerOrvaneParser::XMLDecl(const XMLCh* const versionStr, const XMLCh* const encodingStr,
                                    const XMLCh* const standaloneStr, const XMLCh* const /*autoEncodingStr*/) {
    checkVersion(versionStr);
    const Position p = takePosition();
    XmlKelSyntaxElement* decl = createLeaf(XmlTypeXmlDecl);
    KelSyntaxElementAccess::parserSetName(decl, kXmlDeclName);
    iSpans.spanFromPreviousEnd(decl, p);
    attachToCurrent(decl);
    if (hasText(versionStr)) attachLeaf(decl, XmlTypeVersion, versionStr);
    if (hasText(encodingStr)) attachLeaf(decl, XmlTypeEncoding, encodingStr);
    if (hasText(standaloneStr)) attachLeaf(decl, XmlTypeStandalone, standaloneStr);
    iSpans.setPreviousEnd(p);
}

void XmlBrokerOrvaneParser::startElement(const XMLElementDecl& elemDecl, const unsigned int /*uriId*/,
                                         const XMLCh* const /*prefixName*/, const RefVectorOf<XMLAttr>& attrList,
                                         const XMLSize_t attrCount, const bool isEmpty, const bool /*isRoot*/) {
    const Position p = takePosition();
    closePendingDocType();
    const XMLCh* const elementName = elemDecl.getFullName();
    const std::size_t nameLength = checkStartTag(elementName, attrList, attrCount);
    XmlKelSyntaxElement* element = setupSyntaxElement();
    KelSyntaxElementAccess::parserSetType(element, XmlTypeElement);
    if (elementName != nullptr) {
        const XmlNameCache::Entry& name = iNames.find(elementName, nameLength, element->nameTable());
        KelSyntaxElementAccess::parserSetInternedName(element, name.name, name.hash);
    }
    attachToCurrent(element);
    iSpans.startAtPreviousEnd(element);
    iCurrentElement = element;
    if (attrCount > 0) {
        const std::vector<unsigned char>& quotes = iSpans.attributeQuotes(
            attrList, attrCount, p, p.inDocument ? nullptr : iScan.scanner().getReaderMgr()->getCurrentEntity());
        for (XMLSize_t a = 0; a < attrCount; ++a) {
            const XMLAttr* attribute = attrList.elementAt(a);
            addAttribute(attribute->getQName(), iAttributeLengths[a].first, attribute->getValue(),
                         iAttributeLengths[a].second, quotes[a]);
        }
        if (boundedScanner()->takeUndeclaredReferenceInAttribute())
            iSpans.keepAttributeSourceText(attrList, attrCount, p, element);
    }
    iStartTagName = nullptr;
    if (isEmpty) {
        markLeaf(element);
        iSpans.endAt(element, p);
        iCurrentElement = parentOf(element);
        iLastAttached = element;
    } else {
        ++iDepth;
        iOpenElements.push_back(OpenElement{element, &element->storedName()});
    }
    iSpans.setPreviousEnd(p);
}

void XmlBrokerOrvaneParser::addAttribute(const XMLCh* name, std::size_t nameLength, const XMLCh* value,
                                         std::size_t valueLength, bool doubleQuoted) {
    XmlKelSyntaxElement* attribute = createLeaf(XmlTypeAttribute);
    if (name != nullptr) {
        const XmlNameCache::Entry& cached = iNames.find(name, nameLength, attribute->nameTable());
        KelSyntaxElementAccess::parserSetInternedName(attribute, cached.name, cached.hash);
    }
    KelSyntaxElementAccess::parserSetActualValue(attribute, value ? value : kEmpty, value ? valueLength : 0);
    attribute->setDoubleQuotedAttribute(doubleQuoted);
    attachToCurrent(attribute);
}

void XmlBrokerOrvaneParser::endElement(const XMLElementDecl& /*elemDecl*/, const unsigned int /*uriId*/,
                                       const bool /*isRoot*/, const XMLCh* const /*prefixName*/) {
    const Position p = takePosition();
    XmlKelSyntaxElement* element = iCurrentElement;
    iSpans.endAt(element, p);
    markLeaf(element);
    if (iDepth > 0) --iDepth;
    if (!iOpenElements.empty() && iOpenElements.back().element == element) iOpenElements.pop_back();
    iLastAttached = element;
    if (element->parent() != nullptr && element != iOwner->rootElement()) iCurrentElement = parentOf(element);
    iSpans.setPreviousEnd(p);
}

void XmlBrokerOrvaneParser::docCharacters(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection) {
    const Position p = takePosition();
    // Character data has no span of its own; the next item may start where it ends.
    iSpans.afterCharacters(p, cdataSection);
    KelSyntaxElement* last = iCurrentElement->knownLastChild();
    if (!cdataSection && last != nullptr && last->type() == XmlTypeContent) {
        // More of the same text: extend it. The element lets go of its string first, so that
        // the append grows the one copy instead of copying it for every chunk.
        KelStringBase text = last->actualValue().characterValue();
        KelSyntaxElementAccess::parserResetValue(last);
        text.append(chars, length);
        KelSyntaxElementAccess::parserSetActualValue(last, text);
        return;
    }
    XmlKelSyntaxElement* content = createLeaf(cdataSection ? XmlTypeCData : XmlTypeContent);
    KelSyntaxElementAccess::parserSetActualValue(content, chars, length);
    attachToCurrent(content);
}

void XmlBrokerOrvaneParser::ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length,
                                                const bool /*cdataSection*/) {
    const Position p = takePosition();
    closePendingDocType();
    attachMarkupLeaf(p, XmlTypeWhiteSpace, nullptr, chars, length);
}

void XmlBrokerOrvaneParser::attachMarkupLeaf(const Position& p, int type, const XMLCh* target, const XMLCh* value,
                                             XMLSize_t length) {
    // Comments, processing instructions and white space: a leaf whose text runs from where the
    // previous item ended to here; a target, when given, is its name.
    if (value && length == kZeroTerminated) length = XMLString::stringLen(value);
    XmlKelSyntaxElement* element = createLeaf(type);
    if (target) KelSyntaxElementAccess::parserSetName(element, checkedName(target));
    if (value) KelSyntaxElementAccess::parserSetActualValue(element, value, length);
    else KelSyntaxElementAccess::parserSetActualValue(element, kEmpty);
    iSpans.spanFromPreviousEnd(element, p);
    attachToCurrent(element);
    iSpans.setPreviousEnd(p);
}

void XmlBrokerOrvaneParser::docComment(const XMLCh* const comment) {
    const Position p = takePosition();
    closePendingDocType();
    attachMarkupLeaf(p, XmlTypeComment, nullptr, comment);
}

void XmlBrokerOrvaneParser::docPI(const XMLCh* const target, const XMLCh* const data) {
    const Position p = takePosition();
    closePendingDocType();
    attachMarkupLeaf(p, XmlTypeProcessingInstruction, target, data);
}

void XmlBrokerOrvaneParser::startEntityReference(const XMLEntityDecl& entDecl) {
    takePosition();
    iSpans.forgetPreviousEnd();
    XmlKelSyntaxElement* mark = createLeaf(XmlTypeEntityReferenceStart);
    KelSyntaxElementAccess::parserSetActualValue(mark, entDecl.getName() ? entDecl.getName() : kEmpty);
    attachToCurrent(mark);
}

void XmlBrokerOrvaneParser::endEntityReference(const XMLEntityDecl& entDecl) {
    const Position p = takePosition();
    iSpans.setPreviousEnd(p);
    XmlKelSyntaxElement* mark = createLeaf(XmlTypeEntityReferenceEnd);
    KelSyntaxElementAccess::parserSetActualValue(mark, entDecl.getName() ? entDecl.getName() : kEmpty);
    attachToCurrent(mark);
}

void XmlBrokerOrvaneParser::endDocument() {
    KelSyntaxElement* root = iOwner->rootElement();
    // The scanner leaves the bytes of a character cut off by the end of the bitstream unread
    // and says nothing: they are as malformed as any other bad sequence.
    if (iSpans.stoppedInsideCharacter(*iScan.scanner().getReaderMgr())) {
        const TranscodingException cutOff(__FILE__, __LINE__, XMLExcepts::Trans_BadSrcSeq);
        const Locator* where = iScan.scanner().getLocator();
        error(XMLExcepts::Trans_BadSrcSeq, XMLUni::fgExceptDomain, ErrType_Fatal, cutOff.getMessage(), nullptr,
              nullptr, where ? where->getLineNumber() : 0, where ? where->getColumnNumber() : 0);
    }
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
    XmlKelSyntaxElement* decl = setupSyntaxElement();
    KelSyntaxElementAccess::parserSetType(decl, XmlTypeDocTypeDecl);
    KelSyntaxElementAccess::parserSetName(decl, checkedName(elemDecl.getFullName()));
    iSpans.spanFromPreviousEnd(decl, p);
    attachToCurrent(decl);
    iCurrentElement = decl;
    iDocType = decl;
    iDocTypeHasIntSubset = false;
    if (hasText(publicId)) attachLeaf(decl, XmlTypePublicId, publicId);
    if (hasText(systemId)) attachLeaf(decl, XmlTypeSystemId, systemId);
    iSpans.setPreviousEnd(p);
}

void XmlBrokerOrvaneParser::startIntSubset() {
    const Position p = takePosition();
    XmlKelSyntaxElement* subset = setupSyntaxElement();
    KelSyntaxElementAccess::parserSetType(subset, XmlTypeInternalSubset);
    iSpans.startAtPreviousEnd(subset);
    if (iCurrentElement == iDocType) iDocTypeHasIntSubset = true;
    attachToCurrent(subset);
    iCurrentElement = subset;
    iSpans.setPreviousEnd(p);
    iReferences.watch(iScan.scanner().getReaderMgr(), p.inDocument ? p.offset : -1);
}

void XmlBrokerOrvaneParser::endIntSubset() {
    const Position p = takePosition();
    placeParameterReferences(p);
    iReferences.watch(nullptr);
    XmlKelSyntaxElement* subset = iCurrentElement;
    iSpans.endAt(subset, p);
    markLeaf(subset);
    iLastAttached = subset;
    iCurrentElement = parentOf(subset);
    // The declaration's closing '>' follows. The subset's text runs to it, blanks included, so
    // that an unchanged declaration is copied byte for byte; the next item starts after it.
    iSpans.forgetPreviousEnd();
    iSpans.leaveClosePending(subset, p);
}

void XmlBrokerOrvaneParser::startExtSubset() {
    XmlKelSyntaxElement* subset = setupSyntaxElement();
    KelSyntaxElementAccess::parserSetType(subset, XmlTypeExternalSubset);
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
        if (!iDocTypeHasIntSubset) iSpans.endAt(iDocType, p);
        iSpans.setPreviousEnd(p);
    }
}

void XmlBrokerOrvaneParser::elementDecl(const DTDElementDecl& decl, const bool /*isIgnored*/) {
    const Position p = takePosition();
    placeParameterReferences(p);
    XmlKelSyntaxElement* element = createLeaf(XmlTypeElementDef);
    if (decl.getFullName() != nullptr) KelSyntaxElementAccess::parserSetName(element, checkedName(decl.getFullName()));
    const XMLCh* model = decl.getFormattedContentModel();
    if (hasText(model)) KelSyntaxElementAccess::parserSetActualValue(element, model);
    iSpans.spanFromPreviousEnd(element, p);
    attachToCurrent(element);
    iSpans.setPreviousEnd(p);
}

void XmlBrokerOrvaneParser::startAttList(const DTDElementDecl& elemDecl) {
    const Position p = takePosition();
    placeParameterReferences(p);
    XmlKelSyntaxElement* list = setupSyntaxElement();
    KelSyntaxElementAccess::parserSetType(list, XmlTypeAttList);
    if (elemDecl.getFullName() != nullptr) KelSyntaxElementAccess::parserSetName(list, checkedName(elemDecl.getFullName()));
    iSpans.startAtPreviousEnd(list);
    attachToCurrent(list);
    iCurrentElement = list;
    iSpans.setPreviousEnd(p);
}

void XmlBrokerOrvaneParser::attDef(const DTDElementDecl& /*elemDecl*/, const DTDAttDef& attDef, const bool /*ignoring*/) {
    const Position p = takePosition();
    XmlKelSyntaxElement* definition = createLeaf(XmlTypeAttDef);
    if (attDef.getFullName() != nullptr) KelSyntaxElementAccess::parserSetName(definition, checkedName(attDef.getFullName()));
    iSpans.spanFromPreviousEnd(definition, p);
    attachToCurrent(definition);

    if (attDef.getType() != XMLAttDef::AttTypes_Unknown) {
        XmlKelSyntaxElement* type = createLeaf(XmlTypeAttDefType);
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
    iSpans.setPreviousEnd(p);
}

void XmlBrokerOrvaneParser::endAttList(const DTDElementDecl& /*elemDecl*/) {
    const Position p = takePosition();
    XmlKelSyntaxElement* list = iCurrentElement;
    iSpans.endAt(list, p);
    markLeaf(list);
    iCurrentElement = parentOf(list);
    iSpans.setPreviousEnd(p);
    // References are looked for after the list, not in it.
    placeParameterReferences(p);
}

void XmlBrokerOrvaneParser::entityDecl(const DTDEntityDecl& entityDecl, const bool /*isPEDecl*/,
                                       const bool /*isIgnored*/) {
    const Position p = takePosition();
    placeParameterReferences(p);
    const bool external = entityDecl.getPublicId() != nullptr || entityDecl.getSystemId() != nullptr;
    iMeter.declare(&entityDecl, entityDecl.getValueLen());
    iReferences.declare(entityDecl);
    int type = XmlTypeEntityDecl;
    if (entityDecl.getNotationName() != nullptr) type = XmlTypeUnparsedEntityDecl;
    else if (entityDecl.getIsParameter()) type = external ? XmlTypeExternalParameterEntityDecl : XmlTypeParameterEntityDecl;
    else if (external) type = XmlTypeExternalEntityDecl;
    XmlKelSyntaxElement* decl = createLeaf(type);
    KelSyntaxElementAccess::parserSetName(decl, checkedName(entityDecl.getName()));
    iSpans.spanFromPreviousEnd(decl, p);
    attachToCurrent(decl);
    if (hasText(entityDecl.getSystemId())) attachLeaf(decl, XmlTypeSystemId, entityDecl.getSystemId());
    if (hasText(entityDecl.getPublicId())) attachLeaf(decl, XmlTypePublicId, entityDecl.getPublicId());
    if (hasText(entityDecl.getNotationName())) attachLeaf(decl, XmlTypeNotationReference, entityDecl.getNotationName());
    if (hasText(entityDecl.getValue())) attachLeaf(decl, XmlTypeEntityValue, entityDecl.getValue());
    iSpans.setPreviousEnd(p);
}

void XmlBrokerOrvaneParser::notationDecl(const XMLNotationDecl& notDecl, const bool /*isIgnored*/) {
    const Position p = takePosition();
    placeParameterReferences(p);
    XmlKelSyntaxElement* decl = createLeaf(XmlTypeNotationDecl);
    KelSyntaxElementAccess::parserSetName(decl, checkedName(notDecl.getName()));
    iSpans.spanFromPreviousEnd(decl, p);
    attachToCurrent(decl);
    if (hasText(notDecl.getPublicId())) attachLeaf(decl, XmlTypePublicId, notDecl.getPublicId());
    if (hasText(notDecl.getSystemId())) attachLeaf(decl, XmlTypeSystemId, notDecl.getSystemId());
    iSpans.setPreviousEnd(p);
    // The scanner reports a notation before its closing '>': the next event finds it.
    iSpans.leaveClosePending(decl, p);
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
    attachMarkupLeaf(p, XmlTypeDocTypeWhiteSpace, nullptr, chars, length);
}

void XmlBrokerOrvaneParser::placeParameterReferences(const Position& p) {
    if (!iReferences.watching()) return;
    for (const XmlParameterReferenceLog::Mark& mark : iReferences.take(iSpans, p)) {
        // As a reference in content: the marks have no text of their own, the expansion's items
        // none either, and the next item starts just after the reference.
        XmlKelSyntaxElement* element = createLeaf(mark.start ? XmlTypeEntityReferenceStart : XmlTypeEntityReferenceEnd);
        KelSyntaxElementAccess::parserSetActualValue(element, mark.name.data(), mark.name.size());
        if (mark.start) iSpans.forgetPreviousEnd();
        else iSpans.setPreviousEndAt(mark.documentOffset);
        attachToCurrent(element);
    }
}

void XmlBrokerOrvaneParser::TextDecl(const XMLCh* const, const XMLCh* const) {}
void XmlBrokerOrvaneParser::resetDocType() {}

// ---------------------------------------------------------------------------------------------
// Errors

void XmlBrokerOrvaneParser::error(const unsigned int errCode, const XMLCh* const errDomain,
                                  const ErrTypes type, const XMLCh* const errorText,
                                  const XMLCh* const systemId, const XMLCh* const publicId,
                                  const XMLFileLoc lineNum, const XMLFileLoc colNumber) {
    KelTraceScope trace(this, "XmlBrokerOrvaneParser::error");
    if (errCode == XMLErrs::EntityExpansionLimitExceeded) failLimit("entity expansions", boundedScanner()->expansionLimit());
    if (type == ErrType_Warning) {
        // A warning is the scanner's remark on a well-formed document (a second declaration of
        // an attribute, say): ending the scan for it would reject documents that are fine.
        if (KelLog::isTraceActive()) {
            KelLog::TraceItem item(this, "XmlBrokerOrvaneParser::error", "Scanner warning");
            item << static_cast<long>(errCode) << XmlScanFailures::boundedText(errorText) << static_cast<long>(lineNum)
                 << static_cast<long>(colNumber);
        }
        return;
    }
    iFailures.scannerError(errCode, errDomain, errorText, systemId, publicId, lineNum, colNumber, blame());
}

void XmlBrokerOrvaneParser::resetErrors() {}

// ---------------------------------------------------------------------------------------------
// Entities

void XmlBrokerOrvaneParser::endInputSource(const InputSource&) {}

bool XmlBrokerOrvaneParser::expandSystemId(const XMLCh* const, XMLBuffer&) {
    // Reported as expanded to nothing: no system id is ever turned into a location to open.
    return true;
}

void XmlBrokerOrvaneParser::resetEntities() {}

InputSource* XmlBrokerOrvaneParser::resolveEntity(XMLResourceIdentifier*) {
    // Every external entity and external subset reads as empty; the scanner owns the source.
    auto* empty = new MemBufInputSource(nullptr, 0, kEmpty, false);
    empty->setCopyBufToStream(false);
    return empty;
}

void XmlBrokerOrvaneParser::startInputSource(const InputSource&) {}

// ---------------------------------------------------------------------------------------------
// Elements the scan still needs

bool XmlBrokerOrvaneParser::holdsElement(const KelSyntaxElement* element) const noexcept {
    if (element == nullptr || !canScan()) return false;
    const KelSyntaxElement* held[] = {iCurrentElement, iDocType, iSpans.pendingCloseElement()};
    for (const KelSyntaxElement* e : held)
        for (; e != nullptr; e = e->parent())
            if (e == element) return true;
    return false;
}

const unsigned char* XmlBrokerOrvaneParser::frontier() const noexcept {
    if (!iScanInProgress || iStepCount == 0) return nullptr;
    // A declaration's closing '>' not yet given to it, or a position inside an entity's text,
    // is no place to cut the bitstream.
    if (iScan.scanner().getReaderMgr()->getReaderDepth() != 1) return nullptr;
    return iSpans.frontier();
}
