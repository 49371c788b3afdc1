#include "builder/XmlErrorLocator.hpp"

#include "host/KelConverter.hpp"

#include <unicode/ucnv.h>

#include <string>

namespace {
bool isNameUnit(char16_t c) {
    return c == u':' || c == u'_' || c == u'-' || c == u'.' || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
           (c >= u'0' && c <= u'9') || c >= 0x80;
}
} // namespace

XmlErrorLocator::XmlErrorLocator(const unsigned char* data, long length, int ccsid, bool bigEndian, long markLength)
    : iData(data), iLength(data ? length : 0), iCcsid(ccsid), iBigEndian(bigEndian), iMarkLength(markLength) {
    iXml11 = declaresXml11();
}

bool XmlErrorLocator::isLineEnd(char16_t c) const noexcept {
    return c == u'\n' || c == u'\r' || (iXml11 && c == 0x2028);
}

bool XmlErrorLocator::declaresXml11() {
    // The scanner reads NEL and U+2028 as line ends in an XML 1.1 document, and counts its lines
    // so: the version its declaration gives decides, as it decides for the scanner.
    std::u16string head;
    forEachUnit([&](char16_t c, long) {
        head += c;
        return c != u'>' && head.size() < 128;
    });
    const std::u16string start = u"<?xml";
    if (head.compare(0, start.size(), start) != 0 || head.size() <= start.size()) return false;
    std::size_t i = start.size();
    auto space = [&] {
        std::size_t from = i;
        while (i < head.size() && (head[i] == u' ' || head[i] == u'\t' || head[i] == u'\r' || head[i] == u'\n')) ++i;
        return i > from;
    };
    if (!space() || head.compare(i, 7, u"version") != 0) return false;
    i += 7;
    space();
    if (i >= head.size() || head[i] != u'=') return false;
    ++i;
    space();
    if (i + 4 >= head.size() || (head[i] != u'"' && head[i] != u'\'')) return false;
    return head.compare(i + 1, 3, u"1.1") == 0 && head[i + 4] == head[i];
}

template <class F> bool XmlErrorLocator::forEachUnit(F unit) {
    iInvalidAt = -1;
    std::string name = KelConverter::isUtf16Ccsid(iCcsid) ? (iBigEndian ? "UTF-16BE" : "UTF-16LE")
                                                          : KelConverter::icuNameFor(iCcsid);
    UConverter* icu = name.empty() ? nullptr : KelConverter::openStrict(name.c_str());
    if (!icu) return true;
    // NL is a line end where the tree builder reads it as one: lines are counted as it counted them.
    const bool newLines = KelConverter::hasNewLine(iCcsid) || iXml11;
    const char* const begin = reinterpret_cast<const char*>(iData);
    const char* source = begin + (iMarkLength < iLength ? iMarkLength : iLength);
    const char* const sourceEnd = begin + iLength;
    UChar units[1024];
    int32_t offsets[1024];
    bool ok = true, going = true;
    while (going) {
        const char* chunkStart = source;
        UChar* target = units;
        UErrorCode status = U_ZERO_ERROR;
        ucnv_toUnicode(icu, &target, units + 1024, &source, sourceEnd, offsets, true, &status);
        const long base = static_cast<long>(chunkStart - begin);
        for (UChar* u = units; u < target && going; ++u) {
            // U+2028 stays itself: unlike NEL it makes no pair with a carriage return before it.
            const char16_t c = newLines && *u == 0x85 ? u'\n' : static_cast<char16_t>(*u);
            going = unit(c, base + offsets[u - units]);
        }
        if (!going) break;
        if (status == U_BUFFER_OVERFLOW_ERROR) continue;
        if (U_FAILURE(status)) {
            char bad[32];
            int8_t badLength = sizeof bad;
            UErrorCode ignored = U_ZERO_ERROR;
            ucnv_getInvalidChars(icu, bad, &badLength, &ignored);
            iInvalidAt = static_cast<long>(source - begin) - (U_SUCCESS(ignored) ? badLength : 0);
            ok = false;
        }
        break;
    }
    ucnv_close(icu);
    return ok;
}

bool XmlErrorLocator::firstInvalid(KelDocumentPosition& where) {
    long line = 1, column = 1;
    char16_t previous = 0;
    const bool valid = forEachUnit([&](char16_t c, long) {
        // A carriage return, a line feed, or the two together end a line.
        if (!(c == u'\n' && previous == u'\r')) {
            if (isLineEnd(c)) {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        previous = c;
        return true;
    });
    if (valid) return false;
    where.line = line;
    where.column = column;
    where.offset = iInvalidAt;
    return true;
}

KelDocumentPosition XmlErrorLocator::at(long line, long column) {
    KelDocumentPosition p;
    p.line = line;
    p.column = column;
    p.offset = iLength;
    long currentLine = 1, currentColumn = 1;
    char16_t previous = 0;
    forEachUnit([&](char16_t c, long offset) {
        if (c == u'\n' && previous == u'\r') {
            previous = c;
            return true;
        }
        previous = c;
        const bool lineEnd = isLineEnd(c);
        // The place itself, or the end of its line when the column lies beyond it.
        if (currentLine == line && (currentColumn == column || lineEnd)) {
            p.offset = offset;
            return false;
        }
        if (currentLine > line) {
            p.offset = offset;
            return false;
        }
        if (lineEnd) {
            ++currentLine;
            currentColumn = 1;
        } else {
            ++currentColumn;
        }
        return true;
    });
    if (iInvalidAt >= 0 && p.offset > iInvalidAt) p.offset = iInvalidAt;
    return p;
}

KelDocumentPosition XmlErrorLocator::positionOf(long offset) {
    KelDocumentPosition p;
    p.offset = offset;
    long currentLine = 1, currentColumn = 1;
    char16_t previous = 0;
    forEachUnit([&](char16_t c, long at) {
        if (at >= offset) return false;
        if (c == u'\n' && previous == u'\r') {
            previous = c;
            return true;
        }
        previous = c;
        if (isLineEnd(c)) {
            ++currentLine;
            currentColumn = 1;
        } else {
            ++currentColumn;
        }
        return true;
    });
    p.line = currentLine;
    p.column = currentColumn;
    return p;
}

KelStringBase XmlErrorLocator::startTagAround(const KelDocumentPosition& where) {
    // The last '<' before the place, and whether a '>' closed its tag since.
    KelStringBase name;
    bool inTag = false, inName = false;
    forEachUnit([&](char16_t c, long offset) {
        if (offset >= where.offset) return false;
        if (c == u'<') {
            inTag = inName = true;
            name.clear();
        } else if (c == u'>') {
            inTag = inName = false;
        } else if (inName) {
            if (isNameUnit(c)) name += c;
            else inName = false;
        }
        return true;
    });
    return inTag ? name : KelStringBase();
}
