// XmlBrokerOrvaneParser: the tree builder. It drives the scanner library's progressive scan over
// one bitstream, one step per parseNextItem(), and turns the scanner's events into syntax elements
// of its owning XmlKelParser, recording where each element's text lies in the bitstream.
// Ownership: owns its document scan (XmlDocumentScan: the scanner library's objects, the input
// source, the span locator, the limits and the expansion meter it shares with the tree-less
// check); never owns the bitstream (the owning parser keeps it; spans point into it) nor any
// element (they live in the owning parser's element pool).
// Thread rules: used by the thread that navigates its parser's tree, one call at a time.
#pragma once

#include "builder/XmlDocumentScan.hpp"
#include "builder/XmlNameCache.hpp"
#include "builder/XmlRepeatLearner.hpp"
#include "builder/XmlScanClient.hpp"
#include "host/KelException.hpp"
#include "host/KelOwnedLogSource.hpp"
#include "host/KelStringBase.hpp"

#include <xercesc/framework/XMLDocumentHandler.hpp>
#include <xercesc/validators/DTD/DocTypeHandler.hpp>

#include <cstdint>
#include <string>
#include <vector>

class KelBuffer;
class KelSyntaxElement;
class XmlKelParser;
class XmlKelSyntaxElement;

class XmlBrokerOrvaneParser final : public KelOwnedLogSource,
                                    public xercesc::XMLDocumentHandler,
                                    public xercesc::DocTypeHandler,
                                    private XmlScanClient {
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
    // The same step for a caller that has just found the root incomplete and canScan() true,
    // while tracing is off: a walk takes a step per element, and the checks and the trace scope
    // would be paid twice.
    void parseNextItemChecked() {
        iScan.step();   // a failure settles the text gathered in stepFailed
        if (iPendingText != nullptr) endStepText();
    }
    void setCurrentElement(XmlKelSyntaxElement* element) noexcept { iCurrentElement = element; }

    bool canScan() const noexcept { return iScan.canScan(); }
    const KelException* lastError() const noexcept { return iScan.lastError(); }
    unsigned long stepCount() const noexcept { return iScan.stepCount(); }
    // The bounds on one document; new ones apply from the next bitstream on.
    const XmlBuilderLimits& limits() const noexcept { return iScan.limits(); }
    void setLimits(const XmlBuilderLimits& limits) { iScan.setLimits(limits); }
    long bytesConsumed() const noexcept { return iScan.bytesConsumed(); }
    // Plain entity text expanded where its reference stands (the default), or through a reader
    // per reference as the scanner library reads it: for holding both ways to the same answers.
    void setExpandEntitiesInPlace(bool inPlace) noexcept { iScan.setExpandInPlace(inPlace); }
    // References of the current document expanded in place so far.
    unsigned long expansionsInPlace() const noexcept { return iScan.scanner().expansionsInPlace(); }
    // What expansion has added to the current document so far.
    const XmlExpansionMeter& expansionMeter() const noexcept { return iScan.meter(); }
    // Bytes the scanner library holds now, for measurements across messages.
    std::size_t scannerBytesHeld() const noexcept { return iScan.scannerBytesHeld(); }
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
    bool readsBigEndian() const noexcept { return iScan.spans().readsBigEndian(); }

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

private:
    using Position = XmlDocumentScan::Position;
    static constexpr XMLSize_t kZeroTerminated = static_cast<XMLSize_t>(-1);

    // ---- What a failure names (XmlScanClient).
    KelStringBase currentElementName() override;
    bool insideRoot() const noexcept override;
    bool documentEnded() const noexcept override;
    void stepFailed() noexcept override { abandonPendingText(); }

    Position takePosition() { return iScan.takePosition(); }
    // `text` gathers its pieces from `chars` on (a text gathered before it in the step has ended).
    void holdPendingText(KelSyntaxElement* text, const XmlNameCache::Entry* name, const XMLCh* chars, std::size_t length);
    // The text gathered so far becomes its element's value, looked up as its name has learnt.
    void endPendingText();
    void endStepText();   // the same after the step, failing the scan when it fails
    // After a failure in the step: as much of the text as was read, failures of its own ignored
    // (the step's failure is the answer).
    void abandonPendingText() noexcept;
    void setEntityName(XmlKelSyntaxElement* mark, const xercesc::XMLEntityDecl& entDecl);
    // A leaf for markup; `repeats`, when given, learns whether its texts repeat and shares them.
    void attachMarkupLeaf(const Position& p, int type, const XMLCh* target, const XMLCh* value,
                          XMLSize_t length = kZeroTerminated, XmlRepeatLearner* repeats = nullptr);
    // A new element of `type` from the owner's pool, counted against the limits (a leaf is
    // complete at once), with the bitstream's page and byte order. Its handle is kept until the
    // next, for attaching it without working the handle out again.
    // Inline: every event makes one or more.
    inline __attribute__((always_inline)) XmlKelSyntaxElement* newElement(int type, bool leaf);
    __attribute__((noinline)) XmlKelSyntaxElement* newTracedElement(std::uint32_t typeWord);
    // `element` is the one newElement made last (every event attaches what it has just made).
    inline __attribute__((always_inline)) void attachToCurrent(XmlKelSyntaxElement* element);
    void attachLeaf(XmlKelSyntaxElement* parent, int type, const XMLCh* value);
    void addAttribute(const XMLCh* name, std::size_t nameLength, const XMLCh* value, std::size_t valueLength,
                      bool doubleQuoted);
    // Closes a document type declaration that is still the current element (the first document
    // item after it does this).
    void closePendingDocType() {
        if (iDocType != nullptr) closeDocTypeIfCurrent();
    }
    void closeDocTypeIfCurrent();
    // The parameter-entity references that opened or closed since the last event of the internal
    // subset, and those left unexpanded before the event at `p`, as reference start and end marks
    // in the subset.
    void placeParameterReferences(const Position& p);

    XmlKelParser* iOwner;
    XmlDocumentScan iScan;   // the scan, its limits and its failures
    XmlKelSyntaxElement* iCurrentElement;
    // A parameter entity's expansion just ended: the next white space of the internal subset
    // begins with the scanner's padding space, which is not the document's.
    bool iParameterPadPending = false;
    // Document type declaration being built.
    XmlKelSyntaxElement* iDocType;
    bool iDocTypeHasIntSubset;
    XmlNameCache iNames;
    // The element whose start tag was read last, while it is open, and its name's entry: the text
    // right after its start tag (a leaf's value) learns through that entry whether it repeats.
    const XmlKelSyntaxElement* iLastOpened = nullptr;
    const XmlNameCache::Entry* iLastOpenedName = nullptr;
    // The step in which iLastText was made. When more of a leaf's text made in the current step
    // comes (after a reference), its pieces gather in iPendingUnits and the whole text is looked
    // up as one at the step's end, with its name's entry: the host has not been given it yet, so
    // its value may still be replaced.
    unsigned long iLastTextStep = 0;
    KelSyntaxElement* iPendingText = nullptr;
    const XmlNameCache::Entry* iPendingName = nullptr;
    std::u16string iPendingUnits;
    // Whether the document's comments repeat (a generated note in every record).
    XmlRepeatLearner iCommentTexts;
    // What every element of the bitstream records of it: its page (as the element keeps it) and
    // byte order; UTF-16 in the order the scanner reads it (a mark can say otherwise than the
    // encoding value), other pages as the encoding value says.
    std::uint16_t iElementPage = 0;
    bool iElementBigEndian = true;

    // Open elements and the last attachment (frontier).
    std::vector<OpenElement> iOpenElements;
    const KelSyntaxElement* iLastAttached = nullptr;
    const KelSyntaxElement* iLastText = nullptr;   // the text element this scan made last
    // The handle of the element made last (the pool gave it), for the attach that follows.
    std::uint32_t iNewHandle = 0;
    // Per attribute of the start tag read last, 1 when its value stands in double quotes.
    std::vector<unsigned char> iQuotes;
};
