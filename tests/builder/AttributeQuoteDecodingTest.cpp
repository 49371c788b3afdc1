// Attribute quotes of start tags in documents that are not UTF-8, where the tag's bytes are
// decoded to find them: short tags, and tags far longer than one decoding step.
#include "BuilderTestDocument.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(AttributeQuoteDecoding, EveryQuoteIsFoundInShortAndLongTagsOfOtherPages) {
    const std::string longValue(6000, 'v');
    const std::string doc = "<r a='1' b=\"2\" c='" + longValue + "' d='4' e=\"\xC3\xA9\"><s f='x'/></r>";
    const std::vector<std::pair<int, int>> pages = {{1200, 546}, {1200, 273}, {37, 785}, {819, 546}};
    for (const auto& [ccsid, encoding] : pages) {
        SCOPED_TRACE(ccsid);
        BuilderTestDocument d(encodeAs(doc, ccsid, encoding == 546 ? -1 : 1), ccsid, encoding);
        KelSyntaxElement* r = BuilderTestDocument::child(d.root(), XmlTypeElement);
        ASSERT_NE(r, nullptr);
        std::string quotes;
        for (KelSyntaxElement* c = r->firstChild(); c && c->type() == XmlTypeAttribute; c = c->nextSibling())
            quotes += c->name().toUtf8() + (xml(c)->isDoubleQuotedAttribute() ? "\" " : "' ");
        EXPECT_EQ(quotes, "a' b\" c' d' e\" ");
        KelSyntaxElement* s = BuilderTestDocument::child(r, XmlTypeElement);
        ASSERT_NE(s, nullptr);
        EXPECT_FALSE(xml(s->firstChild())->isDoubleQuotedAttribute());
        EXPECT_EQ(r->firstChild()->nextSibling()->nextSibling()->value().characterValue().length(), longValue.size());
    }
}

TEST(AttributeQuoteDecoding, Utf16UnitsWhoseBytesLookLikeMarkupAreNotMarkup) {
    // U+2722 has the bytes of both quotes, U+1F622 ends in the byte of '"', U+3C00 and U+3E3C hold
    // the bytes of '<' and '>': read unit by unit, none of them is taken for markup, in either byte
    // order, with or without a byte-order mark; text before a tag still lets it keep its span.
    const std::string doc = "<r>\xE3\xB0\x80\xE3\xB8\xBC<p a=\"\xE2\x9C\xA2'\" b='\xF0\x9F\x98\xA2\"\xE2\x9C\xA2' "
                            "c=\"\xE3\xB8\xBC\"/>\xE2\x9C\xA2<q d='\xE3\xB0\x80'/></r>";
    for (int byteOrder : {-1, 1}) {
        for (bool mark : {false, true}) {
            SCOPED_TRACE(std::to_string(byteOrder) + (mark ? " with mark" : ""));
            std::string bytes = encodeAs(doc, 1200, byteOrder);
            if (mark) bytes = (byteOrder < 0 ? std::string("\xFF\xFE") : std::string("\xFE\xFF")) + bytes;
            BuilderTestDocument d(bytes, 1200, byteOrder < 0 ? 546 : 273);
            KelSyntaxElement* r = BuilderTestDocument::child(d.root(), XmlTypeElement);
            ASSERT_NE(r, nullptr);
            std::string quotes;
            std::vector<std::string> spans;
            for (KelSyntaxElement* e = r->firstChild(); e; e = e->nextSibling()) {
                if (e->type() != XmlTypeElement) continue;
                spans.push_back(d.span(e));
                for (KelSyntaxElement* a = e->firstChild(); a && a->type() == XmlTypeAttribute; a = a->nextSibling())
                    quotes += a->name().toUtf8() + (xml(a)->isDoubleQuotedAttribute() ? "\" " : "' ");
            }
            EXPECT_EQ(quotes, "a\" b' c\" d' ");
            ASSERT_EQ(spans.size(), 2u);
            EXPECT_EQ(spans[1], "<q d='\xE3\xB0\x80'/>");
        }
    }
}
