// StandaloneRecord: makes a record that `quarn split` cut out of a message a document of its own
// that says what it said in place. The namespace declarations in scope at the record (declared on
// its ancestors) are declared on its root, and so are the xml:lang and xml:space in force there; references to internal entities are expanded (the
// reference markers go, the replacement text stays as the record's own content); elements that
// carry attributes the document type defaults, attributes whose values it normalises (any type
// but CDATA: spaces dropped at the ends and run together, which a reader without the document
// type would not do), or attribute values that may hold references, are rewritten with every
// attribute spelled out from its value. A reference to an entity the document does not
// declare where quarn reads it (an unread external subset) cannot be carried and is refused.
// Built once per message from its document type; the scope is taken once per parent of records.
// Owns nothing in the tree. One object per run, on the thread that walks the tree.
#pragma once

#include "host/KelStringBase.hpp"

#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

class KelParserInspector;
class KelSyntaxElement;

class StandaloneRecord {
public:
    // A record that cannot be written to stand alone; the message names the record.
    class Refused : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // Reads the document type among the children of the parser's root (the prolog only);
    // `inspector` tells which attributes kept their source text (a value with a reference to an
    // entity the scanner did not know).
    StandaloneRecord(KelSyntaxElement* root, const KelParserInspector& inspector);

    // The namespace declarations, xml:lang and xml:space in scope at the children of `parent`
    // (nearest first wins).
    void enterParent(KelSyntaxElement* parent);

    // Changes the detached `record` (its own tree) as the class comment says; `label` names it
    // in a refusal ("record 3 (line-000003.xml)").
    void prepare(KelSyntaxElement* record, const std::string& label);

    // Whether the document declares general entities (so records may have been expanded).
    bool declaresEntities() const { return !iEntities.empty(); }

private:
    void markChanged(KelSyntaxElement* element);
    // Whether `element` carries an attribute that the internal subset declares of a type other
    // than CDATA.
    bool hasNormalisedAttribute(KelSyntaxElement* element) const;
    // Raises Refused when an attribute of `element` refers to an entity the scanner did not know.
    void refuseUnknownReferenceInAttributes(KelSyntaxElement* element, const std::string& label) const;

    const KelParserInspector& iInspector;
    std::set<std::u16string> iEntities;            // general entities the internal subset declares
    std::set<std::u16string> iDefaultedElements;   // elements an attribute-list default applies to
    std::set<std::pair<std::u16string, std::u16string>> iNormalised;   // element, attribute not CDATA
    std::vector<std::pair<KelStringBase, KelStringBase>> iScope;   // xmlns[:p], xml:lang, xml:space; value
};
