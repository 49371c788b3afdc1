// XmlOrvaneParser: abstract adapter over the scanner's four handler interfaces. It forwards the
// document, entity-reference and declaration callbacks to simpler event operations (names instead
// of declaration objects, plus two trailing arguments that it always passes as 0) which a deriving
// class implements, together with the scanner callbacks left pure here. Owns its utilities object
// and an attribute list for the deriving class; holds no reference to the scanner.
// Thread rules: used by the thread that drives the scan, one at a time.
#pragma once

#include "common/XmlUtils.hpp"

#include <xercesc/framework/XMLAttr.hpp>
#include <xercesc/framework/XMLDocumentHandler.hpp>
#include <xercesc/framework/XMLEntityHandler.hpp>
#include <xercesc/framework/XMLErrorReporter.hpp>
#include <xercesc/internal/VecAttrListImpl.hpp>
#include <xercesc/util/RefVectorOf.hpp>
#include <xercesc/validators/DTD/DTDElementDecl.hpp>
#include <xercesc/validators/DTD/DTDEntityDecl.hpp>
#include <xercesc/validators/DTD/DocTypeHandler.hpp>

class XmlOrvaneParser : public xercesc::XMLDocumentHandler,
                        public xercesc::XMLErrorReporter,
                        public xercesc::XMLEntityHandler,
                        public xercesc::DocTypeHandler {
public:
    XmlOrvaneParser();
    ~XmlOrvaneParser() override;
    XmlOrvaneParser(const XmlOrvaneParser&) = delete;
    XmlOrvaneParser& operator=(const XmlOrvaneParser&) = delete;

    // ---- Scanner callbacks that forward to one event operation each.
    void docComment(const XMLCh* const comment) override;
    void docPI(const XMLCh* const target, const XMLCh* const data) override;
    void endElement(const xercesc::XMLElementDecl& elemDecl, const unsigned int uriId, const bool isRoot,
                    const XMLCh* const prefixName = 0) override;
    void endEntityReference(const xercesc::XMLEntityDecl& entDecl) override;
    void startElement(const xercesc::XMLElementDecl& elemDecl, const unsigned int uriId,
                      const XMLCh* const prefixName, const xercesc::RefVectorOf<xercesc::XMLAttr>& attrList,
                      const XMLSize_t attrCount, const bool isEmpty, const bool isRoot) override;
    void startEntityReference(const xercesc::XMLEntityDecl& entDecl) override;
    void XMLDecl(const XMLCh* const versionStr, const XMLCh* const encodingStr, const XMLCh* const standaloneStr,
                 const XMLCh* const autoEncodingStr) override;
    void doctypeComment(const XMLCh* const comment) override;
    void doctypeDecl(const xercesc::DTDElementDecl& elemDecl, const XMLCh* const publicId,
                     const XMLCh* const systemId, const bool hasIntSubset, const bool hasExtSubset = false) override;
    void doctypePI(const XMLCh* const target, const XMLCh* const data) override;
    void endAttList(const xercesc::DTDElementDecl& elemDecl) override;
    void notationDecl(const xercesc::XMLNotationDecl& notDecl, const bool isIgnored) override;
    void startAttList(const xercesc::DTDElementDecl& elemDecl) override;
    void TextDecl(const XMLCh* const versionStr, const XMLCh* const encodingStr) override;
    void elementDecl(const xercesc::DTDElementDecl& decl, const bool isIgnored) override;
    void entityDecl(const xercesc::DTDEntityDecl& entityDecl, const bool isPEDecl, const bool isIgnored) override;

    // ---- Event operations. Texts and names are the scanner's own strings, unchanged (a missing
    // one is null); element names are the declarations' base names. `extra1` and `extra2` are
    // always 0 from this adapter.
    virtual void handleComment(const XMLCh* text, int extra1, int extra2) = 0;
    virtual void handleProcessingInstruction(const XMLCh* target, const XMLCh* data, int extra1, int extra2) = 0;
    virtual void handleEndElement(const XMLCh* elementName, bool isRoot, int extra1, int extra2) = 0;
    virtual void handleEndEntityReference(const XMLCh* entityName) = 0;
    virtual void handleStartElement(const XMLCh* elementName, const xercesc::RefVectorOf<xercesc::XMLAttr>& attributes,
                                    XMLSize_t attributeCount, bool isEmpty, bool isRoot, int extra1, int extra2) = 0;
    virtual void handleStartEntityReference(const XMLCh* entityName) = 0;
    virtual void handleXmlDecl(const XMLCh* version, const XMLCh* encoding, const XMLCh* standalone,
                               const XMLCh* actualEncoding, int extra1, int extra2) = 0;
    virtual void handleDocTypeComment(const XMLCh* text, int extra1, int extra2) = 0;
    virtual void handleDocTypeDecl(const XMLCh* rootElementName, const XMLCh* publicId, const XMLCh* systemId) = 0;
    virtual void handleDocTypePI(const XMLCh* target, const XMLCh* data, int extra1, int extra2) = 0;
    virtual void handleEndAttList(const xercesc::DTDElementDecl& elementDecl, int extra1) = 0;
    virtual void handleNotationDecl(const XMLCh* notationName, const XMLCh* publicId, const XMLCh* systemId,
                                    bool isIgnored, int extra1, int extra2) = 0;
    virtual void handleStartAttList(const xercesc::DTDElementDecl& elementDecl, int extra1) = 0;
    virtual void handleTextDecl(const XMLCh* version, const XMLCh* encoding, int extra1, int extra2) = 0;
    virtual void handleElementDecl(const xercesc::DTDElementDecl& elementDecl, bool isIgnored, int extra1,
                                   int extra2) = 0;
    virtual void handleEntityDecl(const xercesc::DTDEntityDecl& entityDecl, bool isParameterEntity, bool isIgnored,
                                  int extra1, int extra2) = 0;
    // Reserved for further events; nothing here calls them.
    virtual void reservedEvent17() = 0;
    virtual void reservedEvent18() = 0;
    virtual void reservedEvent19() = 0;
    virtual void reservedEvent20() = 0;
    virtual void reservedEvent21() = 0;
    virtual void reservedEvent22() = 0;

protected:
    XmlUtils& utilities() noexcept { return iUtils; }
    xercesc::VecAttrListImpl& attributeList() noexcept { return iAttributeList; }

private:
    XmlUtils iUtils;
    xercesc::VecAttrListImpl iAttributeList;
};
