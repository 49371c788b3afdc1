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
