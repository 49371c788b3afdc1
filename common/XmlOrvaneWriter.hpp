// XmlOrvaneWriter: the markup primitives. Each output* operation appends the text of one markup
// construct (built from the XmlConstants pieces and the caller's names and values) to a UTF-16
// string the caller owns; nothing in `out` is changed or removed, and while the writer is paused
// nothing is appended at all. Arguments marked "escaped" go through XmlUtils::ReplaceSpecialChars
// when `escape` is true. The writer also records an endian value for its owner (1 big-endian,
// -1 little-endian) that no primitive reads. Owns its utilities object only.
// Thread rules: a writer and the strings it appends to belong to one thread at a time.
#pragma once

#include "common/XmlConstants.hpp"
#include "common/XmlUtils.hpp"
#include "host/KelStringBase.hpp"

class XmlOrvaneWriter : public XmlConstants {
public:
    XmlOrvaneWriter() noexcept;
    XmlOrvaneWriter(const XmlOrvaneWriter& other) noexcept;
    XmlOrvaneWriter& operator=(const XmlOrvaneWriter& other) noexcept;
    virtual ~XmlOrvaneWriter();

    // Pausing does not nest: one resume() ends any number of pause() calls.
    void pause() noexcept { iPaused = true; }
    void resume() noexcept { iPaused = false; }
    bool isPaused() const noexcept { return iPaused; }
    int getEndian() const noexcept { return iEndian; }
    void setEndian(int endian) noexcept { iEndian = endian; }

    // Tags. The names are never escaped; a name an operation does not use is ignored.
    void outputStartElementBegin(KelStringBase& out, const KelStringBase& name);        // <name
    void outputStartElementEnd(KelStringBase& out, const KelStringBase& name);          // >
    void outputEndEmptyElement(KelStringBase& out, const KelStringBase& name);          // />
    void outputEndElement(KelStringBase& out, const KelStringBase& name);               // </name>
    void outputEndElement(KelStringBase& out, const KelStringBase& name, bool empty);   // /> or </name>
    void outputAttribute(KelStringBase& out, const KelStringBase& name, const KelStringBase& value,
                         const KelStringBase& quote, bool escape);                      //  name=qvalueq

    // Content.
    void outputCharacters(KelStringBase& out, const KelStringBase& text, bool escape);
    void outputIgnorableWhiteSpace(KelStringBase& out, const KelStringBase& text);
    void outputProcessingInstruction(KelStringBase& out, const KelStringBase& target, const KelStringBase& data,
                                     bool escape);                                      // <?target data?>
    void outputXmlComment(KelStringBase& out, const KelStringBase& text, bool escape);  // <!--text-->
    void outputEntityReference(KelStringBase& out, const KelStringBase& name, bool escape); // &name;
    void outputParameterEntityReference(KelStringBase& out, const KelStringBase& name, bool escape); // %name;
    void outputCDataSection(KelStringBase& out, const KelStringBase& text);             // <![CDATA[text]]>

    // XML declaration: <?xml version="v" encoding="e" standalone="s"?>
    void outputXmlDeclBegin(KelStringBase& out);
    void outputXmlVersion(KelStringBase& out, const KelStringBase& version, bool escape);
    void outputXmlEncoding(KelStringBase& out, const KelStringBase& encoding, bool escape);
    void outputXmlStandAlone(KelStringBase& out, const KelStringBase& standalone, bool escape);
    void outputXmlDeclEnd(KelStringBase& out);

    // Document type declaration and its internal subset.
    void outputDocTypeBegin(KelStringBase& out, const KelStringBase& name, bool escape); // <!DOCTYPE name
    void outputDocTypeEnd(KelStringBase& out);                                           // >
    void outputDocType(KelStringBase& out, const KelStringBase& name, const KelStringBase& publicId,
                       const KelStringBase& systemId, bool escape);
    void outputInternalSubsetBegin(KelStringBase& out);                                  //  [
    void outputInternalSubsetEnd(KelStringBase& out);                                    // ]
    void outputEntityDeclarationBegin(KelStringBase& out, const KelStringBase& name, bool escape);
    void outputParameterEntityDeclarationBegin(KelStringBase& out, const KelStringBase& name, bool escape);
    void outputEntityDeclarationEnd(KelStringBase& out, const KelStringBase& name);     // >
    void outputNotationReference(KelStringBase& out, const KelStringBase& notationName, bool escape);
    void outputSystemId(KelStringBase& out, const KelStringBase& id, bool escape);      //  SYSTEM "id"
    void outputPublicId(KelStringBase& out, const KelStringBase& id, bool escape);      //  PUBLIC "id"
    void outputNotationDeclarationBegin(KelStringBase& out, const KelStringBase& name, bool escape);
    void outputNotationDeclarationEnd(KelStringBase& out, const KelStringBase& name);   // >
    void outputElementDef(KelStringBase& out, const KelStringBase& name, const KelStringBase& contentModel,
                          bool escape);                                                 // <!ELEMENT name model>
    void outputAttListBegin(KelStringBase& out, const KelStringBase& elementName, bool escape);
    void outputAttDef(KelStringBase& out, const KelStringBase& text, bool escape);      //  text
    void outputAttListEnd(KelStringBase& out);                                           // >
    void outputAttributeDefDefaultType(KelStringBase& out, const KelStringBase& defaultKind); //  #kind

protected:
    XmlUtils& utilities() noexcept { return iUtils; }
    const XmlUtils& utilities() const noexcept { return iUtils; }

private:
    int iEndian;
    bool iPaused;
    XmlUtils iUtils;
};
