// Reading UTF-8, one sequence at a time, strictly: no overlong forms, no surrogates, nothing above
// U+10FFFF. Shared by the host string and the writer so that both judge bytes alike. No state.
#pragma once

#include <cstdint>

// Reads the sequence at `in` (in < end). Returns its length and sets `code` when it is well
// formed; otherwise minus the length of its maximal ill-formed part (at least 1), which a reader
// that replaces bad bytes skips as one unit.
inline int kelReadUtf8(const unsigned char* in, const unsigned char* end, std::uint32_t& code) noexcept {
    const unsigned lead = in[0];
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    int more;
    unsigned low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        more = 1;
        code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        more = 2;
        code = lead & 0x0Fu;
        if (lead == 0xE0) low = 0xA0;        // no overlong forms
        else if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        more = 3;
        code = lead & 0x07u;
        if (lead == 0xF0) low = 0x90;
        else if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return -1;
    }
    for (int k = 1; k <= more; ++k) {
        if (in + k >= end || in[k] < low || in[k] > high) return -k;
        code = (code << 6) | (in[k] & 0x3Fu);
        low = 0x80;
        high = 0xBF;
    }
    return more + 1;
}

// Stores `code` as one or two UTF-16 code units at `out`; returns the position after them.
inline char16_t* kelPutUtf16(char16_t* out, std::uint32_t code) noexcept {
    if (code >= 0x10000) {
        code -= 0x10000;
        *out++ = static_cast<char16_t>(0xD800 + (code >> 10));
        *out++ = static_cast<char16_t>(0xDC00 + (code & 0x3FF));
    } else {
        *out++ = static_cast<char16_t>(code);
    }
    return out;
}
