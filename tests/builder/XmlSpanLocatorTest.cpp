// Start tags read back from the bitstream for their attributes' quotes, and whether markup starts
// where character data ends, in each way a code page is read: bytes in place (UTF-8), units in
// place in either byte order (UTF-16, with or without a byte-order mark) and decoded (EBCDIC,
// single-byte and stateful), and a tag read from an entity's replacement text.
#include "BuilderTestDocument.hpp"

#include "builder/XmlKelTranscoderRegistry.hpp"
#include "builder/XmlSpanLocator.hpp"

#include <xercesc/framework/XMLAttr.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/RefVectorOf.hpp>
#include <xercesc/validators/DTD/DTDEntityDecl.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace xercesc;

namespace {

using Utf16 = XmlSpanLocator::Utf16;

// A bitstream as the builder sees it: `utf8` in a page, with a byte-order mark when asked.
struct Page {
    const char* name;
    int ccsid;
    Utf16 utf16;
    bool mark;
};

const Page kPages[] = {
    {"utf-8", 1208, Utf16::None, false},          {"utf-16le", 1200, Utf16::LittleEndian, false},
    {"utf-16be", 1200, Utf16::BigEndian, false},  {"utf-16le marked", 1200, Utf16::LittleEndian, true},
    {"utf-16be marked", 1200, Utf16::BigEndian, true}, {"ebcdic 37", 37, Utf16::None, false},
    {"ebcdic 930", 930, Utf16::None, false},
};

std::string bytesOf(const Page& page, const std::string& utf8) {
    if (page.utf16 == Utf16::None) return encodeAs(utf8, page.ccsid);
    const int order = page.utf16 == Utf16::BigEndian ? 1 : -1;
    std::string bytes = encodeAs(utf8, page.ccsid, order);
    if (page.mark) bytes = (order > 0 ? std::string("\xFE\xFF") : std::string("\xFF\xFE")) + bytes;
    return bytes;
}

// The byte offset of utf8[0, units) in the page, after any mark.
long offsetOf(const Page& page, const std::string& utf8, std::size_t units) {
    return static_cast<long>(bytesOf(Page{page.name, page.ccsid, page.utf16, false}, utf8.substr(0, units)).size());
}

struct Located {
    std::string bytes;
    XmlSpanLocator locator{true};
    const unsigned char* text = nullptr;   // the document text, after any mark

    Located(const Page& page, const std::string& utf8) : bytes(bytesOf(page, utf8)) {
        XmlKelTranscoderRegistry::ensureReady();
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
        locator.start(data, static_cast<long>(bytes.size()), page.ccsid);
        locator.readAs(page.mark ? 2 : 0, page.utf16);
        locator.skipByteOrderMark();
        text = data + (page.mark ? 2 : 0);
    }
    XmlSpanLocator::Position at(long offset, long markupStart = 0) {
        return XmlSpanLocator::Position{offset, markupStart, true, text + offset};
    }
};

struct Attributes {
    RefVectorOf<XMLAttr> list{8, true};
    void add(const char16_t* name, const char16_t* value, bool specified = true) {
        list.addElement(new XMLAttr(0, name, u"", value, XMLAttDef::CData, specified));
    }
};

std::string quotesOf(const std::vector<unsigned char>& quotes) {
    std::string out;
    for (unsigned char q : quotes) out += q ? '"' : '\'';
    return out;
}

} // namespace

TEST(XmlSpanLocator, FindsEachAttributesQuotesInTheStartTagThatEndsAtThePosition) {
    // Blanks around '=', a quote of the other kind inside a value, a value of characters outside
    // the single-byte pages' reach (kept out of those), and a defaulted attribute the tag does not
    // spell out, which counts as double-quoted. The text before the tag is not read as part of it.
    for (const Page& page : kPages) {
        SCOPED_TRACE(page.name);
        const bool wide = page.ccsid != 37;
        const std::string prefix = "<x a='no'>t</x>";
        const std::string tag = std::string("<r a='1' b = \"2\"\td='\"'\ne=\"'\" f='") + (wide ? "\xE6\x97\xA5" : "z") + "'>";
        const std::string doc = prefix + tag + "</r>";
        Located located(page, doc);
        Attributes attributes;
        attributes.add(u"a", u"1");
        attributes.add(u"b", u"2");
        attributes.add(u"c", u"defaulted", false);
        attributes.add(u"d", u"\"");
        attributes.add(u"e", u"'");
        attributes.add(u"f", u"x");
        const long end = offsetOf(page, doc, prefix.size() + tag.size());
        EXPECT_EQ(quotesOf(located.locator.attributeQuotes(attributes.list, 6, located.at(end), nullptr)), "'\"\"'\"'");
        // The same tag ending earlier than its last attribute: what the tag holds is read, the
        // rest keeps the default.
        const long cut = offsetOf(page, doc, prefix.size() + tag.find("\ne="));
        EXPECT_EQ(quotesOf(located.locator.attributeQuotes(attributes.list, 6, located.at(cut), nullptr)), "'\"\"'\"\"");
    }
}

TEST(XmlSpanLocator, ReadsATagInAnEntitysTextFromTheEntitysValue) {
    // The scanner counts two bytes per character of an entity's replacement text.
    Located located(kPages[0], "<r>&e;</r>");
    DTDEntityDecl entity(u"e", u"x<i p='1' q=\"2\" s='3'/>y");
    Attributes attributes;
    attributes.add(u"p", u"1");
    attributes.add(u"q", u"2");
    attributes.add(u"s", u"3");
    const XmlSpanLocator::Position inEntity{2 * 23, 2 * 1, false, nullptr};
    EXPECT_EQ(quotesOf(located.locator.attributeQuotes(attributes.list, 3, inEntity, &entity)), "'\"'");
    // A position past the end of the value reads no further than the value.
    const XmlSpanLocator::Position beyond{2 * 400, 0, false, nullptr};
    EXPECT_EQ(quotesOf(located.locator.attributeQuotes(attributes.list, 3, beyond, &entity)), "'\"'");
    // Without the entity's text nothing can be read: every attribute keeps the default.
    EXPECT_EQ(quotesOf(located.locator.attributeQuotes(attributes.list, 3, inEntity, nullptr)), "\"\"\"");
}

TEST(XmlSpanLocator, CharacterDataEndsWhereMarkupStartsOnlyWhenTheCharacterThereIsALessThan) {
    // U+3C00 and U+3E3C hold the byte of '<' in UTF-16, U+0014 is that byte in EBCDIC 37, and
    // U+65E5 in page 930 sits between shift codes: none of them starts markup.
    for (const Page& page : kPages) {
        SCOPED_TRACE(page.name);
        const bool wide = page.ccsid == 1200;
        const std::string odd = wide ? "\xE3\xB0\x80\xE3\xB8\xBC" : page.ccsid == 930 ? "\xE6\x97\xA5" : "\x14";
        const std::string doc = "<r>t" + odd + "<s/></r>";
        Located located(page, doc);
        const long atOdd = offsetOf(page, doc, 4);
        const long atTag = offsetOf(page, doc, 4 + odd.size());
        located.locator.afterCharacters(located.at(atTag), false);
        EXPECT_EQ(located.locator.previousEnd(), located.text + atTag);
        located.locator.afterCharacters(located.at(atOdd), false);
        EXPECT_EQ(located.locator.previousEnd(), nullptr);
        // A CDATA section ends in "]]>", never where the next item starts.
        located.locator.afterCharacters(located.at(atTag), true);
        EXPECT_EQ(located.locator.previousEnd(), nullptr);
        // At the very end of the document there is no character to read.
        located.locator.afterCharacters(located.at(static_cast<long>(located.bytes.size()) - (page.mark ? 2 : 0)),
                                        false);
        EXPECT_EQ(located.locator.previousEnd(), nullptr);
    }
}
