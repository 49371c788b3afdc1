// XmlDocumentScan: one bitstream's scan under the parser's limits, as the tree builder and the
// tree-less check both need it. It drives the scanner library's progressive scan, meters what
// entity expansion and defaulted attributes add, keeps every limit of XmlBuilderLimits (names,
// start tags, nesting, element count, entity declarations), judges the end of the document, and
// turns whatever ends a scan into the one KelParserException both report. The document and
// document-type events go to the client's handlers; this class answers the scanner's errors and
// entity requests itself, so a limit or check added here holds for every client alike.
// Ownership: owned by its client (builder or check); owns the scanner objects (taken from the
// thread's idle ones when it has some, and left to it at the end unless a scan failed in them),
// the span locator, the meter and the parameter-reference log; borrows the client and its
// handlers; never owns the bitstream. Thread rules: the client's: one thread at a time.
#pragma once

#include "builder/XmlBuilderLimits.hpp"
#include "builder/XmlExpansionMeter.hpp"
#include "builder/XmlParameterReferenceLog.hpp"
#include "builder/XmlScanFailures.hpp"
#include "builder/XmlScannerObjects.hpp"
#include "builder/XmlSpanLocator.hpp"
#include "common/XmlUtils.hpp"
#include "host/KelException.hpp"
#include "host/KelStringBase.hpp"

#include <xercesc/framework/XMLEntityHandler.hpp>
#include <xercesc/framework/XMLErrorReporter.hpp>

#include <exception>
#include <memory>
#include <utility>
#include <vector>

XERCES_CPP_NAMESPACE_BEGIN
class DocTypeHandler;
class DTDAttDef;
class DTDEntityDecl;
class ReaderMgr;
class XMLAttr;
class XMLDocumentHandler;
template <class TElem> class RefVectorOf;
XERCES_CPP_NAMESPACE_END

class KelBuffer;
class KelOwnedLogSource;
class XmlBoundedScanner;
class XmlScanClient;

class XmlDocumentScan : public xercesc::XMLErrorReporter, public xercesc::XMLEntityHandler {
public:
    using Position = XmlSpanLocator::Position;

    // `source` names the failures and traces (the client as a log source); `documents` and
    // `declarations` receive the scanner's events; spans are recorded when `spanReuse`.
    XmlDocumentScan(const KelOwnedLogSource* source, XmlScanClient* client, xercesc::XMLDocumentHandler* documents,
                    xercesc::DocTypeHandler* declarations, bool spanReuse);
    ~XmlDocumentScan() override;
    XmlDocumentScan(const XmlDocumentScan&) = delete;
    XmlDocumentScan& operator=(const XmlDocumentScan&) = delete;

    // ---- Limits: new ones apply from the next bitstream on.
    const XmlBuilderLimits& limits() const noexcept { return iLimits; }
    void setLimits(const XmlBuilderLimits& limits);
    // Whether the scanner expands plain entity text in place (the default) or opens a reader for
    // every reference, as the scanner library does; both must give the same answers.
    void setExpandInPlace(bool inPlace) noexcept {
        iExpandInPlace = inPlace;
        iScan->scanner().setExpandInPlace(inPlace);
    }

    // ---- Driving.
    // Gives up any scan in progress and prepares one over `bitStream` (null: nothing to scan).
    // Raises KelRecoverableException E_XmlP_InvParams for a negative length.
    void start(const KelBuffer* bitStream, long ccsid, long encoding);
    bool canScan() const noexcept { return iScan->hasInput() || iScanInProgress; }
    bool inProgress() const noexcept { return iScanInProgress; }
    // One step (the first starts the scan), with the meter watching the scanner's readers. Every
    // failure is recorded and raised as a KelParserException, and so is a scan that stops before
    // the client says the document ended.
    void step();
    // The client failed to finish what a step began (an allocation of its own, just after the
    // step): recorded as a failure inside the step would be, so the scan goes no further.
    void failAfterStep(const std::exception& failure) { recordUnexpected(failure.what()); }
    // Ends a scan where it stands: reset the scanner, drop the input.
    void giveUp() noexcept;
    const KelException* lastError() const noexcept { return iLastError.get(); }
    unsigned long stepCount() const noexcept { return iStepCount; }
    long bytesConsumed() const noexcept { return iSpans.bytesConsumed(); }
    long length() const noexcept { return iBufferLength; }
    int codePage() const noexcept { return iCodePage; }
    int encoding() const noexcept { return iEncoding; }
    // Bytes the scanner objects scanned with hold now (bounded across documents: see start()).
    std::size_t scannerBytesHeld() const noexcept { return iScan->bytesHeld(); }

    // ---- What the handlers use.
    XmlBoundedScanner& scanner() const noexcept { return iScan->scanner(); }
    const xercesc::ReaderMgr& readers() const noexcept { return *iReaders; }
    XmlSpanLocator& spans() noexcept { return iSpans; }
    const XmlSpanLocator& spans() const noexcept { return iSpans; }
    const XmlExpansionMeter& meter() const noexcept { return iMeter; }
    XmlParameterReferenceLog& references() noexcept { return iReferences; }
    // Where the scanner stands now; every handler that needs it takes it before it changes anything.
    Position takePosition() {
        return iScan->scanner().readingInPlace() ? iSpans.takeInPlaceEntityText() : iSpans.take(*iReaders);
    }
    // Whether the scanner reads an entity's text rather than the document's own.
    bool readingEntity() const noexcept;

    // ---- Limits, in the order the handlers meet them.
    // One more syntax element (`inEntity`: made from an entity's replacement text).
    // Most elements pass every limit at once and are counted inline; the rest are checked out of
    // line.
    void countElement(bool inEntity) {
        if (iElementCount < iLimits.elementCount && !inEntity && iMeter.settled()) ++iElementCount;
        else countCheckedElement(inEntity);
    }
    // The limits a start tag must keep before anything is built of it; fills tagAttributes()
    // and returns the name's length. Until endStartTag() a failure is the tag's own element's.
    std::size_t checkStartTag(const XMLCh* name, const xercesc::RefVectorOf<xercesc::XMLAttr>& attributes,
                              XMLSize_t count);
    // The same for a name whose length the caller knows already (measured, not yet judged).
    std::size_t checkStartTag(const XMLCh* name, std::size_t nameLength,
                              const xercesc::RefVectorOf<xercesc::XMLAttr>& attributes, XMLSize_t count);
    // An attribute of the current start tag as the scanner gave it, read once: its name and value
    // (null when it has none) with their lengths, and whether the tag spells it out.
    struct TagAttribute {
        const XMLCh* name;
        std::size_t nameLength;
        const XMLCh* value;
        std::size_t valueLength;
        bool specified;
    };
    // The first `count` of checkStartTag's are the tag's.
    const std::vector<TagAttribute>& tagAttributes() const noexcept { return iTagAttributes; }
    void endStartTag() noexcept { iStartTagName = nullptr; }
    // An element opened (after checkStartTag) and closed: the nesting the scanner keeps.
    void openElement() noexcept { ++iDepth; }
    void closeElement() noexcept { if (iDepth > 0) --iDepth; }
    // The length of a name, checked against the name-length limit; and the name as a string.
    std::size_t checkedNameLength(const XMLCh* name);
    KelStringBase checkedName(const XMLCh* name);
    // The scanner starts a document (its reader made, nothing read): the mark is passed over and
    // the document is read as a new scanner reads it.
    void startDocument() {
        iSpans.skipByteOrderMark();
        iScan->scanner().readAsNewDocument();
    }
    // The XML declaration just read: its version must be a version number, and it may hold no
    // NUL (see the definition).
    void checkDeclaration(const XMLCh* version);
    // The internal subset begins, its text at `from` in the document's (-1: unknown), and ends:
    // the parameter-reference log watches it meanwhile, and a reference in it to an external
    // parameter entity (never read) leaves the declarations after it unprocessed.
    void startInternalSubset(long from) {
        iInInternalSubset = true;
        iMeter.inDocumentType(true);
        iReferences.watch(iReaders, from);
    }
    void endInternalSubset() noexcept {
        iInInternalSubset = false;
        iMeter.inDocumentType(false);
        iReferences.watch(nullptr);
    }
    // An entity as the scanner declared it (`ignored`: a later declaration of a name declared
    // already, which does not bind): its name is checked, the meter learns the length of its
    // replacement text and the parameter-reference log learns of it. A general entity declared
    // after an unread parameter entity stays undeclared for references to it.
    void declareEntity(const xercesc::DTDEntityDecl& entity, bool ignored);
    // An attribute definition as the scanner declared it (`ignored` as for entities), once the
    // client has taken what it needs from it: one declared after an unread parameter entity is
    // left unprocessed (no default, no type), as if the attribute were not declared.
    void defineAttribute(const xercesc::DTDAttDef& definition, bool ignored);
    // The document's end event: what the scanner left unread must be nothing, or NUL padding.
    void checkEndOfDocument();

    // ---- Failures.
    [[noreturn]] void failWithScannerMessage(int code, const XMLCh* message);
    [[noreturn]] void failLimit(const char* limit, unsigned long value);

    // ---- Errors: every report but a warning ends the scan with E_XmlP_Generic.
    void error(const unsigned int errCode, const XMLCh* const errDomain, const ErrTypes type,
               const XMLCh* const errorText, const XMLCh* const systemId, const XMLCh* const publicId,
               const XMLFileLoc lineNum, const XMLFileLoc colNum) override;
    void resetErrors() override;

    // ---- Entities: nothing outside the bitstream is ever read.
    void endInputSource(const xercesc::InputSource& inputSource) override;
    bool expandSystemId(const XMLCh* const systemId, xercesc::XMLBuffer& toFill) override;
    void resetEntities() override;
    xercesc::InputSource* resolveEntity(xercesc::XMLResourceIdentifier* resourceIdentifier) override;
    void startInputSource(const xercesc::InputSource& inputSource) override;

private:
    void countCheckedElement(bool inEntity);
    // Scanner objects the thread left idle, else new ones.
    std::unique_ptr<XmlScannerObjects> takeScanner();
    // Gives the scanner objects this scan's handlers, limits, meter and reference log.
    void attachScanner();
    void recordFailure(const KelException& failure);
    void recordUnexpected(const char* what);
    XmlScanFailures::Blame blame();
    void addExpansion(unsigned long long units);
    [[noreturn]] void failExpansion();

    const KelOwnedLogSource* iSource;
    XmlScanClient* iClient;
    xercesc::XMLDocumentHandler* iDocuments;
    xercesc::DocTypeHandler* iDeclarations;
    XmlExpansionMeter iMeter;             // told of the scanner's readers by its memory
    XmlParameterReferenceLog iReferences; // likewise, while an internal subset is scanned
    std::unique_ptr<XmlScannerObjects> iScan;   // the scanner, what it needs and the input it reads
    const xercesc::ReaderMgr* iReaders = nullptr;   // iScan's scanner's readers, asked at every event
    bool iScanInProgress = false;
    bool iInInternalSubset = false;       // between the client's start and end of the internal subset
    bool iExpandInPlace = true;
    bool iScannerFailed = false;          // the last scan failed: new scanner objects for the next
    XmlSpanLocator iSpans;                // positions, spans, the bytes
    XmlScanFailures iFailures;            // finds its places in iSpans' bytes
    XmlUtils iUtils;
    long iBufferLength = 0;
    int iCodePage = 0;
    int iEncoding = 0;
    KelStringBase iEncodingName;          // what the scanner was told ("" when it detects the encoding)
    // The name last worked out, and what from (the mark's first byte, 0 without one).
    KelStringBase iNamedPage;
    bool iEncodingNamed = false;
    long iNamedCcsid = 0;
    long iNamedEncoding = 0;
    int iNamedMark = 0;
    std::unique_ptr<KelException> iLastError;
    unsigned long iStepCount = 0;
    std::vector<TagAttribute> iTagAttributes;   // of the current start tag
    const XMLCh* iStartTagName = nullptr;
    XmlBuilderLimits iLimits;
    unsigned long iElementCount = 0;
    unsigned long iDepth = 0;
};
