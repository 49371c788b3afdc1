// Whether a message handed back unchanged would tell its reader the wrong page: the declaration's
// encoding is read from the bytes alone, ASCII in place (eight bytes at a time while neither a '?'
// nor a byte outside ASCII is among them) and anything else through the page's converter.
#include "writer/XmlDeclarationEncoding.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr int kUtf8 = 1208;
constexpr int kLatin1 = 819;

bool declaresAnother(const std::string& bytes, int ccsid = kUtf8) {
    return XmlDeclarationEncoding::declaresAnotherPage(reinterpret_cast<const unsigned char*>(bytes.data()),
                                                       static_cast<long>(bytes.size()), ccsid, 546);
}

TEST(XmlDeclarationEncoding, TheDeclaredNameIsComparedWithThePage) {
    struct Case {
        const char* why;
        std::string bytes;
        bool another;
    };
    const Case cases[] = {
        {"usual name", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a/>", false},
        {"any case", "<?xml version=\"1.0\" encoding=\"utf-8\"?><a/>", false},
        {"an alias", "<?xml version=\"1.0\" encoding=\"UTF8\"?><a/>", false},
        {"another page", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a/>", true},
        {"after standalone", "<?xml version='1.0' standalone='no' encoding='ISO-8859-1'?><a/>", true},
        {"no encoding", "<?xml version=\"1.0\"?><a/>", false},
        {"no declaration", "<a encoding=\"ISO-8859-1\"/>", false},
        {"a processing instruction", "<?xmlfoo encoding=\"ISO-8859-1\"?><a/>", false},
        {"not ended", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"", false},
        {"a '?' inside a value", "<?xml version=\"1.0\" encoding=\"ISO?8859\"?><a/>", true},
        {"encoding after the end", "<?xml version=\"1.0\"?><a encoding=\"ISO-8859-1\"/>", false},
        {"a mark first", "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a/>", true},
        // Outside ASCII the converter reads it: NEL is a blank of XML 1.1 declarations.
        {"NEL before encoding", "<?xml version=\"1.1\"\xC2\x85" "encoding=\"ISO-8859-1\"?><a/>", true},
        {"NEL before the end", "<?xml version=\"1.0\" encoding=\"UTF-8\"\xC2\x85?><a/>", false},
    };
    for (const Case& c : cases) EXPECT_EQ(declaresAnother(c.bytes), c.another) << c.why;
    EXPECT_TRUE(declaresAnother("<?xml version=\"1.0\" encoding=\"UTF-8\"?><a/>", kLatin1));
    EXPECT_FALSE(declaresAnother("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a/>", kLatin1));
}

// The end and any byte outside ASCII are found wherever they fall in the eight-byte words read.
TEST(XmlDeclarationEncoding, TheEndIsFoundAtEveryPlaceInAWord) {
    for (int blanks = 0; blanks <= 16; ++blanks) {
        const std::string pad(static_cast<std::size_t>(blanks), ' ');
        EXPECT_TRUE(declaresAnother("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"" + pad + "?><a/>")) << blanks;
        EXPECT_FALSE(declaresAnother("<?xml version=\"1.0\" encoding=\"UTF-8\"" + pad + "?><a/>")) << blanks;
        EXPECT_FALSE(declaresAnother("<?xml version=\"1.0\"" + pad + "?><a encoding=\"ISO-8859-1\"/>")) << blanks;
        EXPECT_FALSE(declaresAnother("<?xml version=\"1.0\"" + pad + "?><?pi encoding=\"ISO-8859-1\"?><a/>")) << blanks;
        // Cut just before its end: no declaration, wherever the cut falls.
        EXPECT_FALSE(declaresAnother("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"" + pad + "?")) << blanks;
        EXPECT_TRUE(declaresAnother("<?xml version=\"1.0\"" + pad + "\xC2\x85" "encoding=\"ISO-8859-1\"?>")) << blanks;
    }
}

} // namespace
