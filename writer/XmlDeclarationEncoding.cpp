// XmlDeclarationEncoding: the declaration's encoding name against the output page.
#include "writer/XmlDeclarationEncoding.hpp"

#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelValue.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {
constexpr int kUtf8Ccsid = 1208;
bool isWhiteSpaceUnit(unsigned u) noexcept { return u == 0x20 || u == 0x09 || u == 0x0D || u == 0x0A; }
// Blanks as a declaration may hold them (XML 1.1 adds NEL and the line separator).
bool isBlank(char16_t u) noexcept { return isWhiteSpaceUnit(u) || u == 0x85 || u == 0x2028; }

// The value of the pseudo-attribute `key` of the declaration `text`: [from, to) inside its quotes;
// false when absent.
bool pseudoAttribute(const KelStringBase& text, const char* key, std::size_t& from, std::size_t& to) {
    const char16_t* units = text.data();
    const std::size_t length = text.length();
    const auto skipBlanks = [&](std::size_t i) {
        while (i < length && isBlank(units[i])) ++i;
        return i;
    };
    const KelStringBase keyText = KelStringBase::fromAscii(key);
    for (std::size_t at = text.find(keyText); at != KelStringBase::npos; at = text.find(keyText, at + 1)) {
        if (at == 0 || !isBlank(units[at - 1])) continue;
        std::size_t i = skipBlanks(at + keyText.length());
        if (i >= length || units[i] != u'=') continue;
        i = skipBlanks(i + 1);
        if (i >= length || (units[i] != u'"' && units[i] != u'\'')) continue;
        const std::size_t close = text.find(units[i], i + 1);
        if (close == KelStringBase::npos) return false;
        from = i + 1;
        to = close;
        return true;
    }
    return false;
}

// Enough bytes for any declaration a message carries (its blanks are few): what lies further is
// not read, and a declaration not ended by then counts as none.
constexpr long kDeclarationBytes = 1024;
} // namespace

KelStringBase XmlDeclarationEncoding::renameFor(const KelValue* declared, int ccsid, int encoding, bool bigEndian) {
    const std::string name = declared != nullptr ? declared->valueAsCharacter().toUtf8() : std::string();
    if (KelConverter::isUtf16Ccsid(ccsid)) {
        // A reader finds UTF-16 by its mark or its first characters; a name of one byte order
        // is right only without a mark and in the order written.
        const auto is = [&name](const char* other) {
            return name.size() == std::strlen(other) &&
                   std::equal(name.begin(), name.end(), other, [](char a, char b) {
                       return std::toupper(static_cast<unsigned char>(a)) == b;
                   });
        };
        const bool marked = (encoding & 0x0F) == 1 || (encoding & 0x0F) == 2;
        if (declared == nullptr || is("UTF-16") || (!marked && is(bigEndian ? "UTF-16BE" : "UTF-16LE")))
            return KelStringBase();
        return KelStringBase::fromAscii("UTF-16");
    }
    // No name: the reader takes UTF-8 (the only other page it can find on its own).
    if (declared == nullptr && ccsid == kUtf8Ccsid) return KelStringBase();
    if (declared != nullptr) {
        if (name == iName && ccsid == iNameCcsid) return iRename;
        iName = name;
        iNameCcsid = ccsid;
        const KelConverter* page = KelConverter::setCodepage(ccsid, 0);
        iRename = page->isNamedBy(name) ? KelStringBase()
                                        : KelStringBase::fromAscii(KelConverter::encodingNameFor(ccsid).c_str());
        return iRename;
    }
    return KelStringBase::fromAscii(KelConverter::encodingNameFor(ccsid).c_str());
}

bool XmlDeclarationEncoding::renamedText(const KelStringBase& text, const KelStringBase& name, KelStringBase& edited) {
    const char16_t* units = text.data();
    const std::size_t length = text.length();
    if (length < 5 || text.find(KelStringBase::fromAscii("<?xml")) != 0) return false;
    std::size_t from = 0;
    std::size_t to = 0;
    if (pseudoAttribute(text, "encoding", from, to)) {
        edited.append(units, from);
        edited.append(name);
        edited.append(units + to, length - to);
    } else if (pseudoAttribute(text, "version", from, to)) {
        edited.append(units, to + 1);
        const char16_t quote = units[to];
        edited.append(KelStringBase::fromAscii(" encoding="));
        edited.append(quote);
        edited.append(name);
        edited.append(quote);
        edited.append(units + to + 1, length - to - 1);
    } else {
        return false;
    }
    return true;
}

bool XmlDeclarationEncoding::declaresAnotherPage(const unsigned char* data, long length, int ccsid, int encoding) {
    if (data == nullptr || length <= 0) return false;
    long start = 0;
    int byteOrder = 0;   // for UTF-16: 0 big-endian, -1 little-endian (as the converter takes it)
    if (KelConverter::isUtf16Ccsid(ccsid)) {
        // The mark decides the byte order, as when the message is read; else the encoding value.
        if (length >= 2 && data[0] == 0xFE && data[1] == 0xFF) {
            start = 2;
        } else if (length >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
            start = 2;
            byteOrder = -1;
        } else {
            byteOrder = (encoding & 0x0F) == 1 ? 0 : -1;
        }
    } else if (ccsid == kUtf8Ccsid && length >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
        start = 3;
    }
    long take = std::min(length - start, kDeclarationBytes);
    if (KelConverter::isUtf16Ccsid(ccsid)) take &= ~1L;
    const KelConverter* page = nullptr;
    try {
        page = KelConverter::setCodepage(ccsid, 0);
    } catch (const KelException&) {
        return false;   // a page no converter knows: nothing to compare with, as before
    }
    KelStringBase text;
    // The stretch may end inside a character of several bytes: a few bytes less then read.
    for (int shorter = 0;; ++shorter) {
        try {
            text = page->toUnicode(data + start, take - shorter, false, byteOrder);
            break;
        } catch (const KelException&) {
            if (shorter == 3 || take - shorter <= 5) return false;
        }
    }
    if (text.length() < 6 || text.find(KelStringBase::fromAscii("<?xml")) != 0 || !isBlank(text[5])) return false;
    const std::size_t end = text.find(KelStringBase::fromAscii("?>"));
    if (end == KelStringBase::npos) return false;
    const KelStringBase declaration(text.data(), end);
    std::size_t from = 0;
    std::size_t to = 0;
    if (!pseudoAttribute(declaration, "encoding", from, to)) return false;
    return !page->isNamedBy(KelStringBase(declaration.data() + from, to - from).toUtf8());
}
