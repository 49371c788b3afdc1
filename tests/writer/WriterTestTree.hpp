// WriterTestTree: a parser with a tree built by hand for the writer tests, plus helpers to give
// elements original spans over bytes the tree keeps alive, and to write the tree.
#pragma once

#include "host/KelMessageGroup.hpp"
#include "host/KelStringBase.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelSyntaxElementAccess.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"
#include "parser/XmlKelSyntaxElement.hpp"
#include "writer/XmlBrokerOrvaneWriter.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <string>

inline KelStringBase ks(const std::string& utf8) { return KelStringBase::fromUtf8(utf8); }

// `utf8` in `ccsid`; for UTF-16 pages byteOrder 1 is big-endian, -1 little-endian.
inline std::string encodeAs(const std::string& utf8, int ccsid, int byteOrder = 1) {
    KelWriteBuffer buffer(ccsid);
    buffer.appendMbs(ks(utf8), ccsid, byteOrder);
    return buffer.toString();
}

inline std::string repeat(const std::string& text, std::size_t count) {
    std::string out;
    out.reserve(text.size() * count);
    for (std::size_t i = 0; i < count; ++i) out += text;
    return out;
}

class WriterTestTree {
public:
    explicit WriterTestTree(bool spanReuse = true) : parser(&group, spanReuse) {
        parser.initialize();
        root = parser.rootElement();
    }

    // A new element of this parser attached as last child of `parent`, without change marking.
    KelSyntaxElement* add(KelSyntaxElement* parent, int type, const std::string& name = std::string()) {
        KelSyntaxElement* e = parser.elementPool().createElement();
        KelSyntaxElementAccess::parserSetType(e, type);
        if (!name.empty()) KelSyntaxElementAccess::parserSetName(e, ks(name));
        KelSyntaxElementAccess::parserAttachAsLastChild(parent, e);
        return e;
    }
    KelSyntaxElement* addValue(KelSyntaxElement* parent, int type, const std::string& value,
                               const std::string& name = std::string()) {
        KelSyntaxElement* e = add(parent, type, name);
        KelSyntaxElementAccess::parserSetActualValue(e, ks(value));
        return e;
    }
    KelSyntaxElement* attribute(KelSyntaxElement* parent, const std::string& name, const std::string& value,
                                bool doubleQuoted) {
        KelSyntaxElement* e = addValue(parent, XmlTypeAttribute, value, name);
        xml(e)->setDoubleQuotedAttribute(doubleQuoted);
        return e;
    }

    static XmlKelSyntaxElement* xml(KelSyntaxElement* e) { return static_cast<XmlKelSyntaxElement*>(e); }

    // Gives `e` an original span over a copy of `bytes` that lives as long as the tree.
    void span(KelSyntaxElement* e, const std::string& bytes, int ccsid, bool bigEndian = true) {
        kept.push_back(bytes);
        const auto* data = reinterpret_cast<const unsigned char*>(kept.back().data());
        XmlKelSyntaxElement* x = xml(e);
        x->setBufferStart(data);
        x->setBufferEnd(data + kept.back().size());
        x->setBufferCodepage(ccsid);
        x->setBufferBigEndian(bigEndian);
    }

    XmlBrokerOrvaneWriter& writer() { return *parser.treeWriter(); }

    // Writes the tree into a new buffer; checks that the result is the buffer's length.
    std::string write(long ccsid = 1208, long encoding = 546) {
        KelWriteBuffer buffer(static_cast<int>(ccsid));
        const int n = writer().writeBuffer(&buffer, root, ccsid, encoding);
        EXPECT_EQ(n, buffer.used());
        return buffer.toString();
    }

    KelMessageGroup group;
    XmlKelParser parser;
    KelSyntaxElement* root;
    std::deque<std::string> kept;
};
