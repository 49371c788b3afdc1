// XmlTextEscaper: entity and character references for text written anew.
#include "writer/XmlTextEscaper.hpp"

#include "common/XmlReferenceRule.hpp"
#include "common/XmlUtils.hpp"
#include "writer/XmlPageCoverage.hpp"

namespace {

bool isHighSurrogate(char16_t u) noexcept { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(char16_t u) noexcept { return u >= 0xDC00 && u <= 0xDFFF; }

void appendAscii(KelStringBase& out, const char* text) {
    while (*text) out.append(static_cast<char16_t>(static_cast<unsigned char>(*text++)));
}

// The replacement of one code unit on its way into the given kind of text, or null to keep it.
// Content and attribute values use the five entity references; a carriage return would become a
// line feed when read back, and in attribute values tab and line feed would become spaces, so
// those are written as character references. An entity value is stored as its replacement text,
// where "&", "%" and the quotation mark have meaning of their own: character references keep
// them as they are.
const char* replacementFor(char16_t u, XmlTextEscaper::Mode mode) noexcept {
    if (mode == XmlTextEscaper::EntityValue) {
        switch (u) {
        case u'&': return "&#x26;";
        case u'%': return "&#x25;";
        case u'"': return "&#x22;";
        case u'\r': return "&#xD;";
        default: return nullptr;
        }
    }
    switch (u) {
    case u'<': return "&lt;";
    case u'>': return "&gt;";
    case u'&': return "&amp;";
    case u'\'': return "&apos;";
    case u'"': return "&quot;";
    case u'\r': return "&#xD;";
    case u'\t': return mode == XmlTextEscaper::Attribute ? "&#x9;" : nullptr;
    case u'\n': return mode == XmlTextEscaper::Attribute ? "&#xA;" : nullptr;
    default: return nullptr;
    }
}

bool isStandardEntityCharacter(char16_t u) noexcept {
    return u == u'<' || u == u'>' || u == u'&' || u == u'\'' || u == u'"';
}

} // namespace

XmlTextEscaper::Need XmlTextEscaper::examine(const KelStringBase& text, Mode mode, XmlPageCoverage& coverage) {
    const bool covers = coverage.coversUnicode();
    if (!covers) coverage.prepareAscii();
    bool replace = false;
    bool onlyStandard = mode != EntityValue;
    bool uncovered = false;
    bool controls = false;
    bool notXml = false;
    const char16_t* units = text.data();
    const std::size_t length = text.length();
    for (std::size_t i = 0; i < length; ++i) {
        const char16_t u = units[i];
        if (replacementFor(u, mode) != nullptr) {
            replace = true;
            if (!isStandardEntityCharacter(u)) onlyStandard = false;
        } else if (XmlReferenceRule::needsNumericReference(u)) {
            replace = true;
            onlyStandard = false;
            if (u == 0) notXml = true;
            else if (u < 0x20) controls = true;
        } else if (u >= 0xFFFE) {
            notXml = true;
        }
        if (!covers && !coverage.asciiCovered(u)) uncovered = true;
    }
    if (notXml) return NotXml;
    if (controls) return Controls;
    if (uncovered) uncovered = !coverage.canEncode(units, length);
    if (!replace && !uncovered) return AsItStands;
    if (!uncovered && onlyStandard) return EntitiesOnly;
    return uncovered ? ReferencesForPage : References;
}

void XmlTextEscaper::append(const KelStringBase& text, Mode mode, Need need, XmlPageCoverage& coverage,
                            KelStringBase& out) {
    switch (need) {
    case AsItStands: out.append(text); break;
    case EntitiesOnly: XmlUtils::ReplaceSpecialChars(text, out); break;
    case References: appendWithReferences(text, mode, false, coverage, out); break;
    case ReferencesForPage:
    case Controls: appendWithReferences(text, mode, true, coverage, out); break;
    case NotXml: break;   // refused by the writer before it gets here
    }
}

void XmlTextEscaper::appendWithReferences(const KelStringBase& text, Mode mode, bool checkCoverage,
                                          XmlPageCoverage& coverage, KelStringBase& out) {
    const char16_t* units = text.data();
    const std::size_t length = text.length();
    std::size_t plainFrom = 0;
    auto flushPlain = [&](std::size_t upTo) {
        if (upTo > plainFrom) out.append(units + plainFrom, upTo - plainFrom);
    };
    std::size_t i = 0;
    while (i < length) {
        const char16_t u = units[i];
        if (const char* replacement = replacementFor(u, mode)) {
            flushPlain(i);
            appendAscii(out, replacement);
            plainFrom = ++i;
            continue;
        }
        if (XmlReferenceRule::needsNumericReference(u)) {
            flushPlain(i);
            appendCharacterReference(u, out);
            plainFrom = ++i;
            continue;
        }
        if (!checkCoverage || coverage.asciiCovered(u)) {
            ++i;
            continue;
        }
        // One character: a surrogate pair or a single unit.
        const bool pair = isHighSurrogate(u) && i + 1 < length && isLowSurrogate(units[i + 1]);
        const std::size_t count = pair ? 2 : 1;
        const bool loneSurrogate = !pair && (isHighSurrogate(u) || isLowSurrogate(u));
        if (loneSurrogate || coverage.encodesAlone(units + i, count)) {
            // A lone surrogate has no character reference; the conversion reports it.
            i += count;
            continue;
        }
        flushPlain(i);
        const unsigned long codePoint =
            pair ? 0x10000ul + ((static_cast<unsigned long>(u) - 0xD800ul) << 10) + (units[i + 1] - 0xDC00ul) : u;
        appendCharacterReference(codePoint, out);
        i += count;
        plainFrom = i;
    }
    flushPlain(length);
}

void XmlTextEscaper::appendCharacterReference(unsigned long codePoint, KelStringBase& out) {
    static const char digits[] = "0123456789ABCDEF";
    char text[16];
    char* p = text + sizeof text;
    *--p = '\0';
    *--p = ';';
    do {
        *--p = digits[codePoint & 0xF];
        codePoint >>= 4;
    } while (codePoint != 0);
    *--p = 'x';
    *--p = '#';
    *--p = '&';
    appendAscii(out, p);
}
