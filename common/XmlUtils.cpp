#include "common/XmlUtils.hpp"

#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelLog.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

bool isHighSurrogate(char16_t unit) noexcept { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) noexcept { return unit >= 0xDC00 && unit <= 0xDFFF; }

// `text` with every character that `converter` cannot write replaced by '?', stopping once
// `limit` characters are gathered (the caller cuts there anyway). The strict converters throw on
// an unmappable character, so each character is tried on its own.
KelStringBase representableText(const KelConverter& converter, const KelStringBase& text, std::size_t limit) {
    KelStringBase safe;
    const char16_t* units = text.data();
    const std::size_t count = text.length();
    std::size_t characters = 0;
    for (std::size_t i = 0; i < count && characters < limit; ++characters) {
        const std::size_t width =
            (isHighSurrogate(units[i]) && i + 1 < count && isLowSurrogate(units[i + 1])) ? 2 : 1;
        bool representable = true;
        try {
            unsigned char probe[16];
            long probeLength = static_cast<long>(sizeof probe);
            converter.fromUnicode(probe, probeLength, KelStringBase(units + i, width), true, 0);
        } catch (const KelRecoverableException&) {
            representable = false;
        }
        if (representable) {
            safe.append(units + i, width);
        } else {
            safe.append(u'?');
        }
        i += width;
    }
    return safe;
}

// `in` with each code unit passed through `map`, built aside so that `in` may be `out`.
template <class Map>
KelStringBase mapUnits(const KelStringBase& in, Map map) {
    KelStringBase result;
    result.reserve(in.length());
    const char16_t* units = in.data();
    for (std::size_t i = 0; i < in.length(); ++i) {
        result.append(map(units[i]));
    }
    return result;
}

} // namespace

XmlUtils::XmlUtils() noexcept : KelOwnedLogSource(nullptr), XmlConstants() {}

XmlUtils::XmlUtils(const XmlUtils& other) noexcept : KelOwnedLogSource(other), XmlConstants(other) {}

XmlUtils& XmlUtils::operator=(const XmlUtils& other) noexcept {
    KelOwnedLogSource::operator=(other);
    XmlConstants::operator=(other);
    return *this;
}

XmlUtils::~XmlUtils() = default;

bool XmlUtils::IsUnicode(long ccsid) const noexcept {
    return ccsid == 1200 || ccsid == 13488 || ccsid == 17584;
}

KelStringBase& XmlUtils::ConvertToUnicode(const char* bytes, int length, KelStringBase& out, int ccsid) const {
    KelTraceScope trace(this, "XmlUtils::ConvertToUnicode", ccsid, length);
    const KelConverter* converter = KelConverter::setCodepage(ccsid, 0);
    if (bytes == nullptr || length <= 0) {
        out.clear();
        return out;
    }
    out = converter->toUnicode(reinterpret_cast<const unsigned char*>(bytes), length, false, 0);
    return out;
}

KelStringBase& XmlUtils::ConvertFromAsciiToUnicode(const char* text, KelStringBase& out) const {
    KelTraceScope trace(this, "XmlUtils::ConvertFromAsciiToUnicode");
    const KelConverter* converter = KelConverter::setCodepage(kAsciiCcsid, 0);
    const std::size_t length = text == nullptr ? 0 : std::strlen(text);
    if (length == 0) {
        out.clear();
        return out;
    }
    out = converter->toUnicode(reinterpret_cast<const unsigned char*>(text), static_cast<long>(length), false, 0);
    return out;
}

char* XmlUtils::ConvertFromUnicode(const KelStringBase& text, char* buffer, long size, int ccsid) const {
    KelTraceScope trace(this, "XmlUtils::ConvertFromUnicode", ccsid, size);
    if (buffer == nullptr || size <= 0) {
        return buffer;
    }
    std::memset(buffer, 0, static_cast<std::size_t>(size));
    const KelConverter* converter = KelConverter::setCodepage(ccsid, 0);
    long written = size; // the converter writes at most this many bytes
    converter->fromUnicode(reinterpret_cast<unsigned char*>(buffer), written, text, true, 0);
    // A cut text may leave the first bytes of the character that did not fit behind the counted
    // ones; clear them so the result ends on a whole character and stays terminated.
    if (written >= 0 && written < size) {
        std::memset(buffer + written, 0, static_cast<std::size_t>(size - written));
    }
    return buffer;
}

char* XmlUtils::ConvertFromUnicodeToAscii(const KelStringBase& text, char* buffer, long size) const {
    KelTraceScope trace(this, "XmlUtils::ConvertFromUnicodeToAscii", size);
    if (buffer == nullptr || size <= 0) {
        return buffer;
    }
    const KelConverter* converter = KelConverter::setCodepage(kAsciiCcsid, 0);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(buffer);
    const long room = size - 1; // the last byte is kept for the terminator
    long written = room;
    try {
        converter->fromUnicode(bytes, written, text, true, 0);
    } catch (const KelRecoverableException&) {
        // These texts end up in error reports: a character that 852 lacks must not turn the
        // report itself into a conversion failure, so it is written as '?'.
        written = room;
        converter->fromUnicode(bytes, written, representableText(*converter, text, static_cast<std::size_t>(room)),
                               true, 0);
    }
    buffer[std::min(std::max(written, 0L), room)] = '\0';
    return buffer;
}

void XmlUtils::MakeUpper(const KelStringBase& in, KelStringBase& out) const {
    out = mapUnits(in, [](char16_t unit) -> char16_t {
        return unit >= wcLowercaseA && unit <= wcLowercaseZ ? static_cast<char16_t>(unit - wcLowercaseA + wcUppercaseA)
                                                            : unit;
    });
}

void XmlUtils::MakeLower(const KelStringBase& in, KelStringBase& out) const {
    out = mapUnits(in, [](char16_t unit) -> char16_t {
        return unit >= wcUppercaseA && unit <= wcUppercaseZ ? static_cast<char16_t>(unit - wcUppercaseA + wcLowercaseA)
                                                            : unit;
    });
}

void XmlUtils::ReplaceSpecialChars(const KelStringBase& in, KelStringBase& out) {
    if (&in == &out) {
        const KelStringBase copy(in); // appending to `out` would move the units being read
        ReplaceSpecialChars(copy, out);
        return;
    }
    const char16_t* units = in.data();
    const std::size_t count = in.length();
    std::size_t stretchStart = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const KelStringBase* replacement = nullptr;
        switch (units[i]) {
        case u'"': replacement = &wcsAmpersandQuot; break;
        case u'&': replacement = &wcsAmpersandAmp; break;
        case u'\'': replacement = &wcsAmpersandApos; break;
        case u'<': replacement = &wcsAmpersandLt; break;
        case u'>': replacement = &wcsAmpersandGt; break;
        default: continue;
        }
        out.append(units + stretchStart, i - stretchStart);
        out.append(*replacement);
        stretchStart = i + 1;
    }
    out.append(units + stretchStart, count - stretchStart);
}

char XmlUtils::getEndian(long encoding) const {
    KelTraceScope trace(this, "XmlUtils::getEndian", encoding);
    return (encoding & 0x0F) == 2 ? 'L' : 'B';
}

char XmlUtils::getNativeEndian() const {
    KelTraceScope trace(this, "XmlUtils::getNativeEndian");
    return getEndian(kNativeEncoding);
}

char XmlUtils::getPackedDecimalByteOrder(long encoding) const {
    KelTraceScope trace(this, "XmlUtils::getPackedDecimalByteOrder", encoding);
    return ((encoding & 0xF0) >> 4) == 2 ? 'L' : 'B';
}

char XmlUtils::getNativePackedDecimalByteOrder() const {
    KelTraceScope trace(this, "XmlUtils::getNativePackedDecimalByteOrder");
    return getPackedDecimalByteOrder(kNativeEncoding);
}

char XmlUtils::getFloatFormat(long encoding) const {
    KelTraceScope trace(this, "XmlUtils::getFloatFormat", encoding);
    return ((encoding & 0xF00) >> 8) == 3 ? 'S' : 'I';
}

char XmlUtils::getNativeFloatFormat() const {
    KelTraceScope trace(this, "XmlUtils::getNativeFloatFormat");
    return getFloatFormat(kNativeEncoding);
}

unsigned short* XmlUtils::Kel_ltow(long value, unsigned short* out, int /*radix: always decimal*/) {
    if (out == nullptr) {
        return out;
    }
    char digits[100];
    const int count = std::snprintf(digits, sizeof digits, "%ld", value);
    for (int i = 0; i < count; ++i) {
        out[i] = static_cast<unsigned char>(digits[i]);
    }
    out[count < 0 ? 0 : count] = 0;
    return out;
}

unsigned int XmlUtils::Kel_wcslen(const unsigned short* text) {
    unsigned int length = 0;
    if (text != nullptr) {
        while (text[length] != 0) {
            ++length;
        }
    }
    return length;
}

void XmlUtils::BuildEncodingString(KelStringBase& out, long ccsid, long encoding, const unsigned char* data,
                                   long length) const {
    KelTraceScope trace(this, "XmlUtils::BuildEncodingString", ccsid, encoding, length);
    if (IsUnicode(ccsid)) {
        if (data != nullptr && length >= 2 &&
            ((data[0] == 0xFE && data[1] == 0xFF) || (data[0] == 0xFF && data[1] == 0xFE))) {
            return; // the scanner reads the byte-order mark itself
        }
        // The byte-order field decides, as it does for every other use of the encoding value;
        // the sign is only a fallback for values that do not name an order there.
        switch (encoding & 0x0F) {
        case 1: out = wcsUtf_16be; return;
        case 2: out = wcsUtf_16le; return;
        default: break;
        }
        out = encoding < 0 ? wcsUtf_16le : (encoding == 0 ? wcsUtf_16 : wcsUtf_16be);
        return;
    }
    char name[32];
    const int count = std::snprintf(name, sizeof name, "cpx-%ld", ccsid);
    KelStringBase result;
    for (int i = 0; i < count; ++i) {
        result.append(static_cast<char16_t>(static_cast<unsigned char>(name[i])));
    }
    out = result;
}

void XmlUtils::EndianInvert(KelStringBase& text) const {
    KelTraceScope trace(this, "XmlUtils::EndianInvert");
    if (text.empty()) {
        return;
    }
    char16_t* units = text.mutableData();
    for (std::size_t i = 0; i < text.length(); ++i) {
        const char16_t unit = units[i];
        EndianInvert(reinterpret_cast<const char*>(&unit), reinterpret_cast<char*>(units + i), 2);
    }
}

void XmlUtils::EndianInvert(const char* const source, char* target, long length) {
    if (source == nullptr || target == nullptr || length <= 0) {
        return;
    }
    const auto sourceAddress = reinterpret_cast<std::uintptr_t>(source);
    const auto targetAddress = reinterpret_cast<std::uintptr_t>(target);
    const auto span = static_cast<std::uintptr_t>(length);
    if (sourceAddress < targetAddress + span && targetAddress < sourceAddress + span) {
        const std::vector<char> copy(source, source + length);
        std::reverse_copy(copy.begin(), copy.end(), target);
        return;
    }
    for (long i = 0; i < length; ++i) {
        target[i] = source[length - 1 - i];
    }
}
