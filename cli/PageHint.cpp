#include "cli/PageHint.hpp"

#include <algorithm>

namespace {

// Enough of a message to tell its page; a guess needs no more.
constexpr std::size_t kSample = 4096;

// Whether [from, to) holds a byte sequence that UTF-8 forbids.
bool invalidUtf8(const unsigned char* from, const unsigned char* to) {
    while (from < to) {
        const unsigned char c = *from++;
        int more = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        if (more < 0 || (more == 1 && c < 0xC2)) return true;
        for (; more > 0 && from < to; --more)
            if ((*from++ & 0xC0) != 0x80) return true;
    }
    return false;
}

} // namespace

std::string PageHint::forBytes(const unsigned char* data, std::size_t length, int ccsid) {
    // Only a message read as UTF-8 by default is guessed at: another page was chosen on purpose.
    if (ccsid != 1208 || data == nullptr || length < 2) return std::string();
    const std::size_t n = std::min(length, kSample);
    std::size_t zeroEven = 0, zeroOdd = 0, asciiLess = 0, ebcdicLess = 0, high = 0, c1 = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = data[i];
        if (c == 0) ++(i % 2 == 0 ? zeroEven : zeroOdd);
        if (c == '<') ++asciiLess;
        if (c == 0x4C) ++ebcdicLess;   // '<' in the EBCDIC pages
        if (c >= 0x80) ++high;
        if (c >= 0x80 && c <= 0x9F) ++c1;
    }
    // Markup in UTF-16 is mostly ASCII: every other byte is NUL.
    const std::size_t units = n / 2;
    if (units > 0 && zeroOdd * 3 >= units && zeroEven * 10 < units)
        return "the bytes look like UTF-16 little-endian without a byte-order mark: try --ccsid 1200 --byte-order le";
    if (units > 0 && zeroEven * 3 >= units && zeroOdd * 10 < units)
        return "the bytes look like UTF-16 big-endian without a byte-order mark: try --ccsid 1200 --byte-order be";
    // EBCDIC text has no ASCII '<' but its own, and letters above 0x80.
    if (asciiLess == 0 && ebcdicLess > 0 && high * 4 >= n)
        return "the bytes look like an EBCDIC page: try --ccsid 37 (US), 500 (international) or 1047 (Open Systems)";
    if (high > 0 && invalidUtf8(data, data + n))
        return c1 > 0 ? "the bytes are not UTF-8 and look like a Windows page: try --ccsid 1252 (Western European)"
                      : "the bytes are not UTF-8 and look like Latin-1: try --ccsid 819 (ISO-8859-1)";
    return std::string();
}
