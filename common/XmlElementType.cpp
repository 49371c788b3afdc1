#include "common/XmlElementType.hpp"

const char* xmlElementTypeName(int typeCode) noexcept {
    switch (typeCode) {
#define QUARN_TYPE_NAME(t) case t: return #t;
        QUARN_TYPE_NAME(XmlTypeElement) QUARN_TYPE_NAME(XmlTypeRoot) QUARN_TYPE_NAME(XmlTypeContent)
        QUARN_TYPE_NAME(XmlTypeCData) QUARN_TYPE_NAME(XmlTypeAttribute) QUARN_TYPE_NAME(XmlTypeUnparsedEntityDecl)
        QUARN_TYPE_NAME(XmlTypeNotationDecl) QUARN_TYPE_NAME(XmlTypeEntityDecl) QUARN_TYPE_NAME(XmlTypeParameterEntityDecl)
        QUARN_TYPE_NAME(XmlTypeExternalEntityDecl) QUARN_TYPE_NAME(XmlTypeXmlDecl) QUARN_TYPE_NAME(XmlTypeDocTypeDecl)
        QUARN_TYPE_NAME(XmlTypeInternalSubset) QUARN_TYPE_NAME(XmlTypeExternalSubset) QUARN_TYPE_NAME(XmlTypeAttList)
        QUARN_TYPE_NAME(XmlTypeAttDef) QUARN_TYPE_NAME(XmlTypeExternalParameterEntityDecl) QUARN_TYPE_NAME(XmlTypeWhiteSpace)
        QUARN_TYPE_NAME(XmlTypePublicId) QUARN_TYPE_NAME(XmlTypeSystemId) QUARN_TYPE_NAME(XmlTypeNotationReference)
        QUARN_TYPE_NAME(XmlTypeVersion) QUARN_TYPE_NAME(XmlTypeEncoding) QUARN_TYPE_NAME(XmlTypeStandalone)
        QUARN_TYPE_NAME(XmlTypeComment) QUARN_TYPE_NAME(XmlTypeEntityReferenceStart) QUARN_TYPE_NAME(XmlTypeEntityReferenceEnd)
        QUARN_TYPE_NAME(XmlTypeDocTypeComment) QUARN_TYPE_NAME(XmlTypeRawContent) QUARN_TYPE_NAME(XmlTypeEntityValue)
        QUARN_TYPE_NAME(XmlTypeAttDefValue) QUARN_TYPE_NAME(XmlTypeAttDefDefaultType) QUARN_TYPE_NAME(XmlTypeDocTypeWhiteSpace)
        QUARN_TYPE_NAME(XmlTypeProcessingInstruction) QUARN_TYPE_NAME(XmlTypeElementDef) QUARN_TYPE_NAME(XmlTypeDocTypePI)
        QUARN_TYPE_NAME(XmlTypeAttDefType) QUARN_TYPE_NAME(XmlTypeNameValueLeaf)
#undef QUARN_TYPE_NAME
    }
    return nullptr;
}
