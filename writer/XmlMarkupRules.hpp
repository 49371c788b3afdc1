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
};
