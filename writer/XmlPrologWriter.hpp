// XmlPrologWriter: writes what stands before the document element (the XML declaration, the
// document type declaration and its internal subset with every declaration in it) for the
// writer, copying each item whose original bytes may be reused and writing the rest as markup
// through the writer's output wrappers. It keeps the declaration naming the page written.
// Ownership: a member of its XmlBrokerOrvaneWriter, told that writer on each call (so a copied
// writer's copy serves the copy); owns the nesting depth and the declaration-name memory.
// Thread rules: those of its writer: one write at a time.
#pragma once

#include "host/KelStringBase.hpp"
#include "writer/XmlDeclarationEncoding.hpp"

class KelSyntaxElement;
class XmlBrokerOrvaneWriter;

class XmlPrologWriter {
public:
    // A write starts: no declaration is open.
    void reset() noexcept { iDepth = 0; }
    // One item of the prolog or of the document type definition, with all it holds.
    void write(XmlBrokerOrvaneWriter* writer, KelSyntaxElement* element);

private:
    void writeItem(KelSyntaxElement* element, int type);
    // encodingName, when given, is written in place of the declaration's own encoding.
    void writeXmlDeclaration(KelSyntaxElement* element, const KelStringBase* encodingName = nullptr);
    // The name the declaration must give instead of its own (or in addition, when it names
    // none), because it does not name the output page; empty when it stays as it is.
    KelStringBase declarationRename(KelSyntaxElement* element);
    // Copies the declaration's own text with `name` as its encoding; false when it has no
    // reusable text.
    bool copyDeclarationRenamed(KelSyntaxElement* element, const KelStringBase& name);
    void writeEntityDeclChildren(KelSyntaxElement* declaration);
    // A reference mark of the internal subset: a parameter-entity reference, written as "%name;"
    // with the items its expansion built passed over up to its end mark.
    void writeParameterReference(KelSyntaxElement* mark, int type);
    void writeAttributeDefChildren(KelSyntaxElement* attDef);

    XmlBrokerOrvaneWriter* iWriter = nullptr;
    int iDepth = 0;                               // declarations open (writeProlog nesting)
    XmlDeclarationEncoding iDeclarationEncoding;
};
