// XmlScannerObjects: the scanner library's objects that one tree builder scans with (the memory
// they live in, the scanner, its validator, grammar resolver, security settings and scan token)
// and the input source over the bitstream being scanned, made and freed in the order the library
// needs, with the settings every scan of the builder uses. The input source is kept from document
// to document and only pointed at each new bitstream.
// Ownership: owns all of them; never the bitstream the input source reads in place, nor the
// handlers it is given (the builder that owns it).
// Thread rules: those of its builder: one thread at a time.
#pragma once

#include "builder/XmlBoundedScanner.hpp"
#include "builder/XmlScannerMemory.hpp"

#include <xercesc/util/XercesDefs.hpp>

#include <cstddef>

XERCES_CPP_NAMESPACE_BEGIN
class DocTypeHandler;
class DTDValidator;
class GrammarResolver;
class SecurityManager;
class XMLDocumentHandler;
class XMLEntityHandler;
class XMLErrorReporter;
class XMLPScanToken;
XERCES_CPP_NAMESPACE_END

class XmlPacedInputSource;

class XmlScannerObjects {
public:
    // The handlers receive every event, declaration and error of every scan. Raises what the
    // library raises when it cannot make them.
    XmlScannerObjects(xercesc::XMLDocumentHandler* documents, xercesc::DocTypeHandler* declarations,
                      xercesc::XMLEntityHandler* entities, xercesc::XMLErrorReporter* errors,
                      XMLSize_t expansionLimit);
    ~XmlScannerObjects();
    XmlScannerObjects(const XmlScannerObjects&) = delete;
    XmlScannerObjects& operator=(const XmlScannerObjects&) = delete;

    XmlScannerMemory& memory() noexcept { return iMemory; }
    // Bytes the scanner library holds now. Between documents that is the last document's grammar
    // and a declaration for every element name it has met undeclared in any document since the
    // objects were made: the library never lets those go, so a thread parsing message after
    // message with names of their own would hold more with every one. Objects holding more than
    // kBytesKeptBetweenDocuments are not scanned with again; new ones take their place.
    static constexpr std::size_t kBytesKeptBetweenDocuments = 1024 * 1024;
    std::size_t bytesHeld() const noexcept { return iMemory.liveBytes(); }
    bool outgrown() const noexcept { return bytesHeld() > kBytesKeptBetweenDocuments; }
    XmlBoundedScanner& scanner() const noexcept { return *iScanner; }
    xercesc::DTDValidator& validator() const noexcept { return *iValidator; }
    // From the next document on.
    void setExpansionLimit(XMLSize_t limit);

    // A new input: `length` bytes at `data`, read in place, named `encoding` to the scanner (null:
    // the scanner finds it); the system id is `systemId`. Any earlier input goes.
    void setInput(const unsigned char* data, XMLSize_t length, const XMLCh* systemId, const XMLCh* encoding);
    void dropInput() noexcept;
    bool hasInput() const noexcept { return iHasInput; }
    // The first step of a scan over the input (the expansion count starts at zero), or the next
    // step of the scan in progress; false once the scan is over.
    bool scanFirst();
    bool scanNext() { return iScanner->scanNext(*iScanToken); }   // inline: a walk takes a step per element
    // Ends a scan in progress where it stands.
    void resetScan() noexcept;

private:
    void release() noexcept;

    XmlScannerMemory iMemory;   // first in, last out: the objects below live in it
    XmlBoundedScanner* iScanner = nullptr;
    xercesc::DTDValidator* iValidator = nullptr;
    xercesc::GrammarResolver* iGrammarResolver = nullptr;
    xercesc::SecurityManager* iSecurityManager = nullptr;
    xercesc::XMLPScanToken* iScanToken = nullptr;
    XmlPacedInputSource* iInputSource = nullptr;
    bool iHasInput = false;   // iInputSource points at a bitstream to scan
};
