#include "query/XmlPathFunctions.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

namespace {
bool isSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }

// The text as characters: a surrogate pair is one.
std::u32string characters(const KelStringBase& text) {
    std::u32string out;
    out.reserve(text.length());
    const char16_t* d = text.data();
    const std::size_t n = text.length();
    for (std::size_t i = 0; i < n; ++i) {
        char32_t c = d[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && d[i + 1] >= 0xDC00 && d[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (d[i + 1] - 0xDC00);
            ++i;
        }
        out += c;
    }
    return out;
}

void appendCharacter(KelStringBase& out, char32_t c) {
    if (c >= 0x10000) {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
        out += static_cast<char16_t>(c);
    }
}
} // namespace

double XmlPathFunctions::toNumber(const KelStringBase& text) {
    const std::string s = text.toUtf8();
    std::size_t b = 0, e = s.size();
    while (b < e && isSpace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && isSpace(static_cast<unsigned char>(s[e - 1]))) --e;
    std::size_t i = b;
    if (i < e && s[i] == '-') ++i;
    std::size_t digits = 0, dots = 0;
    for (std::size_t j = i; j < e; ++j) {
        if (s[j] >= '0' && s[j] <= '9') ++digits;
        else if (s[j] == '.' && ++dots == 1) continue;
        else return std::numeric_limits<double>::quiet_NaN();
    }
    if (digits == 0) return std::numeric_limits<double>::quiet_NaN();
    return std::strtod(s.substr(b, e - b).c_str(), nullptr);
}

KelStringBase XmlPathFunctions::numberText(double value) {
    if (std::isnan(value)) return KelStringBase::fromAscii("NaN");
    if (std::isinf(value)) return KelStringBase::fromAscii(value > 0 ? "Infinity" : "-Infinity");
    if (value == 0) return KelStringBase::fromAscii("0");   // negative zero too
    // The fewest significant digits that read back as the same number...
    char buffer[64];
    for (int precision = 1; precision <= 17; ++precision) {
        std::snprintf(buffer, sizeof buffer, "%.*e", precision - 1, value);
        if (std::strtod(buffer, nullptr) == value) break;
    }
    // ...written out without the exponent: "d.ddde±x".
    std::string text = buffer;
    const bool negative = text[0] == '-';
    if (negative) text.erase(0, 1);
    const std::size_t e = text.find('e');
    const int exponent = std::atoi(text.c_str() + e + 1);
    std::string digits;
    for (std::size_t i = 0; i < e; ++i)
        if (text[i] != '.') digits += text[i];
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
    std::string out;
    if (exponent < 0) {
        out = "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
    } else if (static_cast<std::size_t>(exponent) + 1 >= digits.size()) {
        out = digits + std::string(static_cast<std::size_t>(exponent) + 1 - digits.size(), '0');
    } else {
        out = digits.substr(0, static_cast<std::size_t>(exponent) + 1) + "." + digits.substr(static_cast<std::size_t>(exponent) + 1);
    }
    if (negative) out.insert(0, "-");
    return KelStringBase::fromAscii(out.c_str());
}

KelStringBase XmlPathFunctions::substring(const KelStringBase& text, double start, double length, bool hasLength) {
    // A character at position p is kept when round(start) <= p < round(start) + round(length);
    // NaN and infinities fall out of those comparisons as the language says.
    const double first = round(start);
    const double end = hasLength ? first + round(length) : std::numeric_limits<double>::infinity();
    KelStringBase out;
    const std::u32string chars = characters(text);
    for (std::size_t i = 0; i < chars.size(); ++i) {
        const double p = static_cast<double>(i + 1);
        if (p >= first && p < end) appendCharacter(out, chars[i]);
    }
    return out;
}

double XmlPathFunctions::length(const KelStringBase& text) { return static_cast<double>(characters(text).size()); }

KelStringBase XmlPathFunctions::normalizeSpace(const KelStringBase& text) {
    KelStringBase out;
    bool pending = false;
    for (std::size_t i = 0; i < text.length(); ++i) {
        const char16_t c = text[i];
        if (isSpace(c)) {
            pending = !out.empty();
            continue;
        }
        if (pending) out += u' ';
        pending = false;
        out += c;
    }
    return out;
}

KelStringBase XmlPathFunctions::translate(const KelStringBase& text, const KelStringBase& from, const KelStringBase& to) {
    const std::u32string f = characters(from), t = characters(to);
    KelStringBase out;
    for (char32_t c : characters(text)) {
        const std::size_t at = f.find(c);   // the first occurrence decides
        if (at == std::u32string::npos) appendCharacter(out, c);
        else if (at < t.size()) appendCharacter(out, t[at]);
    }
    return out;
}

KelStringBase XmlPathFunctions::before(const KelStringBase& text, const KelStringBase& part) {
    const std::size_t at = text.find(part);
    return at == KelStringBase::npos ? KelStringBase() : text.substr(0, at);
}

KelStringBase XmlPathFunctions::after(const KelStringBase& text, const KelStringBase& part) {
    const std::size_t at = text.find(part);
    return at == KelStringBase::npos ? KelStringBase() : text.substr(at + part.length());
}

double XmlPathFunctions::round(double value) {
    if (std::isnan(value) || std::isinf(value) || value == 0) return value;
    if (value < 0 && value >= -0.5) return -0.0;
    // Not floor(value + 0.5): that sum is itself rounded, up for 0.49999999999999994 and to even
    // for odd integers above 2^52. The fraction below is exact.
    const double down = std::floor(value);
    return value - down >= 0.5 ? down + 1 : down;
}
