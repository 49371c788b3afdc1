// OutputPage: what the checks need to know of a code page that quarn writes in, from sources
// other than quarn: the name a consumer gives libxml2 for it, and whether ICU's table for it
// lacks a character (then a name, comment, CDATA section or processing instruction holding that
// character cannot be written, and an error is the right answer). Stateless; any thread.
#pragma once

#include <string>

class KelSyntaxElement;

class OutputPage {
public:
    // The encoding name libxml2 (through iconv) knows the page by; null for a page it does not
    // know (5026 and 5035 among the stateful ones): output in it cannot be read back there.
    static const char* libxmlName(int ccsid);
    // Whether the page has no character for some character of `text` (UTF-16); false for a page
    // this helper does not know.
    static bool lacksAnyOf(int ccsid, const std::u16string& text);
    // The page that an encoding name of an XML declaration names (0 for a name not known here).
    static int ccsidOfName(const std::string& encodingName);
    // The encoding a consumer gives libxml2 for the tree below `root` written in `ccsid`: none
    // (null) when the output's own mark or declaration says it; the page's name when nothing in
    // the output can say it (no declaration, and a page other than UTF-8 or UTF-16: the host that
    // chose the page tells its consumer). Walks only the declaration.
    static const char* readerEncoding(KelSyntaxElement* root, int ccsid);
    // `bytes` written in `ccsid` as a consumer of an EBCDIC page whose lines end in NL reads them:
    // quarn reads NL (0x15) as a line end there and keeps it on the way out, where an XML 1.0
    // reader takes it for U+0085, so every NL byte becomes LF (0x25). Other pages: unchanged.
    // (A U+0085 of the tree is written as a reference, so it stays apart.)
    static std::string withLineFeeds(const std::string& bytes, int ccsid);
};
