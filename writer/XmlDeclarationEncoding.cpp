// XmlDeclarationEncoding: the declaration's encoding name against the output page.
#include "writer/XmlDeclarationEncoding.hpp"

#include "host/KelConverter.hpp"
#include "host/KelValue.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {
constexpr int kUtf8Ccsid = 1208;
bool isWhiteSpaceUnit(unsigned u) noexcept { return u == 0x20 || u == 0x09 || u == 0x0D || u == 0x0A; }
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
    // Blanks as a declaration may hold them (XML 1.1 adds NEL and the line separator).
    const auto isBlank = [](char16_t u) { return isWhiteSpaceUnit(u) || u == 0x85 || u == 0x2028; };
    const auto skipBlanks = [&](std::size_t i) {
        while (i < length && isBlank(units[i])) ++i;
        return i;
    };
    // The value of the pseudo-attribute `key`: [from, to) inside its quotes; false when absent.
    const auto findValue = [&](const char* key, std::size_t& from, std::size_t& to) {
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
    };
    if (length < 5 || text.find(KelStringBase::fromAscii("<?xml")) != 0) return false;
    std::size_t from = 0;
    std::size_t to = 0;
    if (findValue("encoding", from, to)) {
        edited.append(units, from);
        edited.append(name);
        edited.append(units + to, length - to);
    } else if (findValue("version", from, to)) {
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
