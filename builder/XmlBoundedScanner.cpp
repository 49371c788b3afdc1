#include "builder/XmlBoundedScanner.hpp"

#include "builder/XmlExpansionMeter.hpp"

#include <xercesc/framework/XMLDocumentHandler.hpp>
#include <xercesc/framework/XMLErrorCodes.hpp>
#include <xercesc/sax/InputSource.hpp>
#include <xercesc/framework/XMLBuffer.hpp>
#include <xercesc/internal/XMLReader.hpp>
#include <xercesc/util/Janitor.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
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
    if (decl != nullptr && !iUnprocessed.empty() && iUnprocessed.count(decl) != 0) decl = nullptr;
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

    if (decl->isExternal()) return pushExternalEntity(*decl, name.getRawBuffer(), inAttVal);
    // The five predefined entities stand for one character, taken as escaped.
    if (decl->getIsSpecialChar()) {
        firstCh = decl->getValue()[0];
        escaped = true;
        return EntityExp_Returned;
    }
    // Nothing is handed back: the events of the expansion are sent already.
    if (!inAttVal && expandedInPlace(*decl)) return EntityExp_Failed;
    XMLReader* valueReader = fReaderMgr.createIntEntReader(decl->getName(), XMLReader::RefFrom_NonLiteral,
                                                           XMLReader::Type_General, decl->getValue(),
                                                           decl->getValueLen(), false);
    if (!fReaderMgr.pushReader(valueReader, decl)) emitError(XMLErrs::RecursiveEntity, decl->getName());
    countExpansion();
    if (fDocHandler != nullptr && !inAttVal) fDocHandler->startEntityReference(*decl);
    return EntityExp_Pushed;
}

XMLScanner::EntityExpRes XmlBoundedScanner::pushExternalEntity(DTDEntityDecl& decl, const XMLCh* name, bool inAttVal) {
    if (decl.isUnparsed()) {
        emitError(XMLErrs::NoUnparsedEntityRefs, name);
        return EntityExp_Failed;
    }
    if (inAttVal) emitError(XMLErrs::NoExtRefsInAttValue);
    InputSource* source = nullptr;
    XMLReader* entityReader = fReaderMgr.createReader(
        decl.getBaseURI(), decl.getSystemId(), decl.getPublicId(), false, XMLReader::RefFrom_NonLiteral,
        XMLReader::Type_General, XMLReader::Source_External, source, fCalculateSrcOfs, fLowWaterMark,
        fDisableDefaultEntityResolution);
    Janitor<InputSource> sourceJanitor(source);
    if (entityReader == nullptr)
        ThrowXMLwithMemMgr1(RuntimeException, XMLExcepts::Gen_CouldNotOpenExtEntity,
                            source != nullptr ? source->getSystemId() : decl.getSystemId(), fMemoryManager);
    if (!fReaderMgr.pushReader(entityReader, &decl)) {
        emitError(XMLErrs::RecursiveEntity, decl.getName());
        return EntityExp_Failed;
    }
    countExpansion();
    if (fDocHandler != nullptr && !inAttVal) fDocHandler->startEntityReference(decl);
    if (checkXMLDecl(true)) scanXMLDecl(Decl_Text);
    return EntityExp_Pushed;
}

bool XmlBoundedScanner::isPlainText(const XMLCh* text, XMLSize_t length) noexcept {
    // Characters that read the same from any reader and that no check of the text around them
    // pairs with: no markup or reference ('<', '&'), nothing of a "]]>" (']', '>'), no line end
    // a reader would change or a version would read otherwise (CR, NEL, U+2028, C1 controls), no
    // surrogate.
    for (XMLSize_t i = 0; i < length; ++i) {
        const XMLCh c = text[i];
        if (c >= 0x20 && c <= 0x7E) {
            if (c == chOpenAngle || c == chAmpersand || c == chCloseSquare || c == chCloseAngle) return false;
        } else if (c == chHTab || c == chLF || (c >= 0xA0 && c <= 0xD7FF && c != 0x2028) || (c >= 0xE000 && c <= 0xFFFD)) {
            continue;
        } else {
            return false;
        }
    }
    return true;
}

bool XmlBoundedScanner::expandedInPlace(DTDEntityDecl& decl) {
    if (!iExpandInPlace || fValidate || fDocHandler == nullptr) return false;
    const XMLCh* const text = decl.getValue();
    const XMLSize_t length = decl.getValueLen();
    if (text == nullptr || !isPlainText(text, length)) return false;
    // The library reads an entity's text to its end in a step of its own and sends the end of the
    // reference at the next step, before the markup that follows. Markup must follow here too,
    // already decoded (a decoding failure must come where the library meets it): then this step
    // ends where the library's would, and the next one starts with the end (finishInPlace).
    XMLReader* const reader = fReaderMgr.getCurrentReader();
    XMLCh next = 0;
    if (reader == nullptr || reader->charsLeftInBuffer() == 0 || !reader->peekNextChar(next) || next != chOpenAngle)
        return false;

    // What opening a reader for it would count, refused as that reader's allocation would be.
    if (iMeter != nullptr && !iMeter->readerOpening()) throw OutOfMemoryException();
    // From here the expansion is open, as a pushed reader would be: should its events fail, it
    // closes (its text counted) as the reader's deletion would count it.
    struct Open {
        XmlBoundedScanner& scanner;
        const DTDEntityDecl* decl;
        ~Open() {
            scanner.iReadingInPlace = false;
            if (decl != nullptr && scanner.iMeter != nullptr) scanner.iMeter->closedInPlace(decl);
        }
    } open{*this, &decl};
    iReadingInPlace = true;
    countExpansion();
    ++iInPlaceCount;
    fDocHandler->startEntityReference(decl);
    if (length > 0) fDocHandler->docCharacters(text, length, false);
    open.decl = nullptr;
    iPendingEnd = &decl;
    return true;
}

void XmlBoundedScanner::finishInPlace() {
    DTDEntityDecl* const decl = iPendingEnd;
    iPendingEnd = nullptr;
    // As the library's reader ends: closed (its text counted), then the end of the reference.
    if (iMeter != nullptr) iMeter->closedInPlace(decl);
    if (fDocHandler != nullptr) fDocHandler->endEntityReference(*decl);
}
