// XmlNodeText: decoding a message's stretches and building an element's markup for display.
#include "query/XmlNodeText.hpp"

#include "host/KelConverter.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelValue.hpp"
#include "common/XmlElementType.hpp"

namespace {

void escape(const std::string& in, std::string& out, bool attribute) {
    for (char c : in) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += attribute ? "&quot;" : "\""; break;
        default: out += c;
        }
    }
}

std::string valueOf(KelSyntaxElement* e) {
    const KelValue& v = e->value();
    return v.isNull() ? std::string() : v.valueAsCharacter().toUtf8();
}

} // namespace

void XmlNodeText::appendMarkup(KelSyntaxElement* element, std::string& out, bool emptyAsPair, const Copy& copy) {
    KelSyntaxElement* current = element;
    for (;;) {
        bool descended = false;
        if (current != element && copy && copy(current, out)) {
            // It stood for itself.
        } else {
            switch (current->typeCode()) {
            case XmlTypeElement: {
                const std::string name = current->name().toUtf8();
                out += '<';
                out += name;
                KelSyntaxElement* content = nullptr;
                for (KelSyntaxElement* c = current->firstChild(); c; c = c->nextSibling()) {
                    if (c->typeCode() != XmlTypeAttribute) {
                        content = c;
                        break;
                    }
                    out += ' ' + c->name().toUtf8() + "=\"";
                    escape(valueOf(c), out, true);
                    out += '"';
                }
                if (content) {
                    out += '>';
                    current = content;
                    descended = true;
                } else {
                    out += emptyAsPair ? "></" + name + ">" : std::string("/>");
                }
                break;
            }
            case XmlTypeContent:
            case XmlTypeWhiteSpace: escape(valueOf(current), out, false); break;
            case XmlTypeCData: out += "<![CDATA[" + valueOf(current) + "]]>"; break;
            case XmlTypeComment: out += "<!--" + valueOf(current) + "-->"; break;
            case XmlTypeProcessingInstruction: {
                const std::string v = valueOf(current);
                out += "<?" + current->name().toUtf8() + (v.empty() ? "" : " " + v) + "?>";
                break;
            }
            default: break;
            }
        }
        if (descended) continue;
        // Up to the next sibling, closing every element left behind.
        while (current != element && !current->nextSibling()) {
            current = current->parent();
            out += "</" + current->name().toUtf8() + '>';
        }
        if (current == element) return;
        current = current->nextSibling();
    }
}

std::string XmlNodeText::spanText(const unsigned char* message, long messageLength, const unsigned char* begin,
                                  const unsigned char* end, int ccsid, bool bigEndian) {
    const long length = static_cast<long>(end - begin);
    if (ccsid == 1208) {
        // Checked when it was read: its bytes are its text.
        std::string bytes(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(length));
        if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
        return bytes;
    }
    int byteOrder = 0;
    if (KelConverter::isUtf16Ccsid(ccsid)) {
        // The message's byte-order mark, when it has one, says how its text is laid out.
        if (messageLength >= 2 && message[0] == 0xFE && message[1] == 0xFF) bigEndian = true;
        else if (messageLength >= 2 && message[0] == 0xFF && message[1] == 0xFE) bigEndian = false;
        byteOrder = bigEndian ? 1 : -1;
    }
    // As the tree holds it: an EBCDIC page's NL is a line end, not the character U+0085.
    KelStringBase text = KelConverter::setCodepage(ccsid)->toUnicodeAsRead(begin, length, byteOrder);
    if (!text.empty() && text[0] == u'\xFEFF') text.erase(0, 1);
    return text.toUtf8();
}
