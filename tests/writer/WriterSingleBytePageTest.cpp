// Writing into single-byte pages: every BMP character, copied from UTF-8 or written from a value,
// comes out as the strict converter gives it, or as a character reference where the page lacks
// it; names and comments the page cannot hold still fail; a mixed document, parsed from UTF-8 or
// UTF-16 and edited or not, comes out as its UTF-8 form converted in one piece.
#include "WriterTestDocument.hpp"
#include "WriterTestTree.hpp"

#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelMessageTable.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <utility>
#include <string>
#include <vector>

namespace {

const int kPages[] = {37, 500, 819, 1047, 850, 1140};

// Whether the converter takes `unit` on its own; asked once per page and unit.
bool convertsAlone(int ccsid, char16_t unit) {
    static std::map<int, std::vector<bool>> known;
    std::vector<bool>& page = known[ccsid];
    if (page.empty()) {
        const KelConverter* converter = KelConverter::setCodepage(ccsid);
        std::vector<unsigned char> out(converter->maxBytesFor(1));
        page.resize(0x10000);
        for (unsigned u = 0; u < 0x10000; ++u) {
            const char16_t one = static_cast<char16_t>(u);
            try {
                page[u] = converter->convertFromUnicode(&one, 1, out.data(), out.size(), 0) > 0;
            } catch (const KelException&) {
                page[u] = false;
            }
        }
    }
    return page[unit];
}

// `text` converted in one piece by the converter.
std::string inPage(const std::u16string& text, int ccsid) {
    const KelConverter* converter = KelConverter::setCodepage(ccsid);
    std::string out(converter->maxBytesFor(text.size()), '\0');
    out.resize(converter->convertFromUnicode(text.data(), text.size(), reinterpret_cast<unsigned char*>(&out[0]),
                                             out.size(), 0));
    return out;
}

std::u16string reference(char16_t unit) {
    char text[16];
    std::snprintf(text, sizeof text, "&#x%X;", static_cast<unsigned>(unit));
    return std::u16string(text, text + std::char_traits<char>::length(text));
}

bool isXmlCharacter(char16_t u) {
    return u == 0x9 || u == 0xA || u == 0xD || (u >= 0x20 && u <= 0xD7FF) || (u >= 0xE000 && u <= 0xFFFD);
}

bool isConversionFailure(const KelException& e) {
    return e.catalogueNumber() == (KelMsg::E_Kel_ConversionFailed.number & ~KelException::kSeverityMask);
}

// Writing to `ccsid` gives what writing to UTF-8 gives, converted in one piece, but for the
// declaration, which names the page written.
void expectSameAsUtf8Converted(WriterTestDocument& doc, int ccsid) {
    std::string utf8 = doc.write(1208, 546);
    const std::string declared = "encoding=\"UTF-8\"";
    const std::size_t at = utf8.find(declared);
    if (at != std::string::npos)
        utf8.replace(at, declared.size(), "encoding=\"" + KelConverter::encodingNameFor(ccsid) + "\"");
    const KelStringBase text = KelStringBase::fromUtf8(utf8);
    EXPECT_EQ(doc.write(ccsid, 785), inPage(std::u16string(text.data(), text.length()), ccsid)) << ccsid;
}

} // namespace

TEST(WriterSingleBytePage, EveryCharacterCopiedFromUtf8IsConvertedOrRewrittenAsAReference) {
    // One element per character: one the page holds is copied, one it lacks is written anew with
    // references in its attribute and its content, and the parent around them all is rewritten.
    std::u16string document = u"<r>";
    std::vector<char16_t> units;
    for (unsigned u = 0; u < 0x10000; ++u) {
        const char16_t unit = static_cast<char16_t>(u);
        if (!isXmlCharacter(unit) || unit == u'\r' || unit == u'<' || unit == u'&' || unit == u'"') continue;
        units.push_back(unit);
        document += u"<e a=\"";
        document += unit;
        document += u"\">";
        document += unit;
        document += u"</e>";
    }
    document += u"</r>";
    WriterTestDocument doc(KelStringBase(document.data(), document.size()).toUtf8());

    // Each element the page lacks costs the careful way a few refused conversions: four pages,
    // EBCDIC and ASCII-based, keep this test short.
    for (int ccsid : {37, 1047, 819, 850}) {
        SCOPED_TRACE(ccsid);
        std::u16string expected = u"<r>";
        std::size_t lacking = 0;
        for (char16_t unit : units) {
            // The C1 controls are not taken as held: readers of a page disagree on their bytes.
            const bool held = convertsAlone(ccsid, unit) && !(unit >= 0x80 && unit <= 0x9F);
            lacking += held ? 0 : 1;
            const std::u16string text = held ? std::u16string(1, unit) : reference(unit);
            expected += u"<e a=\"" + text + u"\">" + text + u"</e>";
        }
        expected += u"</r>";
        EXPECT_GT(lacking, 60000u);   // every page lacks most of the BMP: both ways are taken
        EXPECT_EQ(doc.write(ccsid, 785), inPage(expected, ccsid));
    }
}

TEST(WriterSingleBytePage, EveryCharacterOfAValueIsConvertedEscapedOrReferenced) {
    // Values without original bytes, one element per block of 256 units, the block as attribute
    // value and as content.
    WriterTestTree t;
    KelSyntaxElement* r = t.add(t.root, XmlTypeElement, "r");
    std::vector<std::u16string> blocks;
    for (unsigned high = 0; high < 256; ++high) {
        if (high >= 0xD8 && high <= 0xDF) continue;   // surrogates: a lone one is an error of its own
        std::u16string block;
        for (unsigned low = 0; low < 256; ++low) {
            const char16_t u = static_cast<char16_t>(high << 8 | low);
            // No XML 1.0 text holds these (the writer refuses them: WriterElements).
            if ((u < 0x20 && u != u'\t' && u != u'\n' && u != u'\r') || u >= 0xFFFE) continue;
            block += u;
        }
        blocks.push_back(block);
        KelSyntaxElement* b = t.add(r, XmlTypeElement, "b");
        KelSyntaxElement* a = t.add(b, XmlTypeAttribute, "a");
        a->setActualValue(KelStringBase(block.data(), block.size()));
        WriterTestTree::xml(a)->setDoubleQuotedAttribute(true);
        t.add(b, XmlTypeContent)->setActualValue(KelStringBase(block.data(), block.size()));
    }

    for (int ccsid : kPages) {
        SCOPED_TRACE(ccsid);
        auto escaped = [ccsid](char16_t u, bool attribute) -> std::u16string {
            switch (u) {
            case u'<': return u"&lt;";
            case u'>': return u"&gt;";
            case u'&': return u"&amp;";
            case u'\'': return u"&apos;";
            case u'"': return u"&quot;";
            case u'\r': return u"&#xD;";
            case u'\t': return attribute ? u"&#x9;" : u"\t";
            case u'\n': return attribute ? u"&#xA;" : u"\n";
            default: break;
            }
            const bool control = u < 0x20 || (u >= 0x7F && u <= 0x9F) || u == 0x2028;
            if (control || !convertsAlone(ccsid, u)) return reference(u);
            return std::u16string(1, u);
        };
        std::u16string expected = u"<r>";
        for (const std::u16string& block : blocks) {
            expected += u"<b a=\"";
            for (char16_t u : block) expected += escaped(u, true);
            expected += u"\">";
            for (char16_t u : block) expected += escaped(u, false);
            expected += u"</b>";
        }
        expected += u"</r>";
        EXPECT_EQ(t.write(ccsid, 785), inPage(expected, ccsid));
    }
}

TEST(WriterSingleBytePage, WhatCannotBeReferencedStillFailsAsTheConverterSays) {
    // An element name, a comment and a lone surrogate have no reference to fall back on.
    {
        WriterTestTree t;
        KelSyntaxElement* r = t.add(t.root, XmlTypeElement, "r");
        t.addValue(r, XmlTypeContent, std::string(3000, 'x'));   // long text before: flushed first
        t.add(r, XmlTypeElement, "n\xE4\xB8\x80");               // U+4E00
        try {
            t.write(37, 785);
            ADD_FAILURE() << "a name 37 lacks was written";
        } catch (const KelException& e) {
            EXPECT_TRUE(isConversionFailure(e)) << e.catalogueNumber();
        }
        EXPECT_NE(t.write(1208, 546).find("n\xE4\xB8\x80"), std::string::npos);
    }
    {
        WriterTestDocument doc("<r>caf\xC3\xA9<!-- \xE2\x82\xAC --></r>");   // the euro sign is not in 37
        try {
            doc.write(37, 785);
            ADD_FAILURE() << "a comment 37 lacks was written";
        } catch (const KelException& e) {
            EXPECT_TRUE(isConversionFailure(e)) << e.catalogueNumber();
        }
        // 1140 has it: the same comment is copied.
        EXPECT_EQ(doc.write(1140, 785), encodeAs("<r>caf\xC3\xA9<!-- \xE2\x82\xAC --></r>", 1140));
    }
    // Half a surrogate pair, alone or after the other half, in text, a value or a comment: no
    // page holds it, UTF-16 (which copied it as it stood) no more than the others.
    const char16_t lone[] = {u'a', 0xD800, u'b'};
    const char16_t reversed[] = {u'a', 0xDC00, 0xD800, u'b'};
    for (const KelStringBase& value : {KelStringBase(lone, 3), KelStringBase(reversed, 4)}) {
        for (int type : {XmlTypeContent, XmlTypeAttribute, XmlTypeComment}) {
            for (const auto& page : {std::pair<long, long>{37, 785}, {1208, 546}, {1200, 546}, {1200, 273}}) {
                WriterTestTree t;
                KelSyntaxElement* r = t.add(t.root, XmlTypeElement, "r");
                t.add(r, type, type == XmlTypeAttribute ? "k" : "")->setActualValue(value);
                EXPECT_THROW(t.write(page.first, page.second), KelException)
                    << "type " << type << " in " << page.first << "/" << page.second;
            }
        }
    }
}

TEST(WriterSingleBytePage, DocumentThePageHoldsComesOutAsItsUtf8FormConvertedWhole) {
    // Every kind of item, attributes in both quotes, Latin letters beyond ASCII, references.
    const std::string document =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE batch [\n"
        "  <!ENTITY supplier \"Acme \xC3\x84rger Ltd.\">\n"
        "  <!ATTLIST order status CDATA 'open'>\n"
        "]>\n"
        "<!-- orders: M\xC3\xBCller, Dupr\xC3\xA9 -->\n"
        "<batch id='B-1' xmlns:x=\"urn:example\">\n"
        "  <order id=\"1\" status='held'><name>J\xC3\xBCrgen M\xC3\xBCller</name>"
        "<note><![CDATA[Leave at <reception> & call]]></note><?pi data \xC3\xA5?></order>\n"
        "  <order id=\"2\"><s>&supplier;</s><m>&#xB0;C</m></order>\n"
        "  <order id=\"3\"><t>tab\there &amp; &lt;there&gt; \xC2\xB1 \xC3\x9F</t></order>\n"
        "</batch>\n"
        "<!-- after -->";
    WriterTestDocument doc(document);
    for (int ccsid : kPages) expectSameAsUtf8Converted(doc, ccsid);

    // The same document read from UTF-16LE gives the same bytes.
    const KelStringBase text = KelStringBase::fromUtf8(document);
    std::string utf16le = "\xFF\xFE";
    for (std::size_t i = 0; i < text.length(); ++i) {
        utf16le += static_cast<char>(text.data()[i] & 0xFF);
        utf16le += static_cast<char>(text.data()[i] >> 8);
    }
    WriterTestDocument wide(utf16le, 1200, 546);
    for (int ccsid : kPages) EXPECT_EQ(wide.write(ccsid, 785), doc.write(ccsid, 785)) << ccsid;

    // Edited deep inside: the changed record is written anew, its neighbours are copied.
    KelSyntaxElement* batch = WriterTestDocument::child(doc.root(), XmlTypeElement);
    ASSERT_NE(batch, nullptr);
    KelSyntaxElement* order = WriterTestDocument::child(batch, XmlTypeElement, 0);
    ASSERT_NE(order, nullptr);
    KelSyntaxElement* status = WriterTestDocument::child(order, XmlTypeAttribute, 1);
    ASSERT_NE(status, nullptr);
    status->setValue(KelValue(KelStringBase::fromUtf8("sh\xC3\xADpped")));
    EXPECT_NE(doc.write(1208, 546).find("status='sh\xC3\xADpped'"), std::string::npos);
    for (int ccsid : kPages) expectSameAsUtf8Converted(doc, ccsid);
}

TEST(WriterSingleBytePage, MixedDocumentKeepsWhatThePageHoldsAndReferencesTheRest) {
    // The euro sign is in 1140 only; the Cyrillic name and the emoji are in none of these pages.
    const std::string head =
        "<?xml version=\"1.0\"?>\n<!-- caf\xC3\xA9 -->\n<batch>\n"
        "  <order id=\"1\" who='Ana\xC3\xAFs'><name>J\xC3\xBCrgen</name><n>&#xB0;C</n></order>\n  ";
    const std::string tail = "\n</batch>";
    const std::string euroOrder = "<order id=\"2\"><price cur='\xE2\x82\xAC'>5 \xE2\x82\xAC</price><s>\xC3\x9F</s></order>";
    const std::string euroReferenced = "<order id=\"2\"><price cur='&#x20AC;'>5 &#x20AC;</price><s>\xC3\x9F</s></order>";
    const std::string otherOrder =
        "\n  <order id=\"3\"><name>\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD</name><m>\xF0\x9F\x98\x80 &#xB0;C</m>"
        "<k>\xC3\xA9</k></order>";
    // Rewritten: references for what the page lacks, and the character reference of the input
    // is now plain text like the rest of the element's value.
    const std::string otherReferenced =
        "\n  <order id=\"3\"><name>&#x418;&#x432;&#x430;&#x43D;</name><m>&#x1F600; \xC2\xB0" "C</m>"
        "<k>\xC3\xA9</k></order>";
    WriterTestDocument doc(head + euroOrder + otherOrder + tail);
    for (int ccsid : kPages) {
        // The declaration names no page, so it gets the one written.
        std::string named = head;
        named.insert(named.find("?>"), " encoding=\"" + KelConverter::encodingNameFor(ccsid) + "\"");
        const std::string expected = named + (ccsid == 1140 ? euroOrder : euroReferenced) + otherReferenced + tail;
        EXPECT_EQ(doc.write(ccsid, 785), encodeAs(expected, ccsid)) << ccsid;
    }
}

TEST(WriterSingleBytePage, LongCopiesKeepTheirPlaceAfterPendingTextAndAnOwedClose) {
    // Stretches longer than the flush threshold, with Latin letters of two bytes, after markup
    // still pending and after a copied document type declaration that lacks its ">".
    const std::string body = "<a>" + repeat("caf\xC3\xA9 cr\xC3\xA8me \xC3\xBC ", 200) + "</a>";
    ASSERT_GT(body.size(), 2u * XmlBrokerOrvaneWriter::kFlushThreshold);
    for (const std::string& lead : {std::string(""), std::string(" \n"), std::string(">"), std::string(" >")}) {
        SCOPED_TRACE("lead [" + lead + "]");
        WriterTestTree t;
        t.addValue(t.root, XmlTypeComment, "before \xC3\xA9");   // no span: pending markup
        KelSyntaxElement* d = t.add(t.root, XmlTypeDocTypeDecl, "a");
        t.addValue(d, XmlTypeSystemId, "a.dtd");
        t.span(d, "<!DOCTYPE a SYSTEM \"a.dtd\"", 1208);
        KelSyntaxElement* a = t.add(t.root, XmlTypeElement, "a");
        t.span(a, lead + body, 1208);
        t.addValue(t.root, XmlTypeComment, "after");
        const std::string utf8 = t.write(1208, 546);
        EXPECT_EQ(utf8.find("<!DOCTYPE a SYSTEM \"a.dtd\"" + std::string(lead.find('>') == std::string::npos ? ">" : "")),
                  utf8.find("<!DOCTYPE"));
        for (int ccsid : kPages) EXPECT_EQ(t.write(ccsid, 785), encodeAs(utf8, ccsid)) << ccsid;
    }
}

namespace {
// A write buffer that cannot grow past the capacity it was made with.
class FixedWriteBuffer : public KelWriteBuffer {
public:
    FixedWriteBuffer(int ccsid, long capacity) : KelWriteBuffer(ccsid, capacity) {}
    void enlarge(long /*totalSize*/) override {}
};
} // namespace

TEST(WriterSingleBytePage, BufferThatCannotGrowIsReportedNotOverrun) {
    const std::string document = "<r>" + repeat("<e>caf\xC3\xA9</e>", 400) + "</r>";
    WriterTestDocument doc(document);
    const std::string whole = doc.write(37, 785);
    ASSERT_EQ(whole, encodeAs(document, 37));
    for (long capacity : {16L, 1000L, static_cast<long>(whole.size())}) {
        FixedWriteBuffer buffer(37, capacity);
        try {
            doc.parser.treeWriter()->writeBuffer(&buffer, doc.root(), 37, 785);
            ADD_FAILURE() << "wrote " << buffer.used() << " bytes into " << capacity;
        } catch (const KelException& e) {
            EXPECT_EQ(e.catalogueNumber(), KelMsg::E_Kel_BufferSize.number & ~KelException::kSeverityMask);
        }
        EXPECT_LT(buffer.used(), capacity);
        // What was written is the start of the whole.
        EXPECT_EQ(buffer.toString(), whole.substr(0, static_cast<std::size_t>(buffer.used())));
    }
    // One byte more than the text and its zero byte need is enough.
    FixedWriteBuffer roomy(37, static_cast<long>(whole.size()) + 1);
    doc.parser.treeWriter()->writeBuffer(&roomy, doc.root(), 37, 785);
    EXPECT_EQ(roomy.toString(), whole);
}
