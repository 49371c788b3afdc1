#include "document/QuarnNode.hpp"

#include "host/KelConverter.hpp"
#include "host/KelParser.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "parser/XmlElementType.hpp"
#include "parser/XmlKelSyntaxElement.hpp"
#include "query/XmlPathQuery.hpp"

#include <stdexcept>

namespace quarn {
namespace {
XmlPathQuery::Match matchOf(KelSyntaxElement* element, Node::Kind kind) {
    XmlPathQuery::Match m;
    m.element = element;
    m.kind = static_cast<XmlPathQuery::Match::Kind>(kind);
    return m;
}

std::string valueOf(KelSyntaxElement* e) {
    const KelValue& v = e->value();
    return v.isNull() ? std::string() : v.valueAsCharacter().toUtf8();
}

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

// An element that lost its bytes (changed, or built by hand): its markup, walked by links so that
// any depth writes. Unchanged elements inside it are copied through `copy`.
template <class Copy> void markup(KelSyntaxElement* top, std::string& out, Copy copy) {
    KelSyntaxElement* current = top;
    for (;;) {
        bool descended = false;
        auto* xml = dynamic_cast<XmlKelSyntaxElement*>(current);
        if (current != top && xml && xml->hasSpan() && current->typeCode() == XmlTypeElement) {
            out += copy(xml);
        } else {
            switch (current->typeCode()) {
            case XmlTypeElement: {
                out += '<' + current->name().toUtf8();
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
                    out += "/>";
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
        while (current != top && !current->nextSibling()) {
            current = current->parent();
            out += "</" + current->name().toUtf8() + '>';
        }
        if (current == top) return;
        current = current->nextSibling();
    }
}
} // namespace

std::string Node::name() const {
    switch (iKind) {
    case Kind::Element:
    case Kind::Attribute:
    case Kind::ProcessingInstruction: return iElement->name().toUtf8();
    default: return std::string();
    }
}

std::string Node::value() const { return XmlPathQuery::stringValue(matchOf(iElement, iKind)).toUtf8(); }

std::string Node::spanText(const unsigned char* begin, const unsigned char* end, int ccsid, bool bigEndian) const {
    const long length = static_cast<long>(end - begin);
    int byteOrder = 0;
    if (KelConverter::isUtf16Ccsid(ccsid)) {
        // The message's byte-order mark, when it has one, says how its text is laid out.
        if (iInputLength >= 2 && iInput[0] == 0xFE && iInput[1] == 0xFF) bigEndian = true;
        else if (iInputLength >= 2 && iInput[0] == 0xFF && iInput[1] == 0xFE) bigEndian = false;
        byteOrder = bigEndian ? 1 : -1;
    }
    KelStringBase text = KelConverter::setCodepage(ccsid)->toUnicode(begin, length, false, byteOrder);
    if (!text.empty() && text[0] == u'\xFEFF') text.erase(0, 1);
    return text.toUtf8();
}

std::string Node::xml() const {
    if (iKind == Kind::Document) {
        // The whole message, through the writer: copied where unchanged, in UTF-8.
        KelParser* parser = iElement->parser();
        KelWriteBuffer out(1208);
        parser->setReuseBitStream(false);
        parser->refreshBitStreamFromElements(nullptr, &out, iElement, 546, 1208);
        std::string text(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(out.used()));
        if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
        return text;
    }
    if (iKind != Kind::Element) return value();
    // An element's end is known once all its children are: scan to its end tag first.
    iElement->lastChild();
    auto copy = [this](XmlKelSyntaxElement* e) {
        return spanText(e->getBufferStart(), e->getBufferEnd(), e->getBufferCodepage(), e->getBufferBigEndian() != 0);
    };
    auto* xml = dynamic_cast<XmlKelSyntaxElement*>(iElement);
    if (xml && xml->hasSpan()) return copy(xml);
    std::string out;
    markup(iElement, out, copy);
    return out;
}

void Node::setValue(const std::string& utf8) {
    if (iKind == Kind::Document) throw std::logic_error("the document itself has no value to set");
    *iChanged = true;
    iElement->setValue(KelStringBase::fromUtf8(utf8));
}

void Node::remove() {
    if (iKind == Kind::Document) throw std::logic_error("the document itself cannot be deleted");
    *iChanged = true;
    iElement->detach();
}

} // namespace quarn
