// XmlElementType: the type codes of XML-domain syntax elements (bits 0-27 of the type word).
// The top byte of a code is its class: 0x01 named container, 0x02 value, 0x03 name and value,
// 0x05 declaration with children, 0x06 value leaf with a role, 0x07 name-and-value leaf.
// Plain constants; no state.
#pragma once

enum XmlElementType : int {
    XmlTypeElement = 0x01000000,
    XmlTypeRoot = 0x01000010,
    XmlTypeContent = 0x02000000,
    XmlTypeCData = 0x02000001,
    XmlTypeAttribute = 0x03000000,
    XmlTypeUnparsedEntityDecl = 0x05000004,
    XmlTypeNotationDecl = 0x05000008,
    XmlTypeEntityDecl = 0x05000011,
    XmlTypeParameterEntityDecl = 0x05000012,
    XmlTypeExternalEntityDecl = 0x05000014,
    XmlTypeXmlDecl = 0x05000018,
    XmlTypeDocTypeDecl = 0x05000020,
    XmlTypeInternalSubset = 0x05000021,
    XmlTypeExternalSubset = 0x05000022,
    XmlTypeAttList = 0x05000024,
    XmlTypeAttDef = 0x05000028,
    XmlTypeExternalParameterEntityDecl = 0x05000040,
    XmlTypeWhiteSpace = 0x06000002,
    XmlTypePublicId = 0x06000004,
    XmlTypeSystemId = 0x06000008,
    XmlTypeNotationReference = 0x06000010,
    XmlTypeVersion = 0x06000011,
    XmlTypeEncoding = 0x06000012,
    XmlTypeStandalone = 0x06000014,
    XmlTypeComment = 0x06000018,
    XmlTypeEntityReferenceStart = 0x06000020,
    XmlTypeEntityReferenceEnd = 0x06000021,
    XmlTypeDocTypeComment = 0x06000022,
    XmlTypeRawContent = 0x06000028,
    XmlTypeEntityValue = 0x06000041,
    XmlTypeAttDefValue = 0x06000042,
    XmlTypeAttDefDefaultType = 0x06000044,
    XmlTypeDocTypeWhiteSpace = 0x06000080,
    XmlTypeProcessingInstruction = 0x07000002,
    XmlTypeElementDef = 0x07000004,
    XmlTypeDocTypePI = 0x07000008,
    XmlTypeAttDefType = 0x07000010,
    XmlTypeNameValueLeaf = 0x07000011,   // accepted at the top level; created by nothing here
};

// Class bits of a type code.
constexpr int kXmlNameBit = 0x01000000;
constexpr int kXmlValueBit = 0x02000000;
constexpr int kXmlMarkupBit = 0x04000000;
constexpr int kXmlClassMask = static_cast<int>(0xFF000000u);

// A readable name for a type code ("XmlTypeElement"), or null for an unknown code.
const char* xmlElementTypeName(int typeCode) noexcept;
