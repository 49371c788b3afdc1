#include "fuzz/TextFuzzCase.hpp"

#include "common/XmlUtils.hpp"
#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelStringBase.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

const int kCcsids[] = {1208, 1200, 13488, 819, 1252, 37, 500, 1047, 850, 852, 943, 1386, 367, 923, 5050, 4242};
constexpr int kCcsidCount = sizeof(kCcsids) / sizeof(kCcsids[0]);
constexpr unsigned char kGuard = 0xA5;
constexpr std::size_t kGuardBytes = 16;

// Undoes the five references that escaping makes; anything else stays as it is.
std::u16string unescape(std::u16string_view text) {
    static const std::pair<std::u16string_view, char16_t> kRefs[] = {
        {u"&lt;", u'<'}, {u"&gt;", u'>'}, {u"&amp;", u'&'}, {u"&apos;", u'\''}, {u"&quot;", u'"'}};
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        bool matched = false;
        for (const auto& [ref, unit] : kRefs) {
            if (text.substr(i, ref.size()) == ref) {
                out += unit;
                i += ref.size();
                matched = true;
                break;
            }
        }
        if (!matched) out += text[i++];
    }
    return out;
}

// Invisible characters (default-ignorable code points), which ICU would drop without a word when a
// page lacks them. The host converter refuses them (2341, accepted below); the prefix check below
// still leaves texts holding them out, as it did before the converter checked them.
bool isDefaultIgnorable(char16_t c) {
    return c == 0x00AD || c == 0x034F || c == 0x061C || (c >= 0x115F && c <= 0x1160) || (c >= 0x17B4 && c <= 0x17B5) ||
           (c >= 0x180B && c <= 0x180F) || (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2060 && c <= 0x206F) || c == 0x3164 || (c >= 0xFE00 && c <= 0xFE0F) || c == 0xFEFF ||
           c == 0xFFA0 || (c >= 0xFFF0 && c <= 0xFFF8) || (c >= 0xD800 && c <= 0xDFFF);
}

bool isAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

bool guardIntact(const std::vector<unsigned char>& buffer, std::size_t from) {
    return std::all_of(buffer.begin() + static_cast<long>(from), buffer.end(),
                       [](unsigned char b) { return b == kGuard; });
}

} // namespace

std::string TextFuzzCase::run(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return std::string();
    const int ccsid = kCcsids[data[0] % kCcsidCount];
    const long room = data[1];
    data += 2;
    size -= 2;
    // The same bytes read as UTF-16 code units (native order), any unpaired surrogates included.
    std::u16string units(size / 2, u'\0');
    std::memcpy(&units[0], data, units.size() * 2);
    const KelStringBase text(units.data(), units.size());
    XmlUtils utils;

    // Escaping: no bare markup character is left, and the references undo to the text.
    KelStringBase escaped(u"keep:");
    XmlUtils::ReplaceSpecialChars(text, escaped);
    if (escaped.view().substr(0, 5) != u"keep:") return "escaping changed what the output held before";
    const std::u16string_view body = escaped.view().substr(5);
    for (char16_t c : body)
        if (c == u'<' || c == u'>' || c == u'"' || c == u'\'') return "escaping left a markup character bare";
    if (unescape(body) != units) return "escaping cannot be undone";

    // Case mapping: same length, only ASCII letters change.
    KelStringBase upper, lower;
    utils.MakeUpper(text, upper);
    utils.MakeLower(text, lower);
    if (upper.length() != text.length() || lower.length() != text.length()) return "case mapping changed the length";
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t c = units[i];
        if (!isAsciiLetter(c) && (upper.view()[i] != c || lower.view()[i] != c)) return "case mapping changed a non-letter";
    }

    // Byte swapping is its own inverse.
    KelStringBase swapped = text;
    utils.EndianInvert(swapped);
    utils.EndianInvert(swapped);
    if (swapped.view() != text.view()) return "swapping twice changed the text";

    const bool known = KelConverter::isSupported(ccsid);
    // Bytes in the page: read, written and read again give the same text.
    try {
        const KelConverter* converter = KelConverter::setCodepage(ccsid);
        KelStringBase read = converter->toUnicode(data, static_cast<long>(size));
        std::vector<unsigned char> bytes(converter->maxBytesFor(read.length()) + 4);
        const std::size_t n = converter->convertFromUnicode(read.data(), read.length(), bytes.data(), bytes.size());
        KelStringBase again = converter->toUnicode(bytes.data(), static_cast<long>(n));
        if (again.view() != read.view()) return "text did not survive a round trip through ccsid " + std::to_string(ccsid);
    } catch (const KelException& e) {
        const unsigned number = e.catalogueNumber();
        if (number != 2341 && !(number == 2340 && !known)) return std::string("reading bytes raised ") + e.what();
    }

    // Writing into a fixed buffer: never past it, never half a character, and what is written
    // is the start of the text.
    std::vector<unsigned char> buffer(static_cast<std::size_t>(room) + kGuardBytes, kGuard);
    try {
        utils.ConvertFromUnicode(text, reinterpret_cast<char*>(buffer.data()), room, ccsid);
        if (!guardIntact(buffer, static_cast<std::size_t>(room))) return "ConvertFromUnicode wrote past its buffer";
        if (units.find(u'\0') == std::u16string::npos && !KelConverter::isUtf16Ccsid(ccsid) &&
            std::none_of(units.begin(), units.end(), isDefaultIgnorable)) {
            const std::size_t written =
                std::find(buffer.begin(), buffer.begin() + room, 0) - buffer.begin();
            const KelStringBase back = KelConverter::setCodepage(ccsid)->toUnicode(buffer.data(), static_cast<long>(written));
            if (back.view() != text.view().substr(0, back.length()))
                return "ConvertFromUnicode wrote something other than the start of the text";
        }
    } catch (const KelException& e) {
        const unsigned number = e.catalogueNumber();
        if (number != 2341 && !(number == 2340 && !known)) return std::string("writing text raised ") + e.what();
        if (!guardIntact(buffer, static_cast<std::size_t>(room))) return "a failed ConvertFromUnicode wrote past its buffer";
    }

    // Error reports: always terminated inside the buffer, whatever the text.
    std::fill(buffer.begin(), buffer.end(), kGuard);
    if (room > 0) {
        utils.ConvertFromUnicodeToAscii(text, reinterpret_cast<char*>(buffer.data()), room);
        if (!guardIntact(buffer, static_cast<std::size_t>(room))) return "ConvertFromUnicodeToAscii wrote past its buffer";
        if (std::find(buffer.begin(), buffer.begin() + room, 0) == buffer.begin() + room)
            return "ConvertFromUnicodeToAscii left the text unterminated";
    }

    // The encoding name for arbitrary bytes in the page.
    KelStringBase name;
    utils.BuildEncodingString(name, ccsid, room & 1 ? 273 : 546, data, static_cast<long>(size));
    return std::string();
}
