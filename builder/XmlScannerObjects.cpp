// XmlScannerObjects: making, setting up and freeing the scanner library's objects.
#include "builder/XmlScannerObjects.hpp"

#include "builder/XmlBoundedScanner.hpp"
#include "builder/XmlKelTranscoderRegistry.hpp"
#include "builder/XmlPacedInputSource.hpp"

#include <xercesc/framework/XMLPScanToken.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/validators/DTD/DTDValidator.hpp>
#include <xercesc/validators/common/GrammarResolver.hpp>

using namespace xercesc;

XmlScannerObjects::XmlScannerObjects(XMLDocumentHandler* documents, DocTypeHandler* declarations,
                                     XMLEntityHandler* entities, XMLErrorReporter* errors,
                                     XMLSize_t expansionLimit) {
    // The library and the host's code pages are set up once per process, before any object.
    XmlKelTranscoderRegistry::ensureReady();
    try {
        // The error reporter goes in with the constructors: set later, it would not reach the
        // validator. Neither the scanner nor the resolver deletes what it is given.
        iValidator = new DTDValidator(errors);
        iGrammarResolver = new GrammarResolver(nullptr, &iMemory);
        iScanner = new XmlBoundedScanner(documents, declarations, entities, errors, iValidator, iGrammarResolver,
                                         &iMemory);
        iScanner->setURIStringPool(iGrammarResolver->getStringPool());
        iScanToken = new XMLPScanToken();
        iSecurityManager = new SecurityManager();
        iSecurityManager->setEntityExpansionLimit(expansionLimit);
    } catch (...) {
        release();
        throw;
    }
    iScanner->setDoNamespaces(false);
    iScanner->setValidationScheme(XMLScanner::Val_Never);
    // Offsets are what spans and quote detection are made of.
    iScanner->setCalculateSrcOfs(true);
    // Should a resolver ever answer nothing, the scanner must not go and fetch the entity itself.
    iScanner->setDisableDefaultEntityResolution(true);
    iScanner->setSecurityManager(iSecurityManager);
}

XmlScannerObjects::~XmlScannerObjects() { release(); }

void XmlScannerObjects::release() noexcept {
    // The scanner first: it still refers to the validator, the resolver and the input source.
    delete iScanner;
    iScanner = nullptr;
    delete iValidator;
    iValidator = nullptr;
    delete iScanToken;
    iScanToken = nullptr;
    delete iInputSource;
    iInputSource = nullptr;
    delete iGrammarResolver;
    iGrammarResolver = nullptr;
    delete iSecurityManager;
    iSecurityManager = nullptr;
}

void XmlScannerObjects::setExpansionLimit(XMLSize_t limit) {
    // The scanner takes the limit from here at a document's first step.
    iSecurityManager->setEntityExpansionLimit(limit);
}

void XmlScannerObjects::setInput(const unsigned char* data, XMLSize_t length, const XMLCh* systemId,
                                 const XMLCh* encoding) {
    dropInput();
    if (iInputSource == nullptr) iInputSource = new XmlPacedInputSource(systemId);
    else if (!XMLString::equals(iInputSource->getSystemId(), systemId)) iInputSource->setSystemId(systemId);
    iInputSource->setBytes(data, length);
    iInputSource->useEncoding(encoding);
    iHasInput = true;
}

void XmlScannerObjects::dropInput() noexcept {
    // The source stays for the next bitstream; only the bytes it points at are let go.
    if (iInputSource != nullptr) iInputSource->setBytes(nullptr, 0);
    iHasInput = false;
}

bool XmlScannerObjects::scanFirst() {
    // Setting the limits again starts the expansion count of this document at zero.
    iScanner->setSecurityManager(iSecurityManager);
    return iScanner->scanFirst(*iInputSource, *iScanToken);
}

void XmlScannerObjects::resetScan() noexcept {
    try {
        iScanner->XMLScanner::scanReset(*iScanToken);
    } catch (...) {
        // A token the scanner no longer knows (or never handed out): nothing of it to reset.
    }
}
