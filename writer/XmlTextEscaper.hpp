// XmlTextEscaper: how text written anew is escaped so that a reader gets it back as it was:
// the five entity references, character references for what a reader would change (carriage
// returns, control characters, tabs and line feeds in attribute values) and for characters the
// output page cannot hold.
// Ownership: no state of its own; the coverage it is handed is the output's.
// Thread rules: none of its own (static operations).
#pragma once

#include "host/KelStringBase.hpp"

class XmlPageCoverage;

class XmlTextEscaper {
public:
    // The kind of text: an entity value is stored as its replacement text, where "&", "%" and
    // the quotation mark have meaning of their own.
    enum Mode { Content, Attribute, EntityValue };
    // What `text` needs: nothing (it goes out as it stands), the five entity references only,
    // or character references too (for what the output page lacks as well). Or it holds what
    // XML 1.0 cannot carry at all: control characters, which XML 1.1 carries as references only
    // (`Controls`: references, for the page too, in a 1.1 document, else none can be written);
    // NUL, U+FFFE or U+FFFF (`NotXml`: no version has them).
    enum Need { AsItStands, EntitiesOnly, References, ReferencesForPage, Controls, NotXml };

    static Need examine(const KelStringBase& text, Mode mode, XmlPageCoverage& coverage);
    // Appends `text`, escaped as `need` says, to `out`.
    static void append(const KelStringBase& text, Mode mode, Need need, XmlPageCoverage& coverage, KelStringBase& out);

private:
    static void appendWithReferences(const KelStringBase& text, Mode mode, bool checkCoverage,
                                     XmlPageCoverage& coverage, KelStringBase& out);
    static void appendCharacterReference(unsigned long codePoint, KelStringBase& out);
};
