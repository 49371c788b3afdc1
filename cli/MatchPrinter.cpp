#include "cli/MatchPrinter.hpp"

#include "host/KelBuffer.hpp"
#include "host/KelConverter.hpp"
#include "host/KelParserInspector.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "query/XmlNodeText.hpp"

#include <stdexcept>


bool MatchPrinter::print(const XmlPathQuery::Match& match) {
    std::string line = text(match);
    line += '\n';
    return std::fwrite(line.data(), 1, line.size(), iOut) == line.size();
}

std::string MatchPrinter::text(const XmlPathQuery::Match& match) {
    switch (match.kind) {
    case XmlPathQuery::Match::Document: {
        // The whole message is printed as the document only once it was read whole, as an
        // element is printed only once its end tag was.
        match.element->lastChild();
        std::string all = spanText(iInput.data(), iInput.data() + iInput.length(), iCcsid, false);
        while (!all.empty() && (all.back() == '\n' || all.back() == '\r')) all.pop_back();
        return all;
    }
    case XmlPathQuery::Match::Element: {
        // The element's end is known once all its children are: scan to its end tag first.
        match.element->lastChild();
        KelElementSpan span;
        if (iInspector.originalSpan(match.element, span) && span.begin && span.end >= span.begin)
            return spanText(span.begin, span.end, span.ccsid, span.bigEndian);
        std::string out;
        markup(match.element, out);
        return out;
    }
    default:
        return XmlPathQuery::stringValue(match).toUtf8();
    }
}

std::string MatchPrinter::spanText(const unsigned char* begin, const unsigned char* end, int ccsid,
                                   bool bigEndian) const {
    return XmlNodeText::spanText(iInput.data(), iInput.length(), begin, end, ccsid, bigEndian);
}

void MatchPrinter::markup(KelSyntaxElement* element, std::string& out) {
    // An element without original bytes (from an entity's replacement text): written as a write
    // of the message would write it there, in UTF-8.
    KelWriteBuffer written(1208);
    if (!iInspector.writeElement(element, written, 1208))
        throw std::runtime_error("the parser cannot write an element on its own");
    out.append(reinterpret_cast<const char*>(written.data()), static_cast<std::size_t>(written.used()));
}
