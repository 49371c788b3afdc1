#include "tools/MatchPrinter.hpp"

#include "host/KelBuffer.hpp"
#include "host/KelConverter.hpp"
#include "host/KelParserInspector.hpp"
#include "host/KelSyntaxElement.hpp"
#include "parser/XmlElementType.hpp"

namespace {
void escape(const std::string& in, std::string& out, bool attribute) {
    for (char c : in) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"':
            if (attribute) {
                out += "&quot;";
                break;
            }
            out += c;
            break;
        default: out += c;
        }
    }
}

std::string valueOf(KelSyntaxElement* e) {
    const KelValue& v = e->value();
    return v.isNull() ? std::string() : v.valueAsCharacter().toUtf8();
}
} // namespace

bool MatchPrinter::print(const XmlPathQuery::Match& match) {
    std::string line = text(match);
    line += '\n';
    return std::fwrite(line.data(), 1, line.size(), iOut) == line.size();
}

std::string MatchPrinter::text(const XmlPathQuery::Match& match) {
    switch (match.kind) {
    case XmlPathQuery::Match::Document: {
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
    const long length = static_cast<long>(end - begin);
    if (ccsid == 1208) {
        std::string bytes(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(length));
        if (begin == iInput.data() && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
        return bytes;
    }
    int byteOrder = 0;
    if (KelConverter::isUtf16Ccsid(ccsid)) {
        // The message's byte-order mark, when it has one, says how its text is laid out.
        const unsigned char* d = iInput.data();
        if (iInput.length() >= 2 && d[0] == 0xFE && d[1] == 0xFF) bigEndian = true;
        else if (iInput.length() >= 2 && d[0] == 0xFF && d[1] == 0xFE) bigEndian = false;
        byteOrder = bigEndian ? 1 : -1;
    }
    KelStringBase text = KelConverter::setCodepage(ccsid)->toUnicode(begin, length, false, byteOrder);
    if (!text.empty() && text[0] == u'\xFEFF') text.erase(0, 1);
    return text.toUtf8();
}

void MatchPrinter::markup(KelSyntaxElement* element, std::string& out) {
    // An element without original bytes (from an entity's replacement text): written as markup,
    // iteratively so that any depth prints.
    KelSyntaxElement* current = element;
    for (;;) {
        bool descended = false;
        switch (current->typeCode()) {
        case XmlTypeElement: {
            const std::string name = current->name().toUtf8();
            out += '<';
            out += name;
            KelSyntaxElement* child = current->firstChild();
            KelSyntaxElement* firstContent = nullptr;
            for (; child; child = child->nextSibling()) {
                if (child->typeCode() != XmlTypeAttribute) {
                    firstContent = child;
                    break;
                }
                out += ' ';
                out += child->name().toUtf8();
                out += "=\"";
                escape(valueOf(child), out, true);
                out += '"';
            }
            out += '>';
            if (firstContent) {
                current = firstContent;
                descended = true;
            } else {
                out += "</" + name + ">";
            }
            break;
        }
        case XmlTypeContent:
        case XmlTypeWhiteSpace:
            escape(valueOf(current), out, false);
            break;
        case XmlTypeCData:
            out += "<![CDATA[" + valueOf(current) + "]]>";
            break;
        case XmlTypeComment:
            out += "<!--" + valueOf(current) + "-->";
            break;
        case XmlTypeProcessingInstruction: {
            std::string v = valueOf(current);
            out += "<?" + current->name().toUtf8() + (v.empty() ? "" : " " + v) + "?>";
            break;
        }
        default:
            break;
        }
        if (descended) continue;
        // Up to the next sibling, closing every element left behind.
        while (current != element && !current->nextSibling()) {
            current = current->parent();
            out += "</" + current->name().toUtf8() + ">";
        }
        if (current == element) return;
        current = current->nextSibling();
    }
}
