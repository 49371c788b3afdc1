// XmlTreelessChecker: checks that a bitstream is a well-formed document within the tree builder's
// limits without building anything. It drives the same scanner as the tree builder, applies the
// same limits in the same order and reports a failure with the same exception (number, scanner
// inserts, element name), but keeps only the names of the elements open at the scan position, so
// its memory does not grow with the document. Used before bytes that were never scanned are
// passed on (a pass-through, a copy of the unscanned rest).
// The scan, its limits, metering and failures are an XmlDocumentScan, as in the tree builder:
// a limit added there holds in both, and an event this class does not handle builds nothing.
// Ownership: made and owned by an XmlKelParser; owns its document scan; never owns the bitstream.
// Thread rules: one check at a time, on the thread that owns the parser.
#pragma once

#include "builder/XmlDocumentScan.hpp"
#include "builder/XmlScanClient.hpp"
#include "host/KelOwnedLogSource.hpp"

#include <xercesc/framework/XMLDocumentHandler.hpp>
#include <xercesc/validators/DTD/DocTypeHandler.hpp>

#include <string>
#include <vector>

class KelBuffer;
class XmlKelParser;

class XmlTreelessChecker final : public KelOwnedLogSource,
                                 public xercesc::XMLDocumentHandler,
                                 public xercesc::DocTypeHandler,
                                 private XmlScanClient {
public:
    explicit XmlTreelessChecker(XmlKelParser* owner);
    XmlTreelessChecker(const XmlTreelessChecker&) = delete;
    XmlTreelessChecker& operator=(const XmlTreelessChecker&) = delete;

    // Scans the whole of `bitStream` (ccsid, encoding as for the tree builder), under `limits`;
    // `rootName` is what a failure names while no element is open. Returns the number of syntax
    // elements a full parse would build, the root included. A bad document raises the tree
    // builder's KelParserException; a bitstream with nothing to scan raises E_XmlP_NoBody.
    unsigned long check(const KelBuffer& bitStream, long ccsid, long encoding, const XmlBuilderLimits& limits,
                        const KelStringBase& rootName);
    // Plain entity text expanded where its reference stands (the default), or through a reader
    // per reference as the scanner library reads it: for holding both ways to the same answers.
    void setExpandEntitiesInPlace(bool inPlace) noexcept { iScan.setExpandInPlace(inPlace); }

    // ---- Document events: the tree builder's checks, without the elements.
    void startDocument() override;
    void resetDocument() override {}
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
    void TextDecl(const XMLCh* const, const XMLCh* const) override {}
    void resetDocType() override {}

    // The XML elements (start tags) the last check met.
    unsigned long xmlElements() const noexcept { return iXmlElements; }

private:
    static constexpr XMLSize_t kZeroTerminated = static_cast<XMLSize_t>(-1);
    KelStringBase currentElementName() override;
    bool insideRoot() const noexcept override { return iOpen.size() > 1; }
    bool documentEnded() const noexcept override { return iEnded; }

    // What the tree builder's current element would be: a container and its name.
    enum class Open { Root, DocType, InternalSubset, ExternalSubset, AttList, Element };
    struct Frame {
        Open kind;
        std::size_t nameStart;
        std::size_t nameLength;
    };
    void countElement();
    // The parameter-entity references marked since the last event of the internal subset.
    void countParameterReferences();
    void open(Open kind, const XMLCh* name, std::size_t length);
    void close();
    Open current() const noexcept { return iOpen.back().kind; }
    void closePendingDocType();
    // A comment, processing instruction or white space: text counted, one leaf, a checked target.
    void markupLeaf(const XMLCh* target, const XMLCh* value, XMLSize_t length);
    void leafIf(const XMLCh* text);

    XmlDocumentScan iScan;         // the scan, its limits and its failures
    std::vector<Frame> iOpen;
    unsigned long iXmlElements = 0;   // start tags met by the last check
    unsigned long iElements = 0;      // syntax elements a full parse would build, the root aside
    std::u16string iOpenNames;     // the names of iOpen, one after another
    bool iLastIsText;              // the builder's current element ends with character data
    // An expansion between declarations just ended: the next blank the scanner reports may be
    // its padding space, as the builder knows it (XmlBrokerOrvaneParser::iParameterPadPending).
    bool iParameterPadPending = false;
    bool iEnded;
};
