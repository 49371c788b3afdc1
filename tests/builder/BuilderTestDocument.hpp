// BuilderTestDocument: one XML-domain parser over a bitstream, for the tree builder's tests, with
// helpers to walk the tree the way the host does (navigation drives the scan) and to read back
// what an element's original span covers.
#pragma once

#include "builder/XmlBrokerOrvaneParser.hpp"
#include "host/KelBuffer.hpp"
#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"
#include "parser/XmlKelSyntaxElement.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

inline KelStringBase ks(const std::string& utf8) { return KelStringBase::fromUtf8(utf8); }
inline XmlKelSyntaxElement* xml(KelSyntaxElement* e) { return static_cast<XmlKelSyntaxElement*>(e); }

// `utf8` in `ccsid`; for UTF-16 pages byteOrder 1 is big-endian, -1 little-endian.
inline std::string encodeAs(const std::string& utf8, int ccsid, int byteOrder = 1) {
    KelWriteBuffer buffer(ccsid);
    buffer.appendMbs(ks(utf8), ccsid, byteOrder);
    return buffer.toString();
}

class BuilderTestDocument {
public:
    explicit BuilderTestDocument(const std::string& bytes, int ccsid = 1208, int encoding = 546, bool spanReuse = true)
        : parser(&group, spanReuse) {
        parser.initialize();
        load(bytes, ccsid, encoding);
    }

    void load(const std::string& bytes, int ccsid = 1208, int encoding = 546) {
        iCcsid = ccsid;
        iEncoding = encoding;
        parser.refreshElementsFromBitStream(nullptr, KelBuffer::fromString(bytes), encoding, ccsid);
    }

    KelSyntaxElement* root() { return parser.rootElement(); }
    XmlBrokerOrvaneParser* builder() { return parser.treeBuilder(); }
    const unsigned char* base() { return parser.storedBitStream().data(); }

    // Children as the host sees them (parsing on demand).
    static std::vector<KelSyntaxElement*> children(KelSyntaxElement* parent) {
        std::vector<KelSyntaxElement*> out;
        for (KelSyntaxElement* c = parent->firstChild(); c; c = c->nextSibling()) out.push_back(c);
        return out;
    }
    // The index-th child of `parent` whose type is `type`, or null.
    static KelSyntaxElement* child(KelSyntaxElement* parent, int type, size_t index = 0) {
        for (KelSyntaxElement* c : children(parent))
            if (c->type() == type && index-- == 0) return c;
        return nullptr;
    }
    KelSyntaxElement* documentElement() { return child(root(), XmlTypeElement); }

    // The span's bytes as UTF-8 text, "<none>" without a span, "<half>" with one end only.
    std::string span(KelSyntaxElement* e) {
        const XmlKelSyntaxElement* x = xml(e);
        if (!x->getBufferStart() && !x->getBufferEnd()) return "<none>";
        if (!x->getBufferStart() || !x->getBufferEnd()) return "<half>";
        EXPECT_LE(x->getBufferStart(), x->getBufferEnd());
        return text(x->getBufferStart() - base(), x->getBufferEnd() - base());
    }
    // Bytes [from, to) of the bitstream as UTF-8 text.
    std::string text(long from, long to) {
        if (to <= from) return std::string();
        const int byteOrder = (iEncoding & 0x0F) == 2 || iEncoding < 0 ? -1 : 1;
        const int order = KelConverter::isUtf16Ccsid(iCcsid) ? bomOrder(byteOrder) : 0;
        return KelConverter::setCodepage(iCcsid)->toUnicode(base() + from, to - from, false, order).toUtf8();
    }
    // Offset of the span's start in the bitstream (-1 without one).
    long spanStart(KelSyntaxElement* e) {
        return xml(e)->getBufferStart() ? static_cast<long>(xml(e)->getBufferStart() - base()) : -1;
    }

    // Walks the whole tree; one line per element: type, name, value, quote flag, completion flags.
    std::string describe() { return describe(root(), 0); }
    std::string describe(KelSyntaxElement* e, int depth) {
        const char* typeName = xmlElementTypeName(e->type());
        std::string line(static_cast<size_t>(depth) * 2, ' ');
        line += typeName ? typeName : "?";
        line += " '" + e->name().toUtf8() + "'='" + e->actualValue().valueAsCharacter().toUtf8() + "'";
        if (e->type() == XmlTypeAttribute) line += xml(e)->isDoubleQuotedAttribute() ? " \"" : " '";
        std::string below;
        for (KelSyntaxElement* c : children(e)) below += describe(c, depth + 1);
        line += (e->isCompleteLeft() ? " L" : " -");
        line += (e->isCompleteRight() ? "R\n" : "-\n");
        return line + below;
    }

    KelMessageGroup group;
    XmlKelParser parser;

private:
    // A UTF-16 bitstream with a byte-order mark is read in the mark's order.
    int bomOrder(int byteOrder) {
        const KelBuffer& stored = parser.storedBitStream();
        if (stored.length() >= 2 && stored.data()[0] == 0xFF && stored.data()[1] == 0xFE) return -1;
        if (stored.length() >= 2 && stored.data()[0] == 0xFE && stored.data()[1] == 0xFF) return 1;
        return byteOrder;
    }

    int iCcsid = 1208;
    int iEncoding = 546;
};

// The scanner's own exception nested in a parse error (5009), after checking the wrapping.
inline const KelException& scannerError(const KelException& parseError) {
    EXPECT_EQ(parseError.catalogueNumber(), 5009u);
    EXPECT_EQ(parseError.text(), "XML Parsing Errors have occurred");
    EXPECT_EQ(parseError.nested().size(), 1u);
    return parseError.nested().empty() ? parseError : *parseError.nested().front();
}
