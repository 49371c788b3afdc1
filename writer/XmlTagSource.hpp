// XmlTagSource: reads the markup of one start tag as it stands in the input, so that the writer can
// copy the parts of a changed start tag that did not change: the "<" and name, each unchanged
// attribute with the white space before it, the name and quotes of an attribute whose value alone
// changed, and the close (">" or "/>" with the white space before it). It reads UTF-8, UTF-16 in
// either byte order and the single-byte pages without state; in any other page, or for bytes that
// do not read as a start tag of the element's name, it reads nothing and the writer writes the tag
// anew, so a tag is never copied in part on a guess.
// Ownership: borrows the tag's bytes, which the parser keeps. Thread rules: one thread, like the
// writer that makes it for one tag.
#pragma once

#include "host/KelStringBase.hpp"

#include <vector>

class KelSingleByteTable;

class XmlTagSource {
public:
    // One attribute as the tag spells it: S name S? = S? quote value quote.
    struct Attribute {
        const unsigned char* own;          // the white space before its name: its bytes begin here
        const unsigned char* nameStart;
        const unsigned char* nameEnd;
        const unsigned char* valueStart;   // after the opening quote
        const unsigned char* valueEnd;     // at the closing quote
        const unsigned char* end;          // after the closing quote
    };

    // Tags of more attributes than this are written anew rather than matched.
    static constexpr std::size_t kMaxAttributes = 1024;

    XmlTagSource() = default;
    // Reads the start tag in [start, end) of a bitstream in `ccsid` (and byte order, for UTF-16)
    // as one of the element `name`; false, with nothing read, when it cannot.
    bool read(const unsigned char* start, const unsigned char* end, int ccsid, bool bigEndian,
              const KelStringBase& name);

    const unsigned char* start() const noexcept { return iStart; }
    const unsigned char* end() const noexcept { return iEnd; }
    const unsigned char* afterName() const noexcept { return iAfterName; }
    const std::vector<Attribute>& attributes() const noexcept { return iAttributes; }
    // Where the close begins (the white space before ">" or "/>"), and whether it is "/>".
    const unsigned char* closeStart() const noexcept { return iClose; }
    bool emptyTag() const noexcept { return iEmptyTag; }
    // Whether `attribute`'s value stands in double quotes.
    bool isDoubleQuoted(const Attribute& attribute) const { return markupAt(attribute.valueEnd) == u'"'; }
    // Whether `attribute`'s name reads `name`.
    bool names(const Attribute& attribute, const KelStringBase& name) const {
        return reads(attribute.nameStart, attribute.nameEnd, name);
    }

private:
    bool choosePage(int ccsid, bool bigEndian);
    // The markup character of the unit at `at` (ASCII), or 0 for any other character.
    char16_t markupAt(const unsigned char* at) const;
    bool isSpace(const unsigned char* at) const;
    const unsigned char* skipSpace(const unsigned char* at) const;
    // Whether [from, to) reads `name` exactly.
    bool reads(const unsigned char* from, const unsigned char* to, const KelStringBase& name) const;
    // Reads the attributes from iAfterName up to the close; false when the bytes are not such.
    bool readAttributes();

    const unsigned char* iStart = nullptr;
    const unsigned char* iEnd = nullptr;
    const unsigned char* iAfterName = nullptr;
    const unsigned char* iClose = nullptr;
    bool iEmptyTag = false;
    std::vector<Attribute> iAttributes;
    int iUnit = 0;          // 1 or 2; 0 when the page is not read
    bool iUtf8 = false;
    bool iBigEndian = false;
    bool iNewLineIsSpace = false;   // an EBCDIC page whose NL the builder reads as a line end
    const KelSingleByteTable* iTable = nullptr;
    unsigned char iMarkupByte[10] = {};   // the single-byte page's bytes of the markup characters
};
