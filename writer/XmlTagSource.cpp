// XmlTagSource: reading a start tag's markup in its own code page.
#include "writer/XmlTagSource.hpp"

#include "host/KelConverter.hpp"
#include "host/KelSingleByteTable.hpp"
#include "host/KelUtf8.hpp"

namespace {
// The markup characters the reader tells apart, in the order of iMarkupByte.
constexpr int kMarkupCount = 10;
constexpr char16_t kMarkup[kMarkupCount] = {u' ', u'\t', u'\r', u'\n', u'=', u'<', u'>', u'/', u'"', u'\''};

bool isSpaceUnit(char16_t u) noexcept { return u == u' ' || u == u'\t' || u == u'\r' || u == u'\n'; }
} // namespace

bool XmlTagSource::choosePage(int ccsid, bool bigEndian) {
    iBigEndian = bigEndian;
    iUtf8 = false;
    iTable = nullptr;
    if (ccsid == 1208) {
        iUtf8 = true;
        return true;
    }
    if (KelConverter::isUtf16Ccsid(ccsid)) return true;
    iTable = KelSingleByteTable::forCcsid(ccsid);
    if (iTable == nullptr) return false;
    for (int i = 0; i < kMarkupCount; ++i) {
        const int byte = iTable->byteFor(kMarkup[i]);
        if (byte < 0) return false;   // a page without the markup characters is not read
        iMarkupByte[i] = static_cast<unsigned char>(byte);
    }
    iNewLineIsSpace = KelConverter::hasNewLine(ccsid);
    return true;
}

bool XmlTagSource::read(const unsigned char* start, const unsigned char* end, int ccsid, bool bigEndian,
                        const KelStringBase& name) {
    iAttributes.clear();
    iUnit = 0;
    if (start == nullptr || end == nullptr || end <= start || !choosePage(ccsid, bigEndian)) return false;
    iUnit = KelConverter::isUtf16Ccsid(ccsid) ? 2 : 1;
    iStart = start;
    iEnd = end;
    if ((end - start) % iUnit != 0 || end - start < 3 * iUnit || markupAt(start) != u'<' ||
        markupAt(end - iUnit) != u'>') {
        iUnit = 0;
        return false;
    }
    const unsigned char* p = start + iUnit;
    while (p < end) {
        const char16_t m = markupAt(p);
        if (isSpaceUnit(m) || m == u'>' || m == u'/') break;
        p += iUnit;
    }
    iAfterName = p;
    if (!reads(start + iUnit, p, name) || !readAttributes()) {
        iUnit = 0;
        iAttributes.clear();
        return false;
    }
    return true;
}

bool XmlTagSource::readAttributes() {
    const unsigned char* p = iAfterName;
    for (;;) {
        const unsigned char* own = p;
        p = skipSpace(p);
        if (p >= iEnd) return false;
        const char16_t m = markupAt(p);
        if (m == u'>' || m == u'/') {
            iClose = own;
            iEmptyTag = m == u'/';
            return p + (iEmptyTag ? 2 : 1) * iUnit == iEnd && (!iEmptyTag || markupAt(p + iUnit) == u'>');
        }
        if (p == own || iAttributes.size() >= kMaxAttributes) return false;   // no white space before a name
        Attribute attribute{own, p, nullptr, nullptr, nullptr, nullptr};
        while (p < iEnd && !isSpace(p) && markupAt(p) != u'=') p += iUnit;
        attribute.nameEnd = p;
        if (attribute.nameEnd == attribute.nameStart) return false;
        p = skipSpace(p);
        if (p >= iEnd || markupAt(p) != u'=') return false;
        p = skipSpace(p + iUnit);
        if (p >= iEnd) return false;
        const char16_t quote = markupAt(p);
        if (quote != u'"' && quote != u'\'') return false;
        attribute.valueStart = p + iUnit;
        for (p = attribute.valueStart; p < iEnd && markupAt(p) != quote;) p += iUnit;
        if (p >= iEnd) return false;
        attribute.valueEnd = p;
        attribute.end = p + iUnit;
        p = attribute.end;
        iAttributes.push_back(attribute);
    }
}

char16_t XmlTagSource::markupAt(const unsigned char* at) const {
    if (iUnit == 2) {
        const char16_t u = static_cast<char16_t>(iBigEndian ? (at[0] << 8) | at[1] : at[0] | (at[1] << 8));
        return u < 0x80 ? u : 0;
    }
    if (iUtf8) return *at < 0x80 ? *at : 0;
    for (int i = 0; i < kMarkupCount; ++i)
        if (*at == iMarkupByte[i]) return kMarkup[i];
    if (iNewLineIsSpace && *at == 0x15) return u'\n';
    return 0;
}

bool XmlTagSource::isSpace(const unsigned char* at) const { return isSpaceUnit(markupAt(at)); }

const unsigned char* XmlTagSource::skipSpace(const unsigned char* at) const {
    while (at < iEnd && isSpace(at)) at += iUnit;
    return at;
}

bool XmlTagSource::reads(const unsigned char* from, const unsigned char* to, const KelStringBase& name) const {
    const char16_t* want = name.data();
    const std::size_t length = name.length();
    std::size_t i = 0;
    if (iUnit == 2) {
        if (static_cast<std::size_t>(to - from) / 2 != length) return false;
        for (const unsigned char* p = from; p < to; p += 2, ++i)
            if (static_cast<char16_t>(iBigEndian ? (p[0] << 8) | p[1] : p[0] | (p[1] << 8)) != want[i]) return false;
        return true;
    }
    if (iTable != nullptr) {
        if (static_cast<std::size_t>(to - from) != length) return false;
        for (const unsigned char* p = from; p < to; ++p, ++i)
            if (iTable->byteFor(want[i]) != *p) return false;
        return true;
    }
    for (const unsigned char* p = from; p < to;) {
        std::uint32_t code = 0;
        const int n = kelReadUtf8(p, to, code);
        if (n <= 0) return false;
        p += n;
        if (code >= 0x10000) {
            if (i + 1 >= length || want[i] != static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)) ||
                want[i + 1] != static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)))
                return false;
            i += 2;
        } else {
            if (i >= length || want[i] != static_cast<char16_t>(code)) return false;
            ++i;
        }
    }
    return i == length;
}
