#include "common/XmlOrvaneWriter.hpp"

namespace {

// The primitives take their own copies (cheap: shared or inline) of every argument that follows a
// fixed piece, so that an argument may be `out` itself and still be appended as it was on entry.

// Appends `text` to `out`; `text` may be `out` itself (the append must not read units it has
// just moved).
void appendText(KelStringBase& out, const KelStringBase& text) {
    if (&text == &out) {
        const KelStringBase copy(text);
        out.append(copy);
    } else {
        out.append(text);
    }
}

void appendMaybeEscaped(KelStringBase& out, const KelStringBase& text, bool escape) {
    if (escape) {
        XmlUtils::ReplaceSpecialChars(text, out);
    } else {
        appendText(out, text);
    }
}

} // namespace

// Big-endian until the owner says otherwise, so the value is never read undefined.
XmlOrvaneWriter::XmlOrvaneWriter() noexcept : XmlConstants(), iEndian(1), iPaused(false), iUtils() {}

XmlOrvaneWriter::XmlOrvaneWriter(const XmlOrvaneWriter& other) noexcept
    : XmlConstants(other), iEndian(other.iEndian), iPaused(other.iPaused), iUtils(other.iUtils) {}

XmlOrvaneWriter& XmlOrvaneWriter::operator=(const XmlOrvaneWriter& other) noexcept {
    XmlConstants::operator=(other);
    iEndian = other.iEndian;
    iPaused = other.iPaused;
    iUtils = other.iUtils;
    return *this;
}

XmlOrvaneWriter::~XmlOrvaneWriter() = default;

void XmlOrvaneWriter::outputStartElementBegin(KelStringBase& out, const KelStringBase& name) {
    if (iPaused) return;
    const KelStringBase nameCopy(name);
    out.append(wcsLeftAngle);
    out.append(nameCopy);
}

void XmlOrvaneWriter::outputStartElementEnd(KelStringBase& out, const KelStringBase& /*name*/) {
    if (iPaused) return;
    out.append(wcsRightAngle);
}

void XmlOrvaneWriter::outputEndEmptyElement(KelStringBase& out, const KelStringBase& /*name*/) {
    if (iPaused) return;
    out.append(wcsForwardSlash);
    out.append(wcsRightAngle);
}

void XmlOrvaneWriter::outputEndElement(KelStringBase& out, const KelStringBase& name) {
    if (iPaused) return;
    const KelStringBase nameCopy(name);
    out.append(wcsLeftAngle);
    out.append(wcsForwardSlash);
    out.append(nameCopy);
    out.append(wcsRightAngle);
}

void XmlOrvaneWriter::outputEndElement(KelStringBase& out, const KelStringBase& name, bool empty) {
    if (iPaused) return;
    if (empty) {
        out.append(wcsForwardSlash);
        out.append(wcsRightAngle);
    } else {
        outputEndElement(out, name);
    }
}

void XmlOrvaneWriter::outputAttribute(KelStringBase& out, const KelStringBase& name, const KelStringBase& value,
                                      const KelStringBase& quote, bool escape) {
    if (iPaused) return;
    const KelStringBase nameCopy(name);
    const KelStringBase valueCopy(value);
    const KelStringBase quoteCopy(quote);
    out.append(wcsSpace);
    out.append(nameCopy);
    out.append(wcsEquals);
    out.append(quoteCopy);
    appendMaybeEscaped(out, valueCopy, escape);
    out.append(quoteCopy);
}

void XmlOrvaneWriter::outputCharacters(KelStringBase& out, const KelStringBase& text, bool escape) {
    if (iPaused) return;
    appendMaybeEscaped(out, text, escape);
}

void XmlOrvaneWriter::outputIgnorableWhiteSpace(KelStringBase& out, const KelStringBase& text) {
    if (iPaused) return;
    appendText(out, text);
}

void XmlOrvaneWriter::outputProcessingInstruction(KelStringBase& out, const KelStringBase& target,
                                                  const KelStringBase& data, bool escape) {
    if (iPaused) return;
    const KelStringBase targetCopy(target);
    const KelStringBase dataCopy(data);
    out.append(wcsLeftAngleQuestion);
    out.append(targetCopy);
    out.append(wcsSpace);
    appendMaybeEscaped(out, dataCopy, escape);
    out.append(wcsQuestionRightAngle);
}

void XmlOrvaneWriter::outputEntityDeclarationBegin(KelStringBase& out, const KelStringBase& name, bool escape) {
    if (iPaused) return;
    const KelStringBase nameCopy(name);
    out.append(wcsLeftAngleEntity);
    appendMaybeEscaped(out, nameCopy, escape);
}

void XmlOrvaneWriter::outputParameterEntityDeclarationBegin(KelStringBase& out, const KelStringBase& name,
                                                            bool escape) {
    if (iPaused) return;
    const KelStringBase nameCopy(name);
    out.append(wcsLeftAngleEntityPercent);
    appendMaybeEscaped(out, nameCopy, escape);
}

void XmlOrvaneWriter::outputEntityDeclarationEnd(KelStringBase& out, const KelStringBase& /*name*/) {
    if (iPaused) return;
    out.append(wcsRightAngle);
}

void XmlOrvaneWriter::outputNotationReference(KelStringBase& out, const KelStringBase& notationName, bool escape) {
    if (iPaused) return;
    const KelStringBase nameCopy(notationName);
    out.append(wcsNdata);
    appendMaybeEscaped(out, nameCopy, escape);
}

void XmlOrvaneWriter::outputSystemId(KelStringBase& out, const KelStringBase& id, bool escape) {
    if (iPaused) return;
    const KelStringBase idCopy(id);
    out.append(wcsSystemSpace);
    out.append(wcsDoubleQuote);
    appendMaybeEscaped(out, idCopy, escape);
    out.append(wcsDoubleQuote);
}

void XmlOrvaneWriter::outputPublicId(KelStringBase& out, const KelStringBase& id, bool escape) {
    if (iPaused) return;
    const KelStringBase idCopy(id);
    out.append(wcsPublic);
    out.append(wcsDoubleQuote);
    appendMaybeEscaped(out, idCopy, escape);
    out.append(wcsDoubleQuote);
}

void XmlOrvaneWriter::outputNotationDeclarationBegin(KelStringBase& out, const KelStringBase& name, bool escape) {
    if (iPaused) return;
    const KelStringBase nameCopy(name);
    out.append(wcsLeftAngleNotation);
    appendMaybeEscaped(out, nameCopy, escape);
    out.append(wcsSpace);
}

void XmlOrvaneWriter::outputNotationDeclarationEnd(KelStringBase& out, const KelStringBase& /*name*/) {
    if (iPaused) return;
    out.append(wcsRightAngle);
}

void XmlOrvaneWriter::outputXmlDeclBegin(KelStringBase& out) {
    if (iPaused) return;
    out.append(wcsLeftAngleQuestionXml);
}

void XmlOrvaneWriter::outputXmlVersion(KelStringBase& out, const KelStringBase& version, bool escape) {
    if (iPaused) return;
    const KelStringBase versionCopy(version);
    out.append(wcsVersionEquals); // carries the opening quotation mark
    appendMaybeEscaped(out, versionCopy, escape);
    out.append(wcsDoubleQuote);
}

void XmlOrvaneWriter::outputXmlEncoding(KelStringBase& out, const KelStringBase& encoding, bool escape) {
    if (iPaused) return;
    const KelStringBase encodingCopy(encoding);
    out.append(wcsEncodingEquals);
    out.append(wcsDoubleQuote);
    appendMaybeEscaped(out, encodingCopy, escape);
    out.append(wcsDoubleQuote);
}

void XmlOrvaneWriter::outputXmlStandAlone(KelStringBase& out, const KelStringBase& standalone, bool escape) {
    if (iPaused) return;
    const KelStringBase standaloneCopy(standalone);
    out.append(wcsStandaloneEquals);
    out.append(wcsDoubleQuote);
    appendMaybeEscaped(out, standaloneCopy, escape);
    out.append(wcsDoubleQuote);
}

void XmlOrvaneWriter::outputXmlDeclEnd(KelStringBase& out) {
    if (iPaused) return;
    out.append(wcsQuestionRightAngle);
}

void XmlOrvaneWriter::outputXmlComment(KelStringBase& out, const KelStringBase& text, bool escape) {
    if (iPaused) return;
    const KelStringBase textCopy(text);
    out.append(wcsLeftAngleDashDash);
    appendMaybeEscaped(out, textCopy, escape);
    out.append(wcsDashDashRightAngle);
}

void XmlOrvaneWriter::outputEntityReference(KelStringBase& out, const KelStringBase& name, bool escape) {
    if (iPaused) return;
    const KelStringBase nameCopy(name);
    out.append(wcsAmpersand);
    appendMaybeEscaped(out, nameCopy, escape);
    out.append(wcsSemiColon);
}

void XmlOrvaneWriter::outputParameterEntityReference(KelStringBase& out, const KelStringBase& name, bool escape) {
    if (iPaused) return;
    const KelStringBase nameCopy(name);
    out.append(wcsPercent);
    appendMaybeEscaped(out, nameCopy, escape);
    out.append(wcsSemiColon);
}

void XmlOrvaneWriter::outputCDataSection(KelStringBase& out, const KelStringBase& text) {
    if (iPaused) return;
    const KelStringBase textCopy(text);
    out.append(wcsLeftAngleCdata);
    out.append(textCopy);
    out.append(wcsRightSquareSquare);
}

void XmlOrvaneWriter::outputDocTypeBegin(KelStringBase& out, const KelStringBase& name, bool escape) {
    if (iPaused) return;
    const KelStringBase nameCopy(name);
    out.append(wcsLeftAngleDoctype);
    appendMaybeEscaped(out, nameCopy, escape);
}

void XmlOrvaneWriter::outputDocTypeEnd(KelStringBase& out) {
    if (iPaused) return;
    out.append(wcsRightAngle);
}

void XmlOrvaneWriter::outputDocType(KelStringBase& out, const KelStringBase& name, const KelStringBase& publicId,
                                    const KelStringBase& systemId, bool escape) {
    if (iPaused) return;
    const KelStringBase nameCopy(name);
    const KelStringBase publicCopy(publicId);
    const KelStringBase systemCopy(systemId);
    out.append(wcsLeftAngleDoctype);
    appendMaybeEscaped(out, nameCopy, escape);
    if (!publicCopy.empty()) {
        out.append(wcsPublic);
        out.append(wcsDoubleQuote);
        appendMaybeEscaped(out, publicCopy, escape);
        out.append(wcsDoubleQuote);
    }
    if (!systemCopy.empty()) {
        if (publicCopy.empty()) {
            out.append(wcsSystem); // after a public id the system id stands alone
        }
        out.append(wcsSpaceDblQuote);
        appendMaybeEscaped(out, systemCopy, escape);
        out.append(wcsDoubleQuote);
    }
    out.append(wcsRightAngle);
}

void XmlOrvaneWriter::outputInternalSubsetBegin(KelStringBase& out) {
    if (iPaused) return;
    out.append(wcsSpaceLeftSquare);
}

void XmlOrvaneWriter::outputInternalSubsetEnd(KelStringBase& out) {
    if (iPaused) return;
    out.append(wcsRightSquare);
}

void XmlOrvaneWriter::outputElementDef(KelStringBase& out, const KelStringBase& name,
                                       const KelStringBase& contentModel, bool escape) {
    if (iPaused) return;
    const KelStringBase nameCopy(name);
    const KelStringBase modelCopy(contentModel);
    out.append(wcsLeftAngleElement);
    appendMaybeEscaped(out, nameCopy, escape);
    out.append(wcsSpace);
    appendMaybeEscaped(out, modelCopy, escape);
    out.append(wcsRightAngle);
}

void XmlOrvaneWriter::outputAttListBegin(KelStringBase& out, const KelStringBase& elementName, bool escape) {
    if (iPaused) return;
    const KelStringBase nameCopy(elementName);
    out.append(wcsLeftAngleAttlist);
    appendMaybeEscaped(out, nameCopy, escape);
}

void XmlOrvaneWriter::outputAttDef(KelStringBase& out, const KelStringBase& text, bool escape) {
    if (iPaused) return;
    const KelStringBase textCopy(text);
    out.append(wcsSpace);
    appendMaybeEscaped(out, textCopy, escape);
}

void XmlOrvaneWriter::outputAttListEnd(KelStringBase& out) {
    if (iPaused) return;
    out.append(wcsRightAngle);
}

void XmlOrvaneWriter::outputAttributeDefDefaultType(KelStringBase& out, const KelStringBase& defaultKind) {
    if (iPaused) return;
    const KelStringBase kindCopy(defaultKind);
    out.append(wcsSpaceHash);
    out.append(kindCopy);
}
