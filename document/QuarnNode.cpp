#include "document/QuarnNode.hpp"

#include "host/KelConverter.hpp"
#include "host/KelMappedFile.hpp"
#include "host/KelParser.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"
#include "parser/XmlKelSyntaxElement.hpp"
#include "query/XmlNodeText.hpp"
#include "query/XmlPathQuery.hpp"

#include <stdexcept>

namespace quarn {
namespace {
// A node does not know its file's name.
const std::string kFile = "the message's file";

XmlPathQuery::Match matchOf(KelSyntaxElement* element, Node::Kind kind) {
    XmlPathQuery::Match m;
    m.element = element;
    m.kind = static_cast<XmlPathQuery::Match::Kind>(kind);
    return m;
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

// Reads that may scan on go through whileKept, as the document's do: bytes a mapped file lost are
// the file's fault, not the message's.
std::string Node::value() const {
    return KelMappedFile::whileKept(iInput, kFile, [&] { return XmlPathQuery::stringValue(matchOf(iElement, iKind)).toUtf8(); });
}

std::string Node::spanText(const unsigned char* begin, const unsigned char* end, int ccsid, bool bigEndian) const {
    return XmlNodeText::spanText(iInput, iInputLength, begin, end, ccsid, bigEndian);
}

std::string Node::xml() const { return KelMappedFile::whileKept(iInput, kFile, [&] { return markup(); }); }

std::string Node::markup() const {
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
    auto* xml = dynamic_cast<XmlKelSyntaxElement*>(iElement);
    if (xml && xml->hasSpan())
        return spanText(xml->getBufferStart(), xml->getBufferEnd(), xml->getBufferCodepage(),
                        xml->getBufferBigEndian() != 0);
    // Changed: written as the write of the message writes it there, unchanged parts inside it
    // copied, and refused as that write refuses what no reader would take.
    auto* parser = dynamic_cast<XmlKelParser*>(iElement->parser());
    if (parser == nullptr) throw std::logic_error("the element belongs to no XML parser");
    KelWriteBuffer out(1208);
    parser->writeFragment(&out, iElement, 546, 1208);
    return std::string(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(out.used()));
}

std::optional<Node> Node::parent() const {
    if (iKind == Kind::Document) return std::nullopt;
    KelSyntaxElement* up = iElement->parent();
    if (up == nullptr) return std::nullopt;   // taken out of the document
    // The root element stands for the document node.
    return at(up, up->parent() == nullptr ? Kind::Document : Kind::Element);
}

KelSyntaxElement* Node::context() const {
    if (iKind != Kind::Element && iKind != Kind::Document)
        throw std::logic_error("a path starts from an element or the document, not from this node");
    return iElement;
}

std::vector<Node> Node::select(const std::string& path) const {
    return KelMappedFile::whileKept(iInput, kFile, [&] {
        std::vector<Node> nodes;
        XmlPathQuery(path).forEach(context(), [&](const XmlPathQuery::Match& m) {
            nodes.push_back(at(m.element, static_cast<Kind>(m.kind)));
            return true;
        });
        return nodes;
    });
}

std::optional<Node> Node::first(const std::string& path) const {
    return KelMappedFile::whileKept(iInput, kFile, [&]() -> std::optional<Node> {
        const XmlPathQuery::Match m = XmlPathQuery(path).first(context());
        if (!m) return std::nullopt;
        return at(m.element, static_cast<Kind>(m.kind));
    });
}

std::vector<Node> Node::children() const {
    if (iKind != Kind::Element && iKind != Kind::Document) return {};
    return select("node()");
}

void Node::setValue(const std::string& utf8) {
    if (iKind == Kind::Document) throw std::logic_error("the document itself has no value to set");
    // A value refused as no UTF-8 changes nothing, and the message is still handed back whole.
    const KelStringBase text = KelStringBase::fromValidUtf8(utf8);
    *iChanged = true;
    KelMappedFile::whileKept(iInput, kFile, [&] { XmlPathQuery::setValue(matchOf(iElement, iKind), text); });
}

void Node::remove() {
    if (iKind == Kind::Document) throw std::logic_error("the document itself cannot be deleted");
    *iChanged = true;
    KelMappedFile::whileKept(iInput, kFile, [&] {
        XmlPathQuery::remove({iElement, static_cast<XmlPathQuery::Match::Kind>(iKind)});
    });
}

} // namespace quarn
