// XmlDeclarationEncoding: the declaration's encoding name against the output page.
#include "writer/XmlDeclarationEncoding.hpp"

#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelValue.hpp"

#include <unicode/ucnv.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

namespace {
constexpr int kUtf8Ccsid = 1208;
bool isWhiteSpaceUnit(unsigned u) noexcept { return u == 0x20 || u == 0x09 || u == 0x0D || u == 0x0A; }
// Blanks as a declaration may hold them (XML 1.1 adds NEL and the line separator).
bool isBlank(char16_t u) noexcept { return isWhiteSpaceUnit(u) || u == 0x85 || u == 0x2028; }

// The value of the pseudo-attribute `key` of the declaration `units` (`length` code units, or
// bytes of ASCII): [from, to) inside its quotes; false when absent.
template <class Unit>
bool pseudoAttribute(const Unit* units, std::size_t length, const char* key, std::size_t& from, std::size_t& to) {
    const auto skipBlanks = [&](std::size_t i) {
        while (i < length && isBlank(static_cast<char16_t>(units[i]))) ++i;
        return i;
    };
    const std::size_t keyLength = std::strlen(key);
    const auto keyAt = [&](std::size_t at) {
        for (std::size_t k = 0; k < keyLength; ++k)
            if (static_cast<char16_t>(units[at + k]) != static_cast<unsigned char>(key[k])) return false;
        return true;
    };
    for (std::size_t at = 1; at + keyLength <= length; ++at) {
        if (static_cast<char16_t>(units[at]) != static_cast<unsigned char>(key[0])) continue;
        if (!keyAt(at) || !isBlank(static_cast<char16_t>(units[at - 1]))) continue;
        std::size_t i = skipBlanks(at + keyLength);
        if (i >= length || units[i] != '=') continue;
        i = skipBlanks(i + 1);
        if (i >= length || (units[i] != '"' && units[i] != '\'')) continue;
        std::size_t close = i + 1;
        while (close < length && units[close] != units[i]) ++close;
        if (close == length) return false;
        from = i + 1;
        to = close;
        return true;
    }
    return false;
}

bool pseudoAttribute(const KelStringBase& text, const char* key, std::size_t& from, std::size_t& to) {
    return pseudoAttribute(text.data(), text.length(), key, from, to);
}

// UTF-8 whose declaration is all ASCII (nearly every one) is read in place: 1 when its encoding
// names another page than `page`, 0 when not or when it is no declaration, -1 when a byte
// outside ASCII comes before its end (the converter then reads it, as for any other page).
int asciiDeclarationNamesAnother(const unsigned char* bytes, long length, const KelConverter& page) {
    if (length < 6) return -1;
    if (bytes[5] >= 0x80) return -1;   // a blank of several bytes, perhaps
    if (std::memcmp(bytes, "<?xml", 5) != 0 || !isWhiteSpaceUnit(bytes[5])) return 0;
    std::size_t end = 6;
    // Eight bytes at a time while they hold neither a '?' nor a byte outside ASCII (a pass-through
    // asks this of every message), then byte by byte.
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kHighs = 0x8080808080808080ull;
    for (; end + 8 < static_cast<std::size_t>(length); end += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + end, sizeof word);
        const std::uint64_t questions = word ^ (kOnes * '?');
        if (((questions - kOnes) & ~questions & kHighs) != 0 || (word & kHighs) != 0) break;
    }
    for (; end + 1 < static_cast<std::size_t>(length) && !(bytes[end] == '?' && bytes[end + 1] == '>'); ++end)
        if (bytes[end] >= 0x80) return -1;
    if (end + 1 >= static_cast<std::size_t>(length)) return -1;
    std::size_t from = 0;
    std::size_t to = 0;
    if (!pseudoAttribute(bytes, end, "encoding", from, to)) return 0;
    return page.isNamedBy(reinterpret_cast<const char*>(bytes) + from, to - from) ? 0 : 1;
}

// Enough bytes for any declaration a message carries (its blanks are few): what lies further is
// not read, and a declaration not ended by then counts as none.
constexpr long kDeclarationBytes = 1024;
// What is read first; a declaration with a version and an encoding fits in it.
constexpr long kFirstStretchBytes = 128;
} // namespace

namespace {
// Whether `name` (any of ICU's aliases: `utf-16be`, `UTF16BE`, `x-utf-16be`, ...) names UTF-16 of
// one byte order, the big-endian one when `bigEndian`.
bool namesByteOrder(const std::string& name, bool bigEndian) {
    UErrorCode status = U_ZERO_ERROR;
    const char* canonical = ucnv_getAlias(name.c_str(), 0, &status);
    if (U_FAILURE(status) || canonical == nullptr) return false;
    const char* order = bigEndian ? "UTF-16BE" : "UTF-16LE";
    const std::size_t length = std::strlen(order);
    return std::strncmp(canonical, order, length) == 0 && (canonical[length] == '\0' || canonical[length] == ',');
}
} // namespace

KelStringBase XmlDeclarationEncoding::renameFor(const KelValue* declared, int ccsid, int encoding, bool bigEndian) {
    const std::string name = declared != nullptr ? declared->valueAsCharacter().toUtf8() : std::string();
    if (KelConverter::isUtf16Ccsid(ccsid)) {
        // A reader finds UTF-16 by its mark or its first characters; a name of one byte order
        // is right only without a mark and in the order written.
        const bool marked = (encoding & 0x0F) == 1 || (encoding & 0x0F) == 2;
        const bool plain = name.size() == 6 && std::equal(name.begin(), name.end(), "UTF-16", [](char a, char b) {
                               return std::toupper(static_cast<unsigned char>(a)) == b;
                           });
        if (declared == nullptr || plain || (!marked && namesByteOrder(name, bigEndian)))
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

namespace {
// The bytes of a byte-order mark at the start of the message; for UTF-16 also the byte order to
// read in (0 big-endian, -1 little-endian, as the converter takes it): the mark decides, as when
// the message is read, else the encoding value.
long markBytes(const unsigned char* data, long length, int ccsid, int encoding, int& byteOrder) {
    byteOrder = 0;
    if (KelConverter::isUtf16Ccsid(ccsid)) {
        if (length >= 2 && data[0] == 0xFE && data[1] == 0xFF) return 2;
        byteOrder = -1;
        if (length >= 2 && data[0] == 0xFF && data[1] == 0xFE) return 2;
        byteOrder = (encoding & 0x0F) == 1 ? 0 : -1;
        return 0;
    }
    return ccsid == kUtf8Ccsid && length >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF ? 3 : 0;
}

bool startsAsDeclaration(const KelStringBase& text) {
    return text.length() >= 6 && text.find(KelStringBase::fromAscii("<?xml")) == 0 && isBlank(text[5]);
}

// The start of the message as text, far enough to hold its declaration's end where it has one;
// false when it cannot be read or starts with no declaration.
bool declarationText(const KelConverter& page, const unsigned char* data, long length, int ccsid, int byteOrder,
                     KelStringBase& text) {
    // A declaration is a few dozen characters: a short stretch is read first, and the whole
    // allowance only when its end is not in that stretch.
    for (long stretch = kFirstStretchBytes;; stretch = kDeclarationBytes) {
        long take = std::min({length, stretch, kDeclarationBytes});
        if (KelConverter::isUtf16Ccsid(ccsid)) take &= ~1L;
        // The stretch may end inside a character of several bytes: a few bytes less then read.
        bool read = false;
        for (int shorter = 0; !read; ++shorter) {
            try {
                text = page.toUnicode(data, take - shorter, false, byteOrder);
                read = true;
            } catch (const KelException&) {
                if (shorter == 3 || take - shorter <= 5) return false;
            }
        }
        const bool whole = take >= std::min(length, kDeclarationBytes) - 1;
        if (whole || text.find(KelStringBase::fromAscii("?>")) != KelStringBase::npos) return true;
        if (text.length() >= 6 && !startsAsDeclaration(text))
            return false;   // no declaration at all: the rest need not be read
    }
}
} // namespace

bool XmlDeclarationEncoding::declaresAnotherPage(const unsigned char* data, long length, int ccsid, int encoding) {
    if (data == nullptr || length <= 0) return false;
    int byteOrder = 0;
    const long start = markBytes(data, length, ccsid, encoding, byteOrder);
    const KelConverter* page = nullptr;
    try {
        page = KelConverter::setCodepage(ccsid, 0);
    } catch (const KelException&) {
        return false;   // a page no converter knows: nothing to compare with, as before
    }
    if (ccsid == kUtf8Ccsid) {
        const int answer = asciiDeclarationNamesAnother(data + start, std::min(length - start, kDeclarationBytes), *page);
        if (answer >= 0) return answer != 0;
    }
    KelStringBase text;
    if (!declarationText(*page, data + start, length - start, ccsid, byteOrder, text)) return false;
    if (!startsAsDeclaration(text)) return false;
    const std::size_t end = text.find(KelStringBase::fromAscii("?>"));
    if (end == KelStringBase::npos) return false;
    const KelStringBase declaration(text.data(), end);
    std::size_t from = 0;
    std::size_t to = 0;
    if (!pseudoAttribute(declaration, "encoding", from, to)) return false;
    const std::string name = KelStringBase(declaration.data() + from, to - from).toUtf8();
    // UTF-16 named with the other byte order tells its reader to read every character swapped.
    if (KelConverter::isUtf16Ccsid(ccsid) && namesByteOrder(name, byteOrder != 0)) return true;
    return !page->isNamedBy(name);
}
