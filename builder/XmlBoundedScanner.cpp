#include "builder/XmlBoundedScanner.hpp"

#include <xercesc/framework/XMLDocumentHandler.hpp>
#include <xercesc/framework/XMLErrorCodes.hpp>
#include <xercesc/sax/InputSource.hpp>
#include <xercesc/util/Janitor.hpp>
#include <xercesc/util/XMLString.hpp>
#include <xercesc/util/XMLUniDefs.hpp>
#include <xercesc/validators/DTD/DTDGrammar.hpp>

XERCES_CPP_NAMESPACE_USE

void XmlBoundedScanner::countExpansion() {
    if (fSecurityManager != nullptr && ++fEntityExpansionCount > fEntityExpansionLimit) {
        XMLCh limit[32];
        XMLString::sizeToText(fEntityExpansionLimit, limit, 31, 10, fMemoryManager);
        emitError(XMLErrs::EntityExpansionLimitExceeded, limit);
        fEntityExpansionCount = 0;
    }
}

XMLScanner::EntityExpRes XmlBoundedScanner::scanEntityRef(const bool inAttVal, XMLCh& firstCh, XMLCh& secondCh,
                                                         bool& escaped) {
    secondCh = 0;
    escaped = false;
    // The whole reference must stand in one entity.
    const XMLSize_t reader = fReaderMgr.getCurrentReaderNum();
    if (fReaderMgr.skippedChar(chPound)) {
        if (!scanCharRef(firstCh, secondCh)) return EntityExp_Failed;
        escaped = true;
        if (reader != fReaderMgr.getCurrentReaderNum()) emitError(XMLErrs::PartialMarkupInEntity);
        return EntityExp_Returned;
    }
    XMLBufBid bid(&fBufMgr);
    XMLBuffer& name = bid.getBuffer();
    if (!fReaderMgr.getName(name)) {
        if (name.isEmpty()) emitError(XMLErrs::ExpectedEntityRefName);
        else emitError(XMLErrs::InvalidEntityRefName, name.getRawBuffer());
        return EntityExp_Failed;
    }
    if (!fReaderMgr.skippedChar(chSemiColon)) emitError(XMLErrs::UnterminatedEntityRef, name.getRawBuffer());
    if (reader != fReaderMgr.getCurrentReaderNum()) emitError(XMLErrs::PartialMarkupInEntity);

    // The grammar knows the five predefined entities as well as the declared ones.
    DTDEntityDecl* decl = fGrammar != nullptr && fGrammar->getGrammarType() == Grammar::DTDGrammarType
                              ? static_cast<DTDGrammar*>(fGrammar)->getEntityDecl(name.getRawBuffer())
                              : nullptr;
    if (decl == nullptr) {
        // Without a DTD that could declare it, or standing alone, the document is not well-formed.
        if (fStandalone || fHasNoDTD) {
            emitError(XMLErrs::EntityNotFound, name.getRawBuffer());
            return EntityExp_Failed;
        }
        // Otherwise it is a validity error only (its declaration may be in what was not read, or
        // nowhere): the reference is kept as it stands, so that writing the document keeps it.
        if (inAttVal) {
            iUndeclaredInAttribute = true;
        } else if (fDocHandler != nullptr) {
            iUndeclared.setName(name.getRawBuffer());
            fDocHandler->startEntityReference(iUndeclared);
            fDocHandler->endEntityReference(iUndeclared);
        }
        return EntityExp_Failed;
    }
    if (fStandalone && !decl->getDeclaredInIntSubset()) emitError(XMLErrs::IllegalRefInStandalone, name.getRawBuffer());

    if (decl->isExternal()) {
        if (decl->isUnparsed()) {
            emitError(XMLErrs::NoUnparsedEntityRefs, name.getRawBuffer());
            return EntityExp_Failed;
        }
        if (inAttVal) emitError(XMLErrs::NoExtRefsInAttValue);
        InputSource* source = nullptr;
        XMLReader* entityReader = fReaderMgr.createReader(
            decl->getBaseURI(), decl->getSystemId(), decl->getPublicId(), false, XMLReader::RefFrom_NonLiteral,
            XMLReader::Type_General, XMLReader::Source_External, source, fCalculateSrcOfs, fLowWaterMark,
            fDisableDefaultEntityResolution);
        Janitor<InputSource> sourceJanitor(source);
        if (entityReader == nullptr)
            ThrowXMLwithMemMgr1(RuntimeException, XMLExcepts::Gen_CouldNotOpenExtEntity,
                                source != nullptr ? source->getSystemId() : decl->getSystemId(), fMemoryManager);
        if (!fReaderMgr.pushReader(entityReader, decl)) {
            emitError(XMLErrs::RecursiveEntity, decl->getName());
            return EntityExp_Failed;
        }
        countExpansion();
        if (fDocHandler != nullptr && !inAttVal) fDocHandler->startEntityReference(*decl);
        if (checkXMLDecl(true)) scanXMLDecl(Decl_Text);
        return EntityExp_Pushed;
    }
    // The five predefined entities stand for one character, taken as escaped.
    if (decl->getIsSpecialChar()) {
        firstCh = decl->getValue()[0];
        escaped = true;
        return EntityExp_Returned;
    }
    XMLReader* valueReader = fReaderMgr.createIntEntReader(decl->getName(), XMLReader::RefFrom_NonLiteral,
                                                           XMLReader::Type_General, decl->getValue(),
                                                           decl->getValueLen(), false);
    if (!fReaderMgr.pushReader(valueReader, decl)) emitError(XMLErrs::RecursiveEntity, decl->getName());
    countExpansion();
    if (fDocHandler != nullptr && !inAttVal) fDocHandler->startEntityReference(*decl);
    return EntityExp_Pushed;
}
