// XmlBrokerOrvaneParser: the tree builder. It drives the scanner library's progressive scan over
// one bitstream, one step per parseNextItem(), and turns the scanner's events into syntax elements
// of its owning XmlKelParser, recording where each element's text lies in the bitstream.
// Ownership: owns the scanner library's objects and the input source (XmlScannerObjects) and the
// span locator (XmlSpanLocator) that does the position arithmetic; never owns
// the bitstream (the owning parser keeps it; spans point into it) nor any element (they live in
// the owning parser's element pool).
// Thread rules: used by the thread that navigates its parser's tree, one call at a time.
#pragma once

#include "builder/XmlBuilderLimits.hpp"
#include "builder/XmlExpansionMeter.hpp"
#include "builder/XmlNameCache.hpp"
#include "builder/XmlParameterReferenceLog.hpp"
#include "builder/XmlScanFailures.hpp"
#include "builder/XmlScannerObjects.hpp"
#include "builder/XmlSpanLocator.hpp"
#include "common/XmlUtils.hpp"
#include "host/KelException.hpp"
#include "host/KelOwnedLogSource.hpp"
#include "host/KelStringBase.hpp"

#include <xercesc/framework/XMLDocumentHandler.hpp>
#include <xercesc/framework/XMLEntityHandler.hpp>
#include <xercesc/framework/XMLErrorReporter.hpp>
#include <xercesc/validators/DTD/DocTypeHandler.hpp>

#include <memory>
#include <string>
#include <utility>
#include <vector>

class KelBuffer;
class KelSyntaxElement;
class XmlKelParser;
class XmlKelSyntaxElement;
class XmlBoundedScanner;

class XmlBrokerOrvaneParser : public KelOwnedLogSource,
                              public xercesc::XMLDocumentHandler,
                              public xercesc::XMLErrorReporter,
                              public xercesc::XMLEntityHandler,
                              public xercesc::DocTypeHandler {
public:
    // System id of every bitstream handed to the scanner.
    static const KelStringBase kName; // "file:///"

    XmlBrokerOrvaneParser(XmlKelParser* owner, bool spanReuse);
    ~XmlBrokerOrvaneParser() override;
    XmlBrokerOrvaneParser(const XmlBrokerOrvaneParser&) = delete;
    XmlBrokerOrvaneParser& operator=(const XmlBrokerOrvaneParser&) = delete;

    // Gives up any scan in progress and prepares a new one over `bitStream` (null: nothing to
    // scan). Raises KelRecoverableException E_XmlP_InvParams for a negative length.
    void setParsedBufferInfo(const KelBuffer* bitStream, long ccsid, long encoding);
    // One scan step; does nothing once the root is complete or when there is nothing to scan.
    // A failure ends the scan, is kept as lastError() and raised as a KelParserException.
    void parseNextItem();
    void setCurrentElement(XmlKelSyntaxElement* element) noexcept { iCurrentElement = element; }

    bool canScan() const noexcept { return iScan.hasInput() || iScanInProgress; }
    const KelException* lastError() const noexcept { return iLastError.get(); }
    unsigned long stepCount() const noexcept { return iStepCount; }
    // The bounds on one document; new ones apply from the next bitstream on.
    const XmlBuilderLimits& limits() const noexcept { return iLimits; }
    void setLimits(const XmlBuilderLimits& limits);
    long bytesConsumed() const noexcept { return iSpans.bytesConsumed(); }
    // What expansion has added to the current document so far.
    const XmlExpansionMeter& expansionMeter() const noexcept { return iMeter; }
    // True while a scan may still build into `element` or below it, or refer to it later.
    bool holdsElement(const KelSyntaxElement* element) const noexcept;

    // ---- The scan frontier, for writing the unscanned rest as it stands in the bitstream.
    // The first byte the tree holds nothing of, when it is known exactly: the scan is under way
    // in the document's own text (not an entity's), spans are recorded, and the last item ended
    // there. Null otherwise (another scan step may make it known).
    const unsigned char* frontier() const noexcept;
    // The elements open at the frontier, document element first, each with the name its start
    // tag gave it; and the element the scan attached last (the current element itself when it
    // was just opened).
    struct OpenElement {
        const XmlKelSyntaxElement* element;
        const KelStringBase* name;
    };
    const std::vector<OpenElement>& openElements() const noexcept { return iOpenElements; }
    const KelSyntaxElement* lastAttached() const noexcept { return iLastAttached; }
    const XmlKelSyntaxElement* currentElement() const noexcept { return iCurrentElement; }
    bool readsBigEndian() const noexcept { return iSpans.readsBigEndian(); }

    // ---- Document events.
    void startDocument() override;
    void XMLDecl(const XMLCh* const versionStr, const XMLCh* const encodingStr, const XMLCh* const standaloneStr,
                 const XMLCh* const autoEncodingStr) override;
    void startElement(const xercesc::XMLElementDecl& elemDecl, const unsigned int uriId,
                      const XMLCh* const prefixName, const xercesc::RefVectorOf<xercesc::XMLAttr>& attrList,
                      const XMLSize_t attrCount, const bool isEmpty, const bool isRoot) override;
    void endElement(const xercesc::XMLElementDecl& elemDecl, const unsigned int uriId, const bool isRoot,
                    const XMLCh* const prefixName = 0) override;
    void docCharacters(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection) override;
    void ignorableWhitespace(const XMLCh* const chars, const XMLSize_t length, const bool cdataSection) override;
    void docComment(const XMLCh* const comment) override;
    void docPI(const XMLCh* const target, const XMLCh* const data) override;
    void startEntityReference(const xercesc::XMLEntityDecl& entDecl) override;
    void endEntityReference(const xercesc::XMLEntityDecl& entDecl) override;
    void endDocument() override;
    void resetDocument() override;

    // ---- Document type events.
    void doctypeDecl(const xercesc::DTDElementDecl& elemDecl, const XMLCh* const publicId,
                     const XMLCh* const systemId, const bool hasIntSubset, const bool hasExtSubset = false) override;
    void startIntSubset() override;
    void endIntSubset() override;
    void startExtSubset() override;
    void endExtSubset() override;
    void elementDecl(const xercesc::DTDElementDecl& decl, const bool isIgnored) override;
    void startAttList(const xercesc::DTDElementDecl& elemDecl) override;
    void attDef(const xercesc::DTDElementDecl& elemDecl, const xercesc::DTDAttDef& attDef,
                const bool ignoring) override;
    void endAttList(const xercesc::DTDElementDecl& elemDecl) override;
    void entityDecl(const xercesc::DTDEntityDecl& entityDecl, const bool isPEDecl, const bool isIgnored) override;
    void notationDecl(const xercesc::XMLNotationDecl& notDecl, const bool isIgnored) override;
    void doctypeComment(const XMLCh* const comment) override;
    void doctypePI(const XMLCh* const target, const XMLCh* const data) override;
    void doctypeWhitespace(const XMLCh* const chars, const XMLSize_t length) override;
    void TextDecl(const XMLCh* const versionStr, const XMLCh* const encodingStr) override;
    void resetDocType() override;

    // ---- Errors: every report ends the scan with a KelParserException (E_XmlP_Generic).
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

protected:
    void setDTDHandler();
    void setErrorHandler();
    void setEntityResolver();

    // The rest is open to the tree-less checker, which drives the same scanner with the same
    // limits and reports failures the same way, but builds nothing.
    using Position = XmlSpanLocator::Position;
    // Where the scanner stands now; every handler that needs it takes it before it changes anything.
    Position takePosition();
    static constexpr XMLSize_t kZeroTerminated = static_cast<XMLSize_t>(-1);
    void attachMarkupLeaf(const Position& p, int type, const XMLCh* target, const XMLCh* value,
                          XMLSize_t length = kZeroTerminated);
    XmlKelSyntaxElement* setupSyntaxElement();
    XmlKelSyntaxElement* createLeaf(int type);
    void attachToCurrent(XmlKelSyntaxElement* element);
    void attachLeaf(XmlKelSyntaxElement* parent, int type, const XMLCh* value);
    void addAttribute(const XMLCh* name, std::size_t nameLength, const XMLCh* value, std::size_t valueLength,
                      bool doubleQuoted);
    // Closes a document type declaration that is still the current element (the first document
    // item after it does this).
    void closePendingDocType();
    // The name that failures report as the element being built.
    virtual KelStringBase currentElementName();
    // Whether the scan stands below the root (in the document type or the document element), so
    // that an element is at fault for a failure rather than the message as a whole.
    virtual bool insideRoot() const noexcept;
    // Ending a scan: reset the scanner, drop the input source, keep the failure for lastError().
    void giveUp() noexcept;
    void recordFailure(const KelException& failure);
    void recordUnexpected(const char* what);
    [[noreturn]] void failWithScannerMessage(int code, const XMLCh* message);
    // Raises E_XmlP_LimitExceeded naming the limit and its value.
    [[noreturn]] void failLimit(const char* limit, unsigned long value);
    // Who a failure is to blame on as the scan stands.
    XmlScanFailures::Blame blame();
    // The name as the host's string, after the name-length check.
    KelStringBase checkedName(const XMLCh* name);
    // The length of a name, checked against the name-length limit.
    std::size_t checkedNameLength(const XMLCh* name);
    // One step of the scan (the first one starts it), with the expansion meter watching the
    // scanner's readers; every failure is recorded and raised as the builder's exception, and so
    // is a scan that stops before documentEnded().
    void scanStep();
    virtual bool documentEnded() const noexcept;
    // One more element: the element-count limit, and what expansion has added (`inEntity`: the
    // element is made from an entity's replacement text).
    void countElement(bool inEntity);
    // The limits a start tag `name` with `count` attributes must keep before anything is built of
    // it; fills iAttributeLengths and returns the name's length. From here until iStartTagName is
    // cleared, a limit failure is the tag's own element's fault.
    std::size_t checkStartTag(const XMLCh* name, const xercesc::RefVectorOf<xercesc::XMLAttr>& attributes,
                              XMLSize_t count);
    // An XML declaration's version must be a version number.
    void checkVersion(const XMLCh* version);
    // Adds to what expansion made; raises E_XmlP_LimitExceeded when that passes a limit.
    void addExpansion(unsigned long long units);
    // Raises E_XmlP_LimitExceeded for the limit the expansion meter refused.
    [[noreturn]] void failExpansion();
    XmlBoundedScanner* boundedScanner() const noexcept;
    // The parameter-entity references that opened or closed since the last event of the internal
    // subset, and those left unexpanded before the event at `p`, as reference start and end marks
    // in the subset.
    void placeParameterReferences(const Position& p);

    XmlExpansionMeter iMeter;         // told of the scanner's readers by its memory
    XmlParameterReferenceLog iReferences;   // likewise, while an internal subset is scanned
    XmlScannerObjects iScan;          // the scanner, what it needs and the input it reads
    bool iScanInProgress;
    XmlKelParser* iOwner;
    // Positions, spans and the previous end; start tags read back for their quotes.
    XmlSpanLocator iSpans;
    XmlScanFailures iFailures;   // finds its places in iSpans' bytes
    XmlUtils iUtils;
    XmlKelSyntaxElement* iCurrentElement;
    long iBufferLength;
    int iCodePage;
    int iEncoding;

    // Scan bookkeeping.
    KelStringBase iEncodingName;     // what the scanner was told ("" when it detects the encoding)
    std::unique_ptr<KelException> iLastError;
    unsigned long iStepCount;
    // Document type declaration being built.
    XmlKelSyntaxElement* iDocType;
    bool iDocTypeHasIntSubset;
    // Per attribute of the current start tag: the lengths of its name and value.
    std::vector<std::pair<std::size_t, std::size_t>> iAttributeLengths;
    XmlNameCache iNames;
    // The name of the start tag being turned into an element, while startElement checks it.
    const XMLCh* iStartTagName = nullptr;

    // Open elements and the last attachment (frontier).
    std::vector<OpenElement> iOpenElements;
    const KelSyntaxElement* iLastAttached = nullptr;

    // Limits and what this document has used of them.
    XmlBuilderLimits iLimits;
    unsigned long iElementCount;
    unsigned long iDepth;
};
