// XmlDocTypeCloseTracker: finding the declaration's ">" in copied stretches.
#include "writer/XmlDocTypeCloseTracker.hpp"

#include "host/KelConverter.hpp"
#include "host/KelException.hpp"

namespace {
bool isWhiteSpaceUnit(unsigned u) noexcept { return u == 0x20 || u == 0x09 || u == 0x0D || u == 0x0A; }
} // namespace

const unsigned char* XmlDocTypeCloseTracker::copyFrom(const unsigned char* start, const unsigned char* end,
                                                      long ccsid, bool bigEndian, bool& supplyClose) {
    supplyClose = false;
    if (iState == None) return start;
    const unsigned char* afterClose = findLeadingClose(start, end, ccsid, bigEndian);
    if (iState == Owed) supplyClose = afterClose == nullptr;
    else if (afterClose != nullptr) return afterClose;
    return start;
}

void XmlDocTypeCloseTracker::prepareMarkupBytes(long ccsid) {
    if (iMarkupBytesCcsid == ccsid) return;
    static const char16_t markup[5] = {u' ', u'\t', u'\r', u'\n', u'>'};
    for (int i = 0; i < 5; ++i) iMarkupBytes[i] = markup[i];
    try {
        const KelConverter* converter = KelConverter::setCodepage(static_cast<int>(ccsid), 0);
        unsigned char bytes[32];
        if (converter->maxBytesFor(1) <= sizeof bytes) {
            for (int i = 0; i < 5; ++i) {
                const std::size_t n = converter->convertFromUnicode(&markup[i], 1, bytes, sizeof bytes, 1);
                iMarkupBytes[i] = n == 1 ? bytes[0] : -1;
            }
        }
    } catch (const KelException&) {
        // A page the host cannot convert is read as ASCII here; its bytes can only be copied anyway.
    }
    // NL separates markup as LF does where the tree builder reads it as a line end.
    iMarkupBytes[5] = KelConverter::hasNewLine(static_cast<int>(ccsid)) ? 0x15 : -1;
    iMarkupBytesCcsid = static_cast<int>(ccsid);
}

const unsigned char* XmlDocTypeCloseTracker::findLeadingClose(const unsigned char* start, const unsigned char* end,
                                                              long ccsid, bool bigEndian) {
    if (KelConverter::isUtf16Ccsid(static_cast<int>(ccsid))) {
        for (const unsigned char* p = start; p + 1 < end; p += 2) {
            const unsigned u = bigEndian ? (p[0] << 8) | p[1] : p[0] | (p[1] << 8);
            if (isWhiteSpaceUnit(u)) continue;
            return u == u'>' ? p + 2 : nullptr;
        }
        return nullptr;
    }
    prepareMarkupBytes(ccsid);
    for (const unsigned char* p = start; p < end; ++p) {
        if (isBlankByte(*p)) continue;
        return *p == iMarkupBytes[4] ? p + 1 : nullptr;
    }
    return nullptr;
}

bool XmlDocTypeCloseTracker::endsWithClose(const unsigned char* start, const unsigned char* end, long ccsid,
                                           bool bigEndian) {
    if (KelConverter::isUtf16Ccsid(static_cast<int>(ccsid))) {
        for (const unsigned char* p = end; p - start >= 2; p -= 2) {
            const unsigned u = bigEndian ? (p[-2] << 8) | p[-1] : p[-2] | (p[-1] << 8);
            if (isWhiteSpaceUnit(u)) continue;
            return u == u'>';
        }
        return false;
    }
    prepareMarkupBytes(ccsid);
    for (const unsigned char* p = end; p > start; --p) {
        if (isBlankByte(p[-1])) continue;
        return p[-1] == iMarkupBytes[4];
    }
    return false;
}
