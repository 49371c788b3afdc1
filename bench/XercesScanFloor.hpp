// XercesScanFloor: the floor of the tree builder's design, measured on its own: the scanner
// library's progressive scan with the same scanner and settings as the tree builder, and a
// handler that does nothing but read the source offset once per event. Owns its scanner;
// one thread at a time per object.
#pragma once

#include <xercesc/framework/XMLDocumentHandler.hpp>

#include <cstddef>
#include <memory>

XERCES_CPP_NAMESPACE_BEGIN
class XMLScanner;
class DTDValidator;
class GrammarResolver;
XERCES_CPP_NAMESPACE_END

class XercesScanFloor : public xercesc::XMLDocumentHandler {
public:
    XercesScanFloor();
    ~XercesScanFloor() override;
    XercesScanFloor(const XercesScanFloor&) = delete;
    XercesScanFloor& operator=(const XercesScanFloor&) = delete;

    // Scans the whole of `bytes` step by step (encoding name as the tree builder gives it, or
    // null to let the scanner detect it); returns the number of events.
    std::size_t scan(const unsigned char* bytes, std::size_t length, const char16_t* encoding);
    // Sum of the offsets read, so that the reads cannot be left out.
    unsigned long long offsetSum() const noexcept { return iOffsetSum; }

    void docCharacters(const XMLCh* const, const XMLSize_t, const bool) override { event(); }
    void docComment(const XMLCh* const) override { event(); }
    void docPI(const XMLCh* const, const XMLCh* const) override { event(); }
    void endDocument() override { event(); }
    void endElement(const xercesc::XMLElementDecl&, const unsigned int, const bool, const XMLCh* const) override {
        event();
    }
    void endEntityReference(const xercesc::XMLEntityDecl&) override { event(); }
    void ignorableWhitespace(const XMLCh* const, const XMLSize_t, const bool) override { event(); }
    void resetDocument() override {}
    void startDocument() override { event(); }
    void startElement(const xercesc::XMLElementDecl&, const unsigned int, const XMLCh* const,
                      const xercesc::RefVectorOf<xercesc::XMLAttr>&, const XMLSize_t, const bool,
                      const bool) override {
        event();
    }
    void startEntityReference(const xercesc::XMLEntityDecl&) override { event(); }
    void XMLDecl(const XMLCh* const, const XMLCh* const, const XMLCh* const, const XMLCh* const) override { event(); }

private:
    void event();

    xercesc::DTDValidator* iValidator;
    xercesc::GrammarResolver* iResolver;
    xercesc::XMLScanner* iScanner;
    std::size_t iEvents = 0;
    unsigned long long iOffsetSum = 0;
};
