// XmlMarkupRules: what a name or a text set by a user must be for the markup written from it to
// be well formed. Names, comments and processing instructions are written as they stand (they
// hold no references), so a value that breaks these rules is refused by the writer, never written.
// Ownership: none. Thread rules: none (static operations on their arguments).
#pragma once

#include "host/KelStringBase.hpp"

class XmlMarkupRules {
public:
    // An XML Name: a name start character, then name characters (surrogate pairs as one).
    static bool isName(const KelStringBase& name);
    // "xml" in any case: the declaration's, not a processing instruction's target.
    static bool isReservedTarget(const KelStringBase& target);
    // No "--" inside, and no "-" at the end, where it would make "--->".
    static bool isCommentText(const KelStringBase& text);
    // No "?>", which would end the instruction early.
    static bool isInstructionData(const KelStringBase& data);
    // What a quoted literal of the document type may hold: a system literal either quote, but
    // not both (it has no references); a public identifier letters, digits, white space but tab,
    // and -'()+,./:=?;!*#@$_%.
    static bool isSystemLiteral(const KelStringBase& text);
    static bool isPublicIdLiteral(const KelStringBase& text);
    // The declarations of the document type: a content model (EMPTY, ANY, mixed content or a
    // model of child elements, white space where XML allows it), an attribute's type (a type
    // keyword, NOTATION with the names of notations in parentheses, or an enumeration of name
    // tokens; `enumeration` is what stands after the keyword), and the keyword of its default.
    static bool isContentModel(const KelStringBase& model);
    static bool isAttributeType(const KelStringBase& keyword, const KelStringBase& enumeration);
    static bool isDefaultKeyword(const KelStringBase& keyword);
    // Only XML white space (space, tab, line feed, carriage return): all that may stand between
    // the items of the prolog, after the document element and between declarations.
    static bool isWhiteSpace(const KelStringBase& text);
    // The parts of an XML declaration: "1." and digits; "yes" or "no"; a letter, then letters,
    // digits, ".", "_" and "-".
    static bool isVersionNumber(const KelStringBase& version);
    static bool isStandaloneValue(const KelStringBase& standalone);
    static bool isEncodingName(const KelStringBase& encoding);
};
