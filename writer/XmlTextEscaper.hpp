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
    // or character references too (for what the output page lacks as well).
    enum Need { AsItStands, EntitiesOnly, References, ReferencesForPage };

    static Need examine(const KelStringBase& text, Mode mode, XmlPageCoverage& coverage);
    // Appends `text`, escaped as `need` says, to `out`.
    static void append(const KelStringBase& text, Mode mode, Need need, XmlPageCoverage& coverage, KelStringBase& out);

private:
    static void appendWithReferences(const KelStringBase& text, Mode mode, bool checkCoverage,
                                     XmlPageCoverage& coverage, KelStringBase& out);
    static void appendCharacterReference(unsigned long codePoint, KelStringBase& out);
};
