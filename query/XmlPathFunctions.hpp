// XmlPathFunctions: the string and number rules of the expression language, apart from any
// tree: a string as a number and a number as a string, and the string functions that count
// characters (not UTF-16 units). Stateless.
#pragma once

#include "host/KelStringBase.hpp"

class XmlPathFunctions {
public:
    // NaN unless the text is (white space around) an optional '-', digits and at most one '.'.
    static double toNumber(const KelStringBase& text);
    // NaN, Infinity, -Infinity, integers without a fraction, others in as few digits as tell the
    // number apart, never with an exponent.
    static KelStringBase numberText(double value);
    // The characters from position `start` (1 for the first, rounded) on, `length` of them
    // (rounded; infinite when not given), as substring() counts them.
    static KelStringBase substring(const KelStringBase& text, double start, double length, bool hasLength);
    static double length(const KelStringBase& text);
    static KelStringBase normalizeSpace(const KelStringBase& text);
    static KelStringBase translate(const KelStringBase& text, const KelStringBase& from, const KelStringBase& to);
    static KelStringBase before(const KelStringBase& text, const KelStringBase& part);
    static KelStringBase after(const KelStringBase& text, const KelStringBase& part);
    // round(): the nearest integer, halves towards positive infinity.
    static double round(double value);
};
