// XmlReferenceRule: which characters a writer must give as numeric references for a reader to get
// them back. Header only, so that the quarn command, which does not link the parser, writes an
// XML 1.1 document's text by the same rule as the writer. No state; any thread.
#pragma once

class XmlReferenceRule {
public:
    // Control characters (which XML 1.1 accepts only as references, and XML 1.0 not at all) and the
    // line separators that XML 1.1 turns into line feeds.
    static constexpr bool needsNumericReference(char16_t u) noexcept {
        return (u < 0x20 && u != u'\t' && u != u'\n' && u != u'\r') || (u >= 0x7F && u <= 0x9F) || u == 0x2028;
    }
};
