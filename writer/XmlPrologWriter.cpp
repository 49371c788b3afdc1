// XmlPrologWriter: the prolog and the document type definition, item by item: each is copied
// from its original bytes when the reuse test allows, else written as markup through the
// writer's output wrappers. Keeps the XML declaration naming the page written and the document
// type's ">" where it belongs.
#include "writer/XmlPrologWriter.hpp"

#include "common/XmlConstants.hpp"
#include "host/KelLog.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelThrow.hpp"
#include "host/KelValue.hpp"
#include "common/XmlElementType.hpp"
#include "parser/XmlKelSyntaxElement.hpp"
#include "writer/XmlBrokerOrvaneWriter.hpp"

namespace {

bool isPrologKind(int type) noexcept {
    switch (type) {
    case XmlTypeXmlDecl:
    case XmlTypeDocTypeDecl:
    case XmlTypeInternalSubset:
    case XmlTypeExternalSubset:
    case XmlTypeUnparsedEntityDecl:
    case XmlTypeEntityDecl:
    case XmlTypeExternalEntityDecl:
    case XmlTypeParameterEntityDecl:
    case XmlTypeExternalParameterEntityDecl:
    case XmlTypeNotationDecl:
    case XmlTypeAttList:
    case XmlTypeAttDef:
    case XmlTypeElementDef:
    case XmlTypePublicId:
    case XmlTypeSystemId:
    case XmlTypeNotationReference:
    case XmlTypeEntityValue:
    case XmlTypeAttDefType:
    case XmlTypeAttDefDefaultType:
    case XmlTypeAttDefValue:
        return true;
    default:
        return false;
    }
}

const KelStringBase& versionOneZero() {
    static const KelStringBase text = KelStringBase::fromAscii("1.0");
    return text;
}

} // namespace

void XmlPrologWriter::write(XmlBrokerOrvaneWriter* writer, KelSyntaxElement* element) {
    iWriter = writer;
    XmlBrokerOrvaneWriter& w = *iWriter;
    const int type = w.effectiveType(element);
    KelDebugTraceScope trace(&w, "XmlBrokerOrvaneWriter::writeProlog", type);
    if (iDepth >= XmlBrokerOrvaneWriter::kMaxDeclarationDepth) {
        kelThrow<KelParserException>(&w, KEL_HERE, "XmlBrokerOrvaneWriter::writeProlog",
                                     KelMsg::E_XmlP_validateTree, element->storedName(), XmlBrokerOrvaneWriter::kMaxDeclarationDepth);
    }
    struct Depth {
        int& depth;
        explicit Depth(int& d) : depth(d) { ++depth; }
        ~Depth() { --depth; }
    } depth(iDepth);

    w.ensureComplete(element);
    if (type == XmlTypeEntityReferenceStart || type == XmlTypeEntityReferenceEnd) {
        KelSyntaxElement* parent = element->parent();
        if (parent != nullptr && w.effectiveType(parent) == XmlTypeInternalSubset) {
            writeParameterReference(element, type);
            return;
        }
    }
    if (!isPrologKind(type)) {
        w.writeMisc(element);
        return;
    }
    if (type == XmlTypeXmlDecl && !w.paused()) {
        // A declaration that names another page than the one written names the written one.
        const KelStringBase rename = declarationRename(element);
        if (!rename.empty()) {
            if (!copyDeclarationRenamed(element, rename)) writeXmlDeclaration(element, &rename);
            return;
        }
    }
    if (w.copyOriginal(element)) {
        if (type == XmlTypeInternalSubset) {
            // A parsed subset's text runs to the declaration's closing '>'.
            XmlKelSyntaxElement* xml = w.asXmlElement(element);
            w.iDocTypeClose.setSubsetCarriedClose(!w.paused() && w.iDocTypeClose.endsWithClose(xml->getBufferStart(),
                                                                                         xml->getBufferEnd(),
                                                                                         xml->getBufferCodepage(),
                                                                                         xml->getBufferBigEndian() != 0));
        }
        if (type == XmlTypeDocTypeDecl && !w.paused()) {
            if (KelSyntaxElement* subset = w.findChildElement(element, XmlTypeInternalSubset)) {
                w.iDocTypeClose.setSubsetCarriedClose(false);
                w.writeProlog(subset);
                w.closeDocTypeAfterSubset();
            } else {
                XmlKelSyntaxElement* xml = w.asXmlElement(element);
                w.iDocTypeClose.set(w.iDocTypeClose.endsWithClose(xml->getBufferStart(), xml->getBufferEnd(),
                                                              xml->getBufferCodepage(), xml->getBufferBigEndian() != 0)
                                      ? XmlDocTypeCloseTracker::Written
                                      : XmlDocTypeCloseTracker::Owed);
            }
        }
        return;
    }
    writeItem(element, type);
}

void XmlPrologWriter::writeItem(KelSyntaxElement* element, int type) {
    XmlBrokerOrvaneWriter& w = *iWriter;
    switch (type) {
    case XmlTypeXmlDecl:
        writeXmlDeclaration(element);
        break;
    case XmlTypeDocTypeDecl:
        w.outputDocTypeBegin(element->name(), true);
        w.iDocTypeClose.setSubsetCarriedClose(false);
        writeEntityDeclChildren(element);
        w.closeDocTypeAfterSubset();
        break;
    case XmlTypeInternalSubset: {
        w.outputInternalSubsetBegin();
        // References pair up within the subset: one left open ends with it.
        const int pauseBase = w.iPauseDepth;
        for (KelSyntaxElement* child = element->firstChild(); child; child = child->nextSibling()) w.writeProlog(child);
        w.setPauseDepth(pauseBase);
        w.outputInternalSubsetEnd();
        break;
    }
    case XmlTypeExternalSubset:
        // Never read, so never rewritten: only its original bytes can stand for it.
        break;
    case XmlTypeUnparsedEntityDecl:
    case XmlTypeEntityDecl:
    case XmlTypeExternalEntityDecl:
        w.outputEntityDeclarationBegin(element->name());
        writeEntityDeclChildren(element);
        w.outputEntityDeclarationEnd(element->name());
        break;
    case XmlTypeParameterEntityDecl:
    case XmlTypeExternalParameterEntityDecl:
        w.outputParameterEntityDeclarationBegin(element->name());
        writeEntityDeclChildren(element);
        w.outputEntityDeclarationEnd(element->name());
        break;
    case XmlTypeNotationDecl:
        w.outputNotationDeclarationBegin(element->name());
        writeEntityDeclChildren(element);
        w.outputNotationDeclarationEnd(element->name());
        break;
    case XmlTypeAttList:
        w.outputAttListBegin(element->name(), true);
        for (KelSyntaxElement* child = element->firstChild(); child; child = child->nextSibling()) w.writeProlog(child);
        w.outputAttListEnd();
        break;
    case XmlTypeAttDef: {
        // White space read between the definitions is kept as an item of its own; a definition
        // right after it needs no space of its own, or every rewrite would add one.
        KelSyntaxElement* before = element->knownPreviousSibling();
        bool spaced = false;
        if (before != nullptr && w.effectiveType(before) == XmlTypeDocTypeWhiteSpace) {
            const KelValue& space = before->value();
            spaced = !space.isNull() && !space.valueAsCharacter().empty();
        }
        w.outputAttDef(element->name(), true, !spaced);
        writeAttributeDefChildren(element);
        break;
    }
    case XmlTypeElementDef: {
        const KelValue& value = element->value();
        if (!value.isNull()) w.outputElementDef(element->name(), value.characterValue(), true);
        break;
    }
    case XmlTypePublicId: {
        const KelValue& value = element->value();
        if (!value.isNull()) w.outputPublicId(value.valueAsCharacter());
        break;
    }
    case XmlTypeSystemId: {
        const KelValue& value = element->value();
        if (!value.isNull()) w.outputSystemId(value.valueAsCharacter());
        break;
    }
    case XmlTypeNotationReference: {
        const KelValue& value = element->value();
        if (!value.isNull()) w.outputNotationReference(value.valueAsCharacter());
        break;
    }
    case XmlTypeEntityValue: {
        const KelValue& value = element->value();
        if (!value.isNull()) w.outputEntityValue(value.valueAsCharacter());
        break;
    }
    case XmlTypeAttDefValue: {
        // An empty default ("") is a default all the same: without it the definition is no XML.
        const KelValue& value = element->value();
        if (!value.isNull()) w.outputAttDefValue(value.valueAsCharacter());
        break;
    }
    case XmlTypeAttDefDefaultType: {
        const KelValue& value = element->value();
        if (!value.isNull()) w.outputAttributeDefDefaultType(value.valueAsCharacter());
        break;
    }
    case XmlTypeAttDefType: {
        // A type and its enumeration are names and name tokens, where no reference can stand:
        // written as they are, so a character the output page lacks fails the write rather than
        // becoming a reference that no reader takes.
        const KelStringBase& name = element->name();
        const KelStringBase enumeration = element->value().valueAsCharacter();
        w.checkAttributeType(name, enumeration);
        if (!name.empty()) {
            KelStringBase text(XmlConstants::wcsSpace);
            text.append(name);
            w.outputCharacters(text, false);
        }
        if (!enumeration.empty()) {
            KelStringBase text(XmlConstants::wcsSpace);
            text.append(enumeration);
            w.outputCharacters(text, false);
        }
        break;
    }
    default:
        break;
    }
}

void XmlPrologWriter::writeParameterReference(KelSyntaxElement* mark, int type) {
    XmlBrokerOrvaneWriter& w = *iWriter;
    if (type == XmlTypeEntityReferenceEnd) {
        w.resumeOutput(0);
        return;
    }
    // Only the reference is written: its expansion's items stand in the entity's declaration.
    const KelValue& value = mark->value();
    if (!value.isNull()) w.outputParameterEntityReference(value.valueAsCharacter());
    w.pauseOutput();
}

KelStringBase XmlPrologWriter::declarationRename(KelSyntaxElement* element) {
    XmlBrokerOrvaneWriter& w = *iWriter;
    const KelValue* declared = nullptr;
    for (KelSyntaxElement* child = element->firstChild(); child; child = child->nextSibling()) {
        if (w.effectiveType(child) != XmlTypeEncoding) continue;
        const KelValue& value = child->value();
        if (!value.isNull()) {
            declared = &value;
            break;
        }
    }
    return iDeclarationEncoding.renameFor(declared, w.iOutputCodepage, w.iOutputEncoding, w.getEndian() != -1);
}

bool XmlPrologWriter::copyDeclarationRenamed(KelSyntaxElement* element, const KelStringBase& name) {
    XmlBrokerOrvaneWriter& w = *iWriter;
    // The declaration's own text, with only the encoding name changed (or one added after the
    // version), so that its quotes and blanks stay as they were.
    if (!w.iSpanReuse || !w.isXmlSyntaxElement(element)) return false;
    XmlKelSyntaxElement* xml = w.asXmlElement(element);
    if (xml == nullptr || xml->getBufferStart() == nullptr || xml->getBufferEnd() == nullptr ||
        xml->getBufferEnd() < xml->getBufferStart())
        return false;
    KelStringBase text;
    w.iOutput.decode(xml->getBufferStart(), xml->getBufferEnd(), xml->getBufferCodepage(),
                   xml->getBufferBigEndian() != 0, text);
    KelStringBase edited;
    if (!XmlDeclarationEncoding::renamedText(text, name, edited)) return false;
    w.emitPiece(edited);
    return true;
}

void XmlPrologWriter::writeXmlDeclaration(KelSyntaxElement* element, const KelStringBase* encodingName) {
    XmlBrokerOrvaneWriter& w = *iWriter;
    // The first child of a kind that holds a value; children of that kind without one are passed over.
    auto firstValued = [&w, element](int type) -> const KelValue* {
        for (KelSyntaxElement* child = element->firstChild(); child; child = child->nextSibling()) {
            if (w.effectiveType(child) != type) continue;
            const KelValue& value = child->value();
            if (!value.isNull()) return &value;
        }
        return nullptr;
    };
    w.outputXmlDeclBegin();
    if (const KelValue* version = firstValued(XmlTypeVersion)) w.outputXmlVersion(version->valueAsCharacter());
    else w.outputXmlVersion(versionOneZero());
    if (encodingName != nullptr) w.outputXmlEncoding(*encodingName);
    else if (const KelValue* encoding = firstValued(XmlTypeEncoding)) w.outputXmlEncoding(encoding->valueAsCharacter());
    if (const KelValue* standalone = firstValued(XmlTypeStandalone)) w.outputXmlStandAlone(standalone->valueAsCharacter());
    w.outputXmlDeclEnd();
}

void XmlPrologWriter::writeEntityDeclChildren(KelSyntaxElement* declaration) {
    XmlBrokerOrvaneWriter& w = *iWriter;
    const int type = w.effectiveType(declaration);
    // A public identifier always comes before the system literal, and both before the rest.
    bool identified = true;
    if (KelSyntaxElement* publicId = w.findChildElement(declaration, XmlTypePublicId)) {
        w.writeProlog(publicId);
        if (KelSyntaxElement* systemId = w.findChildElement(declaration, XmlTypeSystemId)) {
            const KelValue& value = systemId->value();
            w.outputSystemLiteral(value.isNull() ? XmlConstants::wcsNull : value.valueAsCharacter());
        }
    } else if (KelSyntaxElement* systemId = w.findChildElement(declaration, XmlTypeSystemId)) {
        w.writeProlog(systemId);
    } else {
        identified = false;
    }
    // An empty identifier is read as no child at all; the declaration still needs its literal.
    if (!identified) {
        const bool external = type == XmlTypeExternalEntityDecl || type == XmlTypeExternalParameterEntityDecl ||
                              type == XmlTypeUnparsedEntityDecl || type == XmlTypeNotationDecl ||
                              (type == XmlTypeDocTypeDecl && w.findChildElement(declaration, XmlTypeExternalSubset));
        if (external) w.outputSystemId(XmlConstants::wcsNull);
    }
    bool valued = false;
    for (KelSyntaxElement* child = declaration->firstChild(); child; child = child->nextSibling()) {
        const int childType = w.effectiveType(child);
        if (childType == XmlTypePublicId || childType == XmlTypeSystemId) continue;
        if (childType == XmlTypeEntityValue && !child->value().isNull()) valued = true;
        w.writeProlog(child);
    }
    // Likewise an empty replacement text: an internal entity is declared with a literal, if empty.
    if (!valued && (type == XmlTypeEntityDecl || type == XmlTypeParameterEntityDecl)) w.outputEntityValue(XmlConstants::wcsNull);
}

void XmlPrologWriter::writeAttributeDefChildren(KelSyntaxElement* attDef) {
    XmlBrokerOrvaneWriter& w = *iWriter;
    // Attribute name, type, default kind, default value: the order the declaration syntax needs.
    static const int ordered[3] = {XmlTypeAttDefType, XmlTypeAttDefDefaultType, XmlTypeAttDefValue};
    for (int type : ordered) {
        if (KelSyntaxElement* child = w.findChildElement(attDef, type)) w.writeProlog(child);
    }
    for (KelSyntaxElement* child = attDef->firstChild(); child; child = child->nextSibling()) {
        const int type = w.effectiveType(child);
        if (type != ordered[0] && type != ordered[1] && type != ordered[2]) w.writeProlog(child);
    }
}

