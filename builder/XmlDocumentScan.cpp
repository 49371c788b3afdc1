#include "builder/XmlDocumentScan.hpp"

#include "builder/XmlBoundedScanner.hpp"
#include "builder/XmlIdleScanners.hpp"
#include "builder/XmlScanClient.hpp"
#include "host/KelBuffer.hpp"
#include "host/KelConverter.hpp"
#include "host/KelLog.hpp"
#include "host/KelPoison.hpp"   // whether AddressSanitizer checks this build
#include "host/KelThrow.hpp"

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/XMLAttr.hpp>
#include <xercesc/framework/XMLErrorCodes.hpp>
#include <xercesc/internal/ReaderMgr.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/TranscodingException.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLUni.hpp>
#include <xercesc/validators/DTD/DTDAttDef.hpp>
#include <xercesc/validators/DTD/DTDEntityDecl.hpp>
#include <xercesc/validators/DTD/DTDValidator.hpp>

#include <cstdint>
#include <cstring>
#include <exception>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

using namespace xercesc;

namespace {

const char16_t kEmpty[] = u"";
// System id of every bitstream handed to the scanner.
const char16_t kSystemId[] = u"file:///";

bool hasText(const XMLCh* text) { return text != nullptr && *text != 0; }

// Units before the terminator. Every start tag measures its name and each attribute's name and
// value: eight units at a time while the 16 bytes read lie within one page, so a read past the
// terminator never touches a page the text does not. (AddressSanitizer sees a read past a
// text's end as an error whatever its page: there unit by unit.)
std::size_t unitsBeforeTerminator(const XMLCh* text) noexcept {
    const XMLCh* p = text;
#if !defined(KEL_POOL_CHECKS_POISON) && defined(__SSE2__)
    constexpr std::uintptr_t kPage = 4096;
    const __m128i zero = _mm_setzero_si128();
    for (;;) {
        if ((reinterpret_cast<std::uintptr_t>(p) & (kPage - 1)) <= kPage - sizeof(__m128i)) {
            const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(units, zero)));
            if (mask != 0) return static_cast<std::size_t>(p - text) + static_cast<unsigned>(__builtin_ctz(mask)) / 2;
            p += sizeof(__m128i) / sizeof(XMLCh);
        } else {
            if (*p == 0) return static_cast<std::size_t>(p - text);   // the page's last units one by one
            ++p;
        }
    }
#else
    while (*p != 0) ++p;
    return static_cast<std::size_t>(p - text);
#endif
}

// VersionNum: "1." and one or more digits.
bool isVersionNumber(const XMLCh* text) {
    if (text[0] != u'1' || text[1] != u'.' || text[2] == 0) return false;
    for (const XMLCh* c = text + 2; *c; ++c)
        if (*c < u'0' || *c > u'9') return false;
    return true;
}

} // namespace

XmlDocumentScan::XmlDocumentScan(const KelOwnedLogSource* source, XmlScanClient* client,
                                 XMLDocumentHandler* documents, DocTypeHandler* declarations, bool spanReuse)
    : iSource(source), iClient(client), iDocuments(documents), iDeclarations(declarations),
      iSpans(spanReuse), iFailures(source, iSpans) {
    iUtils.setOwner(source);
    iMeter.setLimits(iLimits);
    iScan = takeScanner();
    attachScanner();
}

std::unique_ptr<XmlScannerObjects> XmlDocumentScan::takeScanner() {
    // Objects an earlier scan of this thread left are as good as new ones (a failed scan's are
    // never kept) and spare making the scanner library's objects for every message.
    if (std::unique_ptr<XmlScannerObjects> idle = XmlIdleScanners::take()) return idle;
    return std::make_unique<XmlScannerObjects>(iDocuments, iDeclarations, this, this, iLimits.entityExpansions);
}

void XmlDocumentScan::attachScanner() {
    iReaders = iScan->scanner().getReaderMgr();
    iScan->memory().setMeter(&iMeter);
    iScan->scanner().setMeter(&iMeter);
    iScan->scanner().setExpandInPlace(iExpandInPlace);
    iScan->memory().setReferenceLog(&iReferences);
    iScan->setExpansionLimit(iLimits.entityExpansions);
    // Given to the constructors too, but the reader manager learns of the entity handler, and
    // the document-type scan of its handler, only through these setters.
    iScan->scanner().setDocHandler(iDocuments);
    iScan->scanner().setDocTypeHandler(iDeclarations);
    iScan->scanner().setErrorReporter(this);
    iScan->validator().setErrorReporter(this);
    iScan->scanner().setEntityHandler(this);
}

XmlDocumentScan::~XmlDocumentScan() {
    iMeter.watch(nullptr);
    iReferences.watch(nullptr);
    if (!iScan || iScannerFailed) return;   // failed objects are not handed on (see start())
    // The client is being destroyed: nothing may reach it while the scan is put back to its start.
    iScan->scanner().setDocHandler(nullptr);
    iScan->scanner().setDocTypeHandler(nullptr);
    giveUp();
    if (iScan->outgrown()) return;   // not handed on either: the next scan would start with it all
    iScan->memory().setMeter(nullptr);
    iScan->scanner().setMeter(nullptr);
    iScan->scanner().setExpandInPlace(true);   // the next builder's scan starts with the default
    iScan->memory().setReferenceLog(nullptr);
    iScan->scanner().setErrorReporter(nullptr);
    iScan->validator().setErrorReporter(nullptr);
    iScan->scanner().setEntityHandler(nullptr);
    XmlIdleScanners::keep(std::move(iScan));
}

void XmlDocumentScan::setLimits(const XmlBuilderLimits& limits) {
    iLimits = limits;
    iMeter.setLimits(limits);
    iScan->setExpansionLimit(limits.entityExpansions);
}

bool XmlDocumentScan::readingEntity() const noexcept {
    return readers().getReaderDepth() > 1 || iScan->scanner().readingInPlace();
}

// ---------------------------------------------------------------------------------------------
// Driving

void XmlDocumentScan::start(const KelBuffer* bitStream, long ccsid, long encoding) {
    const unsigned char* data = bitStream ? bitStream->data() : nullptr;
    const long length = bitStream ? bitStream->length() : 0;
    iBufferLength = length;
    iCodePage = static_cast<int>(ccsid);
    iEncoding = static_cast<int>(encoding);
    iSpans.start(data, length, iCodePage);
    iLastError.reset();
    iStepCount = 0;
    iElementCount = 0;
    iDepth = 0;
    iStartTagName = nullptr;
    iMeter.start(length);
    iReferences.watch(nullptr);
    iInInternalSubset = false;
    iScan->scanner().forgetUndeclaredReferences();

    if (iScanInProgress) giveUp();
    else iScan->dropInput();
    if (iScannerFailed || iScan->outgrown()) {
        // A scan the library failed in (on a limit in an external subset, say) can leave it in a
        // state its reset does not clear, in which it fails the next document where that has no
        // fault: the next document gets scanner objects of its own. So do objects that have
        // gathered the declarations of too many names (XmlScannerObjects::outgrown).
        std::unique_ptr<XmlScannerObjects> fresh = takeScanner();
        iScan = std::move(fresh);
        attachScanner();
        iScannerFailed = false;
    }

    long bomLength = 0;   // bytes of a byte-order mark before the document text
    if (data == nullptr) {
        iEncodingName.clear();
    } else {
        if (length < 0)
            kelThrow<KelRecoverableException>(iSource, KEL_HERE, "XmlBrokerOrvaneParser::setParsedBufferInfo",
                                              KelMsg::E_XmlP_InvParams, 0, length);
        // The scanner leaves a byte-order mark out of its offsets. It reads a UTF-16 mark itself;
        // a UTF-8 mark it would take for a character under the code-page name it is given, so the
        // input starts after it. The spans' base moves past either at the document's start.
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
        // Read in place: the scanner's offsets are then offsets into the host's bytes. The name
        // the scanner is told depends on the code page, the encoding value and a UTF-16 mark
        // only, so a parser handed message after message alike works it out once.
        const bool utf16Mark = length >= 2 && ((data[0] == 0xFE && data[1] == 0xFF) || (data[0] == 0xFF && data[1] == 0xFE));
        const int mark = utf16Mark ? data[0] : 0;
        if (!iEncodingNamed || ccsid != iNamedCcsid || encoding != iNamedEncoding || mark != iNamedMark) {
            iNamedPage.clear();
            iUtils.BuildEncodingString(iNamedPage, ccsid, encoding, data, length);
            if (iNamedPage.empty() && bomLength == 2)
                iNamedPage = KelStringBase(data[0] == 0xFF ? u"utf-16le" : u"utf-16be");
            iEncodingNamed = true;
            iNamedCcsid = ccsid;
            iNamedEncoding = encoding;
            iNamedMark = mark;
        }
        iEncodingName = iNamedPage;
        iScan->setInput(data + bomLength, static_cast<XMLSize_t>(length - bomLength), kSystemId,
                       iEncodingName.empty() ? nullptr : iEncodingName.data());
    }
    // The byte order the scanner reads UTF-16 in: the one it was told ("utf-16" alone it reads
    // little-endian).
    using Utf16 = XmlSpanLocator::Utf16;
    iSpans.readAs(bomLength, !KelConverter::isUtf16Ccsid(iCodePage) ? Utf16::None
                             : iEncodingName.equals("utf-16be")     ? Utf16::BigEndian
                                                                    : Utf16::LittleEndian);
}

void XmlDocumentScan::step() {
    // The meter watches the scanner's readers during the step only: closings when a scan is
    // given up or a scanner goes belong to no document.
    struct Watch {
        XmlExpansionMeter& meter;
        ~Watch() { meter.watch(nullptr); }
    } watch{iMeter};
    iMeter.watch(iReaders);
    try {
        ++iStepCount;
        if (iScanInProgress) {
            if (iScan->scanner().inPlaceEndPending()) iScan->scanner().finishInPlace();
            iScanInProgress = iScan->scanNext();
        } else {
            // Half a code unit at the end would be dropped by the scanner without a word.
            if (KelConverter::isUtf16Ccsid(iCodePage) && ((iBufferLength - iSpans.bomLength()) & 1) != 0)
                failWithScannerMessage(0, u"UTF-16 data of odd length");
            iScanInProgress = iScan->scanFirst();
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
    iScan->dropInput();
    iScan->memory().releaseSpareReaders();
    // A scan that stops without reaching the end of the document has failed, even when the
    // scanner said nothing: the tree must not pass for complete.
    if (!iClient->documentEnded()) failWithScannerMessage(0, u"The document ended before it was complete");
}

void XmlDocumentScan::giveUp() noexcept {
    iMeter.watch(nullptr);
    iReferences.watch(nullptr);
    iInInternalSubset = false;
    iScanInProgress = false;
    iStartTagName = nullptr;
    iScan->scanner().forgetInPlace();
    iScan->resetScan();
    iScan->dropInput();
    iScan->memory().releaseSpareReaders();
}

void XmlDocumentScan::recordFailure(const KelException& failure) {
    iClient->stepFailed();
    giveUp();
    iScannerFailed = true;
    iLastError = failure.clone();
}

void XmlDocumentScan::recordUnexpected(const char* what) {
    iClient->stepFailed();
    giveUp();
    iScannerFailed = true;
    iLastError = iFailures.unexpected(what, iClient->currentElementName());
}

// ---------------------------------------------------------------------------------------------
// Limits

void XmlDocumentScan::addExpansion(unsigned long long units) {
    if (!iMeter.add(units)) failExpansion();
}

void XmlDocumentScan::countCheckedElement(bool inEntity) {
    if (++iElementCount > iLimits.elementCount) failLimit("element count", iLimits.elementCount);
    // An element made from an entity's text costs what the document did not spell out; any
    // other element checks what the entities read since the last check added.
    if (inEntity) addExpansion(XmlExpansionMeter::kElementCost);
    else if (!iMeter.check()) failExpansion();
}

std::size_t XmlDocumentScan::checkStartTag(const XMLCh* name, const RefVectorOf<XMLAttr>& attributes,
                                           XMLSize_t count) {
    return checkStartTag(name, name != nullptr ? unitsBeforeTerminator(name) : 0, attributes, count);
}

std::size_t XmlDocumentScan::checkStartTag(const XMLCh* name, std::size_t nameLength,
                                           const RefVectorOf<XMLAttr>& attributes, XMLSize_t count) {
    // Limits this tag breaks are its own element's fault, not its parent's.
    iStartTagName = name;
    if (iDepth >= iLimits.nestingDepth) failLimit("nesting depth", iLimits.nestingDepth);
    if (count > iLimits.attributesPerElement) failLimit("attributes per element", iLimits.attributesPerElement);
    // Every limit is checked before anything is built, so a failing tag leaves no element behind.
    if (nameLength > iLimits.nameLength) failLimit("name length", iLimits.nameLength);
    if (iTagAttributes.size() < count) iTagAttributes.resize(count);   // only grows: the first `count` are this tag's
    unsigned long long defaulted = 0;
    for (XMLSize_t a = 0; a < count; ++a) {
        const XMLAttr* attribute = attributes.elementAt(a);
        TagAttribute& kept = iTagAttributes[a];
        kept.name = attribute->getAttName()->getRawName();   // getQName() without its own call
        kept.nameLength = checkedNameLength(kept.name);
        kept.value = attribute->getValue();
        kept.valueLength = kept.value ? unitsBeforeTerminator(kept.value) : 0;
        kept.specified = attribute->getSpecified();
        // A defaulted attribute is a copy the document did not spell out.
        if (!kept.specified) defaulted += kept.nameLength + kept.valueLength + XmlExpansionMeter::kElementCost;
    }
    if (defaulted > 0) addExpansion(defaulted);
    return nameLength;
}

std::size_t XmlDocumentScan::checkedNameLength(const XMLCh* name) {
    if (name == nullptr) return 0;
    // Measured first and judged once: the scanner has read the whole name already.
    const std::size_t length = unitsBeforeTerminator(name);
    if (length > iLimits.nameLength) failLimit("name length", iLimits.nameLength);
    return length;
}

KelStringBase XmlDocumentScan::checkedName(const XMLCh* name) {
    const std::size_t length = checkedNameLength(name);
    return name ? KelStringBase(name, length) : KelStringBase();
}

void XmlDocumentScan::checkDeclaration(const XMLCh* version) {
    // The scanner takes any version it does not know for 1.0, even one that is not a version
    // number at all ("1.0 ", "1.0?"); such a declaration makes the document not well-formed.
    if (hasText(version) && !isVersionNumber(version)) iScan->scanner().emitError(XMLErrs::BadXMLVersion, version);
    // It also reads a pseudo-attribute's name through NULs and compares it as a C string, so
    // "encoding\0\0=" passes for "encoding=" (and a writer that rewrites the encoding then finds
    // none and adds a second). NUL is no XML character, and inside the declaration no padding.
    XMLFilePos end = 0;
    try {
        end = iReaders->getSrcOffset();
    } catch (const XMLException&) {
        return;
    }
    const long available = iSpans.length() - iSpans.bomLength();
    const long to = end < static_cast<XMLFilePos>(available) ? static_cast<long>(end) : available;
    const unsigned char* text = iSpans.bitStream() == nullptr ? nullptr : iSpans.bitStream() + iSpans.bomLength();
    if (text == nullptr) return;
    // A zero byte is NUL in every page read here but UTF-16, where NUL is a zero unit.
    const long unit = iSpans.utf16() == XmlSpanLocator::Utf16::None ? 1 : 2;
    for (long i = 0; i + unit <= to; i += unit)
        if (text[i] == 0 && (unit == 1 || text[i + 1] == 0)) {
            static const XMLCh kNul[] = u"0";
            iScan->scanner().emitError(XMLErrs::InvalidCharacter, kNul);
            return;
        }
}

void XmlDocumentScan::declareEntity(const DTDEntityDecl& entity, bool ignored) {
    checkedNameLength(entity.getName());
    iMeter.declare(&entity, entity.getValueLen());
    iReferences.declare(entity);
    // A parameter entity stays declared: what its references bring is declarations after the
    // unread one as well, and those of entities and attributes go unprocessed in their turn.
    if (!ignored && !entity.getIsParameter() && iScan->scanner().declarationsUnprocessed())
        iScan->scanner().leaveUndeclared(entity);
}

void XmlDocumentScan::defineAttribute(const DTDAttDef& definition, bool ignored) {
    if (ignored || !iScan->scanner().declarationsUnprocessed()) return;
    // The definition is the element declaration's own, added to the grammar before it was
    // reported: made to say what an undeclared attribute would, it adds no default value and
    // leaves values unnormalised. (An ignored one is a copy the scanner frees.)
    DTDAttDef& unprocessed = const_cast<DTDAttDef&>(definition);
    unprocessed.setType(XMLAttDef::CData);
    unprocessed.setDefaultType(XMLAttDef::Implied);
    unprocessed.setValue(nullptr);
}

void XmlDocumentScan::checkEndOfDocument() {
    // The scanner leaves the bytes of a character cut off by the end of the bitstream unread
    // and says nothing: they are as malformed as any other bad sequence.
    if (iSpans.stoppedInsideCharacter(readers())) {
        const TranscodingException cutOff(__FILE__, __LINE__, XMLExcepts::Trans_BadSrcSeq);
        const Locator* where = iScan->scanner().getLocator();
        error(XMLExcepts::Trans_BadSrcSeq, XMLUni::fgExceptDomain, ErrType_Fatal, cutOff.getMessage(), nullptr,
              nullptr, where ? where->getLineNumber() : 0, where ? where->getColumnNumber() : 0);
    }
    // The scanner stops at a NUL as at the end of its input. NUL padding is where a message
    // ends; anything else after it is text the tree would never hold, passed on unseen.
    if (iSpans.textAfterNulPadding(readers()))
        failWithScannerMessage(0, u"Content follows the NUL bytes that end the document");
}

void XmlDocumentScan::failExpansion() {
    const XmlExpansionMeter::Refusal* refusal = iMeter.refusal();
    failLimit(refusal ? refusal->limit : "amplification factor", refusal ? refusal->value : iLimits.amplificationFactor);
}

// ---------------------------------------------------------------------------------------------
// Failures

void XmlDocumentScan::failWithScannerMessage(int code, const XMLCh* message) {
    try {
        iFailures.message(code, message, iClient->currentElementName());
    } catch (const KelParserException& failure) {
        recordFailure(failure);
        throw;
    }
}

void XmlDocumentScan::failLimit(const char* limit, unsigned long value) {
    iFailures.limit(limit, value, iScan->scanner().getLocator(), blame());
}

XmlScanFailures::Blame XmlDocumentScan::blame() {
    return XmlScanFailures::Blame{iClient->currentElementName(), iClient->insideRoot(), iStartTagName};
}

void XmlDocumentScan::error(const unsigned int errCode, const XMLCh* const errDomain, const ErrTypes type,
                            const XMLCh* const errorText, const XMLCh* const systemId, const XMLCh* const publicId,
                            const XMLFileLoc lineNum, const XMLFileLoc colNumber) {
    KelTraceScope trace(iSource, "XmlBrokerOrvaneParser::error");
    if (errCode == XMLErrs::EntityExpansionLimitExceeded)
        failLimit("entity expansions", iScan->scanner().expansionLimit());
    if (type == ErrType_Warning) {
        // A warning is the scanner's remark on a well-formed document (a second declaration of
        // an attribute, say): ending the scan for it would reject documents that are fine.
        if (KelLog::isTraceActive()) {
            KelLog::TraceItem item(iSource, "XmlBrokerOrvaneParser::error", "Scanner warning");
            item << static_cast<long>(errCode) << XmlScanFailures::boundedText(errorText) << static_cast<long>(lineNum)
                 << static_cast<long>(colNumber);
        }
        return;
    }
    iFailures.scannerError(errCode, errDomain, errorText, systemId, publicId, lineNum, colNumber, blame());
}

void XmlDocumentScan::resetErrors() {}

// ---------------------------------------------------------------------------------------------
// Entities

void XmlDocumentScan::endInputSource(const InputSource&) {}

bool XmlDocumentScan::expandSystemId(const XMLCh* const, XMLBuffer&) {
    // Reported as expanded to nothing: no system id is ever turned into a location to open.
    return true;
}

void XmlDocumentScan::resetEntities() {}

InputSource* XmlDocumentScan::resolveEntity(XMLResourceIdentifier*) {
    // In the internal subset only a reference to an external parameter entity opens one: as it
    // is not read, the declarations after it may not be processed unless the document stands
    // alone (XML 1.0 section 5.1).
    if (iInInternalSubset && !iScan->scanner().getStandalone()) iScan->scanner().leaveLaterDeclarationsUnprocessed();
    // Every external entity and external subset reads as empty; the scanner owns the source.
    auto* empty = new MemBufInputSource(nullptr, 0, kEmpty, false);
    empty->setCopyBufToStream(false);
    return empty;
}

void XmlDocumentScan::startInputSource(const InputSource&) {}
