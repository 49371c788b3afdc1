// WriterTestDocument: a parser over a bitstream for the writer tests, with a writer call and a
// canonical description of the tree (type, name, value and quote of every element, in document
// order) to compare trees before and after a round trip.
#pragma once

#include "host/KelBuffer.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"
#include "parser/XmlKelParser.hpp"
#include "parser/XmlKelSyntaxElement.hpp"
#include "writer/XmlBrokerOrvaneWriter.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

class WriterTestDocument {
public:
    explicit WriterTestDocument(const std::string& bytes, int ccsid = 1208, int encoding = 546,
                                bool spanReuse = true)
        : parser(&group, spanReuse) {
        parser.initialize();
        parser.refreshElementsFromBitStream(nullptr, KelBuffer::fromString(bytes), encoding, ccsid);
    }

    KelSyntaxElement* root() { return parser.rootElement(); }

    std::string write(long ccsid = 1208, long encoding = 546) {
        KelWriteBuffer buffer(static_cast<int>(ccsid));
        const int n = parser.treeWriter()->writeBuffer(&buffer, root(), ccsid, encoding);
        EXPECT_EQ(n, buffer.used());
        return buffer.toString();
    }

    // The index-th child of `parent` of type `type` (parsing on demand), or null.
    static KelSyntaxElement* child(KelSyntaxElement* parent, int type, int index = 0) {
        for (KelSyntaxElement* c = parent->firstChild(); c; c = c->nextSibling())
            if (c->type() == type && index-- == 0) return c;
        return nullptr;
    }

    // One line per element below the root. Character data that the scanner may deliver in one
    // or several pieces is compared as the run it forms.
    std::string describe() {
        std::string out;
        std::vector<std::pair<KelSyntaxElement*, int>> pending{{root(), 0}};
        while (!pending.empty()) {
            auto [e, depth] = pending.back();
            pending.pop_back();
            const char* typeName = xmlElementTypeName(e->type());
            out += std::string(static_cast<std::size_t>(depth), ' ') + (typeName ? typeName : "?") + " [" +
                   e->name().toUtf8() + "]=[" + e->actualValue().valueAsCharacter().toUtf8() + "]";
            if (e->type() == XmlTypeAttribute)
                out += static_cast<XmlKelSyntaxElement*>(e)->isDoubleQuotedAttribute() ? " dq" : " sq";
            out += "\n";
            std::vector<KelSyntaxElement*> kids;
            for (KelSyntaxElement* c = e->firstChild(); c; c = c->nextSibling()) kids.push_back(c);
            for (auto it = kids.rbegin(); it != kids.rend(); ++it) pending.emplace_back(*it, depth + 1);
        }
        return out;
    }

    KelMessageGroup group;
    XmlKelParser parser;
};
