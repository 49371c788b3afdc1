#include "bench/XercesScanFloor.hpp"

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/XMLPScanToken.hpp>
#include <xercesc/internal/DGXMLScanner.hpp>
#include <xercesc/internal/ReaderMgr.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/validators/DTD/DTDValidator.hpp>
#include <xercesc/validators/common/GrammarResolver.hpp>

using namespace xercesc;

XercesScanFloor::XercesScanFloor() {
    XMLPlatformUtils::Initialize();
    iValidator = new DTDValidator(nullptr);
    iResolver = new GrammarResolver(nullptr);
    iScanner = new DGXMLScanner(nullptr, nullptr, nullptr, nullptr, iValidator, iResolver);
    iScanner->setURIStringPool(iResolver->getStringPool());
    iScanner->setDoNamespaces(false);
    iScanner->setValidationScheme(XMLScanner::Val_Never);
    iScanner->setDocHandler(this);
    iScanner->setCalculateSrcOfs(true);
    iScanner->setDisableDefaultEntityResolution(true);
}

XercesScanFloor::~XercesScanFloor() {
    delete iScanner;
    delete iValidator;
    delete iResolver;
}

void XercesScanFloor::event() {
    ++iEvents;
    iOffsetSum += iScanner->getReaderMgr()->getSrcOffset();
}

std::size_t XercesScanFloor::scan(const unsigned char* bytes, std::size_t length, const char16_t* encoding) {
    iEvents = 0;
    std::size_t skip = 0;
    if (length >= 2 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF))) skip = 2;
    MemBufInputSource source(bytes + skip, length - skip, u"file:///", false);
    source.setCopyBufToStream(false);
    if (encoding != nullptr) source.setEncoding(encoding);
    XMLPScanToken token;
    bool more = iScanner->scanFirst(source, token);
    while (more) more = iScanner->scanNext(token);
    return iEvents;
}
