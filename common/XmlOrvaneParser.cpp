#include "common/XmlOrvaneParser.hpp"

#include <xercesc/framework/XMLElementDecl.hpp>
#include <xercesc/framework/XMLEntityDecl.hpp>
#include <xercesc/framework/XMLNotationDecl.hpp>

using namespace xercesc;

XmlOrvaneParser::XmlOrvaneParser() : iUtils(), iAttributeList() {}

XmlOrvaneParser::~XmlOrvaneParser() = default;

void XmlOrvaneParser::docComment(const XMLCh* const comment) {
    handleComment(comment, 0, 0);
}

void XmlOrvaneParser::docPI(const XMLCh* const target, const XMLCh* const data) {
    handleProcessingInstruction(target, data, 0, 0);
}

void XmlOrvaneParser::endElement(const XMLElementDecl& elemDecl, const unsigned int /*uriId*/, const bool isRoot,
                                 const XMLCh* const /*prefixName*/) {
    handleEndElement(elemDecl.getBaseName(), isRoot, 0, 0);
}

void XmlOrvaneParser::endEntityReference(const XMLEntityDecl& entDecl) {
    handleEndEntityReference(entDecl.getName());
}

void XmlOrvaneParser::startElement(const XMLElementDecl& elemDecl, const unsigned int /*uriId*/,
                                   const XMLCh* const /*prefixName*/, const RefVectorOf<XMLAttr>& attrList,
                                   const XMLSize_t attrCount, const bool isEmpty, const bool isRoot) {
    handleStartElement(elemDecl.getBaseName(), attrList, attrCount, isEmpty, isRoot, 0, 0);
}

void XmlOrvaneParser::startEntityReference(const XMLEntityDecl& entDecl) {
    handleStartEntityReference(entDecl.getName());
}

void XmlOrvaneParser::XMLDecl(const XMLCh* const versionStr, const XMLCh* const encodingStr,
                              const XMLCh* const standaloneStr, const XMLCh* const autoEncodingStr) {
    handleXmlDecl(versionStr, encodingStr, standaloneStr, autoEncodingStr, 0, 0);
}

void XmlOrvaneParser::doctypeComment(const XMLCh* const comment) {
    handleDocTypeComment(comment, 0, 0);
}

void XmlOrvaneParser::doctypeDecl(const DTDElementDecl& elemDecl, const XMLCh* const publicId,
                                  const XMLCh* const systemId, const bool /*hasIntSubset*/,
                                  const bool /*hasExtSubset*/) {
    handleDocTypeDecl(elemDecl.getBaseName(), publicId, systemId);
}

void XmlOrvaneParser::doctypePI(const XMLCh* const target, const XMLCh* const data) {
    handleDocTypePI(target, data, 0, 0);
}

void XmlOrvaneParser::endAttList(const DTDElementDecl& elemDecl) {
    handleEndAttList(elemDecl, 0);
}

void XmlOrvaneParser::notationDecl(const XMLNotationDecl& notDecl, const bool isIgnored) {
    handleNotationDecl(notDecl.getName(), notDecl.getPublicId(), notDecl.getSystemId(), isIgnored, 0, 0);
}

void XmlOrvaneParser::startAttList(const DTDElementDecl& elemDecl) {
    handleStartAttList(elemDecl, 0);
}

void XmlOrvaneParser::TextDecl(const XMLCh* const versionStr, const XMLCh* const encodingStr) {
    handleTextDecl(versionStr, encodingStr, 0, 0);
}

void XmlOrvaneParser::elementDecl(const DTDElementDecl& decl, const bool isIgnored) {
    handleElementDecl(decl, isIgnored, 0, 0);
}

void XmlOrvaneParser::entityDecl(const DTDEntityDecl& entityDecl, const bool isPEDecl, const bool isIgnored) {
    handleEntityDecl(entityDecl, isPEDecl, isIgnored, 0, 0);
}
