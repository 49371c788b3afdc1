// KelConverter: ccsid lookup, the process-wide converter cache and the strict conversions.
// UTF-16 pages are handled here directly (copy or byte swap); every other page goes through ICU,
// with one ICU converter instance per thread and ccsid because ICU converters carry state.
#include "host/KelConverter.hpp"

#include "host/KelCodePageTable.hpp"
#include "host/KelException.hpp"
#include "host/KelLog.hpp"
#include "host/KelThrow.hpp"

#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace {

const char* kUtf16Name = "UTF-16BE";


// The canonical name and widest character of a page ICU knows; empty name when it does not.
std::string probeIcu(const char* name, int* maxBytesPerChar) {
    UErrorCode status = U_ZERO_ERROR;
    UConverter* converter = ucnv_open(name, &status);
    if (U_FAILURE(status) || converter == nullptr) return std::string();
    const char* canonical = ucnv_getName(converter, &status);
    std::string result = U_SUCCESS(status) && canonical != nullptr ? canonical : name;
    if (maxBytesPerChar != nullptr) *maxBytesPerChar = ucnv_getMaxCharSize(converter);
    ucnv_close(converter);
    return result;
}

std::string icuNameAndWidth(int ccsid, int* maxBytesPerChar) {
    if (KelConverter::isUtf16Ccsid(ccsid)) {
        if (maxBytesPerChar != nullptr) *maxBytesPerChar = 2;
        return kUtf16Name;
    }
    if (ccsid <= 0) return std::string();
    if (const KelCodePageTable::Entry* entry = KelCodePageTable::find(ccsid))
        return probeIcu(entry->icuName, maxBytesPerChar);
    const std::string ibmName = "ibm-" + std::to_string(ccsid);
    std::string name = probeIcu(ibmName.c_str(), maxBytesPerChar);
    // ICU also gives IBM numbers to UTF-16 and UTF-32 in each byte order (1201, 1202, 1204,
    // 1232, 1236, ...) and to SCSU (1212, 1213). UTF-16 is read and written here as 1200, in the
    // byte order of the mark or the encoding value; through ICU the scanner reads no declaration
    // in them, and ICU writes a byte-order mark in front of every stretch it converts. UTF-32 is
    // refused as it is when a message is found in it. SCSU carries its state across markup, so an
    // element copied from where it stood would be read in another state. None is a page here.
    const auto startsWith = [&name](const char* prefix) { return name.rfind(prefix, 0) == 0; };
    if (startsWith("UTF-16") || startsWith("UTF-32") || startsWith("UTF16") || startsWith("UTF32") || name == "SCSU")
        return std::string();
    return name;
}

// Process-wide cache. The map is never destroyed, so converters stay valid while other static
// objects are torn down.
std::mutex& registryMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}
std::unordered_map<int, std::unique_ptr<KelConverter>>& registry() {
    static auto* map = new std::unordered_map<int, std::unique_ptr<KelConverter>>;
    return *map;
}

// Per-thread lookups (no lock once a thread has seen a ccsid) and per-thread ICU instances.
thread_local std::unordered_map<int, const KelConverter*> tKnownConverters;

struct ThreadIcuConverters {
    std::unordered_map<int, UConverter*> iConverters;
    ~ThreadIcuConverters() {
        for (auto& entry : iConverters) ucnv_close(entry.second);
    }
};
thread_local ThreadIcuConverters tIcuConverters;

UConverter* threadIcuConverter(const KelConverter& converter) {
    auto& converters = tIcuConverters.iConverters;
    auto found = converters.find(converter.ccsid());
    if (found != converters.end()) {
        ucnv_reset(found->second);   // a failed conversion may have left state behind
        return found->second;
    }
    UConverter* icu = KelConverter::openStrict(converter.icuName().c_str());
    if (icu == nullptr) {
        kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelConverter::setCodepage",
                                          KelMsg::E_Kel_UnknownCcsid, converter.ccsid());
    }
    converters.emplace(converter.ccsid(), icu);
    return icu;
}

std::string byteText(const char* bytes, int length) {
    std::string text;
    char hex[8];
    for (int i = 0; i < length; ++i) {
        std::snprintf(hex, sizeof hex, i == 0 ? "0x%02X" : " 0x%02X", static_cast<unsigned char>(bytes[i]));
        text += hex;
    }
    return text;
}

std::string unitText(const char16_t* units, int length) {
    std::string text;
    char hex[16];
    std::uint32_t code = length > 0 ? units[0] : 0;
    if (length == 2 && code >= 0xD800 && code <= 0xDBFF) {
        code = 0x10000 + ((code - 0xD800) << 10) + (units[1] - 0xDC00u);
    }
    std::snprintf(hex, sizeof hex, "U+%04X", static_cast<unsigned>(code));
    text += hex;
    return text;
}

[[noreturn]] void failBytes(int ccsid, long position, const std::string& offending) {
    kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelConverter::toUnicode",
                                      KelMsg::E_Kel_ConversionFailed, ccsid, position, offending);
}

[[noreturn]] void failCharacter(const char* function, int ccsid, long position, const std::string& offending) {
    kelThrow<KelRecoverableException>(nullptr, KEL_HERE, function, KelMsg::E_Kel_ConversionFailed, ccsid,
                                      position, offending);
}

[[noreturn]] void failSize(const char* function, long length) {
    kelThrow<KelRecoverableException>(nullptr, KEL_HERE, function, KelMsg::E_Kel_BufferSize, length);
}

// After ICU stopped on an invalid or unmappable character: report it with its position.
[[noreturn]] void failFromUnicode(UConverter* icu, const char* function, int ccsid, const char16_t* begin,
                                  const char16_t* stoppedAt) {
    UChar invalid[8];
    int8_t invalidLength = sizeof invalid / sizeof invalid[0];
    UErrorCode status = U_ZERO_ERROR;
    ucnv_getInvalidUChars(icu, invalid, &invalidLength, &status);
    if (U_FAILURE(status)) invalidLength = 0;
    const long position = static_cast<long>(stoppedAt - begin) - invalidLength;
    failCharacter(function, ccsid, position, unitText(invalid, invalidLength));
}

// ICU's own stop callback lets a default-ignorable character (U+FEFF, U+200B, the soft hyphen,
// variation selectors, ...) that the page lacks go without a byte and without an error. A
// conversion must never lose a character silently, so every converter opened here stops at each
// character the page lacks, ignorable or not, whoever converts through it.
void stopAtEveryUnmappable(const void*, UConverterFromUnicodeArgs*, const UChar*, int32_t, UChar32,
                           UConverterCallbackReason, UErrorCode*) {}

inline bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
inline bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Where the first half of a surrogate pair stands without its other half; `length` for none.
std::size_t unpairedSurrogate(const char16_t* text, std::size_t length) noexcept {
    for (std::size_t i = 0; i < length; ++i) {
        const char16_t unit = text[i];
        if (unit < 0xD800 || unit > 0xDFFF) continue;
        if (!isHighSurrogate(unit) || i + 1 == length || !isLowSurrogate(text[i + 1])) return i;
        ++i;
    }
    return length;
}

void writeUtf16(const char16_t* text, std::size_t units, unsigned char* out, bool littleEndian) {
    if (littleEndian) {
        for (std::size_t i = 0; i < units; ++i) {
            out[2 * i] = static_cast<unsigned char>(text[i] & 0xFF);
            out[2 * i + 1] = static_cast<unsigned char>(text[i] >> 8);
        }
    } else {
        for (std::size_t i = 0; i < units; ++i) {
            out[2 * i] = static_cast<unsigned char>(text[i] >> 8);
            out[2 * i + 1] = static_cast<unsigned char>(text[i] & 0xFF);
        }
    }
}

// Characters a page refuses on the way out although its table has a byte for them (see
// KelConverter::rotatesControls and KelConverter::hasNewLine): a bit per reason.
constexpr unsigned kRefuseRotatedControls = 1;
constexpr unsigned kRefuseNewLine = 2;

bool isRefused(char16_t unit, unsigned refusals) noexcept {
    if ((refusals & kRefuseRotatedControls) != 0 && (unit == 0x1A || unit == 0x1C || unit == 0x7F)) return true;
    return (refusals & kRefuseNewLine) != 0 && unit == 0x85;
}

// Converts text[0, length) completely into out[0, capacity) with a freshly reset converter.
// Returns the bytes written, or -1 when they do not fit (then `consumed`, if given, is the number
// of units ICU took before it ran out of room). Raises on an unmappable character.
long icuFromUnicode(UConverter* icu, int ccsid, const char* function, const char16_t* text,
                    std::size_t length, unsigned char* out, std::size_t capacity, unsigned refusals,
                    std::size_t* consumed = nullptr) {
    if (refusals != 0) {
        for (std::size_t i = 0; i < length; ++i)
            if (isRefused(text[i], refusals)) failCharacter(function, ccsid, static_cast<long>(i), unitText(text + i, 1));
    }
    ucnv_reset(icu);
    char* target = reinterpret_cast<char*>(out);
    const UChar* source = text;
    UErrorCode status = U_ZERO_ERROR;
    ucnv_fromUnicode(icu, &target, reinterpret_cast<char*>(out) + capacity, &source, text + length, nullptr,
                     true, &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        if (consumed != nullptr) *consumed = static_cast<std::size_t>(source - text);
        return -1;
    }
    if (U_FAILURE(status)) failFromUnicode(icu, function, ccsid, text, source);
    return static_cast<long>(target - reinterpret_cast<char*>(out));
}

} // namespace

bool KelConverter::keepsState(UConverter* converter) noexcept {
    switch (ucnv_getType(converter)) {
    case UCNV_SBCS:
    case UCNV_DBCS:
    case UCNV_MBCS:
    case UCNV_LATIN_1:
    case UCNV_UTF8:
    case UCNV_UTF16_BigEndian:
    case UCNV_UTF16_LittleEndian:
    case UCNV_UTF32_BigEndian:
    case UCNV_UTF32_LittleEndian:
    case UCNV_US_ASCII:
    case UCNV_CESU8: return false;
    default: return true;
    }
}

KelConverter::KelConverter(int ccsid, std::string icuName, int maxBytesPerChar)
    : iCcsid(ccsid), iIcuName(std::move(icuName)), iUsualName(encodingNameFor(ccsid)), iMaxBytesPerChar(maxBytesPerChar > 0 ? maxBytesPerChar : 4),
      iNewLinePage(false) {
    if (isUtf16Ccsid(ccsid) || iIcuName.empty()) return;
    // EBCDIC: '<' at 0x4C, NL at 0x15 and LF at 0x25.
    UErrorCode status = U_ZERO_ERROR;
    UConverter* probe = ucnv_open(iIcuName.c_str(), &status);
    if (U_FAILURE(status) || probe == nullptr) return;
    const char bytes[3] = {0x4C, 0x15, 0x25};
    UChar units[8];
    const int32_t n = ucnv_toUChars(probe, units, 8, bytes, 3, &status);
    iNewLinePage = U_SUCCESS(status) && n == 3 && units[0] == u'<' && units[1] == 0x85 && units[2] == u'\n';
    const UChar del = 0x7F;
    char delBytes[8];
    status = U_ZERO_ERROR;
    const int32_t m = ucnv_fromUChars(probe, delBytes, sizeof delBytes, &del, 1, &status);
    iRotatesControls = U_SUCCESS(status) && m == 1 && delBytes[0] == 0x1C;
    iRefusals = (iRotatesControls ? kRefuseRotatedControls : 0) | (iNewLinePage ? kRefuseNewLine : 0);
    const UConverterType type = ucnv_getType(probe);
    iShiftCodes = type == UCNV_EBCDIC_STATEFUL;
    // The stateful EBCDIC pages shift only by codes beside their text.
    iShiftsAcrossMarkup = type != UCNV_EBCDIC_STATEFUL && keepsState(probe);
    ucnv_close(probe);
}

bool KelConverter::hasNewLine(int ccsid) noexcept {
    try {
        return !isUtf16Ccsid(ccsid) && ccsid != 1208 && setCodepage(ccsid, 0)->hasNewLine();
    } catch (...) {
        return false;
    }
}

std::string KelConverter::icuNameFor(int ccsid) { return icuNameAndWidth(ccsid, nullptr); }

std::string KelConverter::encodingNameFor(int ccsid) {
    if (isUtf16Ccsid(ccsid)) return "UTF-16";
    const KelCodePageTable::Entry* entry = KelCodePageTable::find(ccsid);
    if (entry != nullptr && entry->declarationName != nullptr) return entry->declarationName;
    if (ccsid >= 1250 && ccsid <= 1258) return "windows-" + std::to_string(ccsid);
    if (ccsid >= 1140 && ccsid <= 1149) return "IBM0" + std::to_string(ccsid);
    // The IBM pages by number, three digits at least (IBM037, IBM500, IBM1047, IBM930).
    std::string digits = std::to_string(ccsid);
    if (digits.size() < 3) digits.insert(0, 3 - digits.size(), '0');
    return "IBM" + digits;
}

bool KelConverter::isNamedBy(const std::string& name) const { return isNamedBy(name.data(), name.size()); }

bool KelConverter::isNamedBy(const char* name, std::size_t length) const {
    if (length == 0) return false;
    // The usual spelling needs no look-up (nor a string: a pass-through asks this per message).
    if (length == iUsualName.size() &&
        std::equal(name, name + length, iUsualName.begin(), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        }))
        return true;
    const std::string canonical = probeIcu(std::string(name, length).c_str(), nullptr);
    if (canonical.empty()) return false;
    if (isUtf16()) return canonical == "UTF-16" || canonical == "UTF-16BE" || canonical == "UTF-16LE";
    return canonical == iIcuName;
}

bool KelConverter::isSupported(int ccsid) noexcept {
    try {
        {
            std::lock_guard<std::mutex> lock(registryMutex());
            if (registry().count(ccsid) != 0) return true;
        }
        return !icuNameFor(ccsid).empty();
    } catch (...) {
        return false;
    }
}

const KelConverter* KelConverter::setCodepage(int ccsid, int /*flags*/) {
    auto known = tKnownConverters.find(ccsid);
    if (known != tKnownConverters.end()) return known->second;

    const KelConverter* converter = nullptr;
    {
        std::lock_guard<std::mutex> lock(registryMutex());
        auto& map = registry();
        auto found = map.find(ccsid);
        if (found != map.end()) {
            converter = found->second.get();
        } else {
            KelDebugTraceScope trace(nullptr, "KelConverter::setCodepage", ccsid);
            int maxBytesPerChar = 0;
            std::string name = icuNameAndWidth(ccsid, &maxBytesPerChar);
            if (name.empty()) {
                kelThrow<KelRecoverableException>(nullptr, KEL_HERE, "KelConverter::setCodepage",
                                                  KelMsg::E_Kel_UnknownCcsid, ccsid);
            }
            auto created = std::make_unique<KelConverter>(ccsid, std::move(name), maxBytesPerChar);
            converter = created.get();
            map.emplace(ccsid, std::move(created));
        }
    }
    tKnownConverters.emplace(ccsid, converter);
    return converter;
}

std::size_t KelConverter::maxBytesFor(std::size_t units) const noexcept {
    if (isUtf16()) return units * 2;
    // Room for shift sequences of stateful pages as well (ICU's own bound).
    return (units + 10) * static_cast<std::size_t>(iMaxBytesPerChar);
}

KelStringBase KelConverter::toUnicodeAsRead(const unsigned char* bytes, long length, int byteOrder) const {
    KelStringBase text = toUnicode(bytes, length, false, byteOrder);
    if (iNewLinePage && text.find(char16_t(0x85)) != KelStringBase::npos) {
        char16_t* units = text.mutableData();
        for (std::size_t i = 0; i < text.length(); ++i)
            if (units[i] == 0x85) units[i] = u'\n';
    }
    return text;
}

KelStringBase KelConverter::toUnicode(const unsigned char* bytes, long length, bool /*flag*/, int byteOrder) const {
    if (length < 0 || (bytes == nullptr && length != 0)) failSize("KelConverter::toUnicode", length);
    KelStringBase result;
    if (length == 0) return result;

    if (isUtf16()) {
        if (length % 2 != 0) {
            failBytes(iCcsid, length - 1, byteText(reinterpret_cast<const char*>(bytes) + length - 1, 1));
        }
        const std::size_t units = static_cast<std::size_t>(length) / 2;
        char16_t* out = result.resizeForOverwrite(units);
        const int high = byteOrder == -1 ? 1 : 0;   // which byte of a pair is the high one
        for (std::size_t i = 0; i < units; ++i) {
            out[i] = static_cast<char16_t>((bytes[2 * i + high] << 8) | bytes[2 * i + 1 - high]);
        }
        return result;
    }

    UConverter* icu = threadIcuConverter(*this);
    const char* sourceBegin = reinterpret_cast<const char*>(bytes);
    const char* source = sourceBegin;
    const char* const sourceLimit = sourceBegin + length;
    // One unit per byte covers almost every page; grow if a page produces more.
    std::size_t capacity = static_cast<std::size_t>(length) + 16;
    char16_t* base = result.resizeForOverwrite(capacity);
    char16_t* target = base;
    for (;;) {
        UErrorCode status = U_ZERO_ERROR;
        ucnv_toUnicode(icu, &target, base + capacity, &source, sourceLimit, nullptr, true, &status);
        if (status == U_BUFFER_OVERFLOW_ERROR) {
            const std::size_t done = static_cast<std::size_t>(target - base);
            result.resize(done);
            capacity = capacity * 2;
            base = result.resizeForOverwrite(capacity);
            target = base + done;
            continue;
        }
        if (U_FAILURE(status)) {
            char invalid[32];
            int8_t invalidLength = sizeof invalid;
            UErrorCode invalidStatus = U_ZERO_ERROR;
            ucnv_getInvalidChars(icu, invalid, &invalidLength, &invalidStatus);
            if (U_FAILURE(invalidStatus)) invalidLength = 0;
            failBytes(iCcsid, static_cast<long>(source - sourceBegin) - invalidLength,
                      byteText(invalid, invalidLength));
        }
        break;
    }
    result.resize(static_cast<std::size_t>(target - base));
    return result;
}

bool KelConverter::fromUnicode(unsigned char* out, long& inOutLength, const KelStringBase& text, bool /*flag*/,
                               int byteOrder) const {
    if (inOutLength < 0 || (out == nullptr && inOutLength != 0)) failSize("KelConverter::fromUnicode", inOutLength);
    const char16_t* units = text.data();
    const std::size_t length = text.length();
    const std::size_t room = static_cast<std::size_t>(inOutLength);

    if (isUtf16()) {
        std::size_t count = std::min(length, room / 2);
        // Never end on the first half of a surrogate pair.
        if (count < length && count > 0 && isHighSurrogate(units[count - 1]) && isLowSurrogate(units[count])) --count;
        writeUtf16(units, count, out, byteOrder == -1);
        inOutLength = static_cast<long>(count * 2);
        return count == length;
    }

    UConverter* icu = threadIcuConverter(*this);
    std::size_t count = 0;
    long written = icuFromUnicode(icu, iCcsid, "KelConverter::fromUnicode", units, length, out, room, iRefusals,
                                  &count);
    if (written >= 0) {
        inOutLength = written;
        return true;
    }
    // Too long. ICU took up to the character that overflowed, and may have written only part of
    // it (keeping the rest back). Convert ever shorter prefixes afresh until one fits, so that the
    // result ends on a whole character and, for stateful pages, back in the initial shift state.
    if (count > 0 && count < length && isHighSurrogate(units[count - 1]) && isLowSurrogate(units[count])) ++count;
    for (;;) {
        written = icuFromUnicode(icu, iCcsid, "KelConverter::fromUnicode", units, count, out, room, iRefusals);
        if (written >= 0) break;
        // Step back one character.
        if (count >= 2 && isLowSurrogate(units[count - 1]) && isHighSurrogate(units[count - 2])) count -= 2;
        else --count;
    }
    inOutLength = written;
    return count == length;
}

std::size_t KelConverter::convertFromUnicode(const char16_t* text, std::size_t length, unsigned char* out,
                                             std::size_t capacity, int byteOrder) const {
    if (length == 0) return 0;
    if (text == nullptr || out == nullptr) failSize("KelConverter::convertFromUnicode", static_cast<long>(length));
    if (isUtf16()) {
        if (capacity < length * 2) failSize("KelConverter::convertFromUnicode", static_cast<long>(capacity));
        // Half a pair is no character and no reader takes it: refused as ICU refuses it for every
        // other page, where the units would otherwise be copied as they are.
        const std::size_t unpaired = unpairedSurrogate(text, length);
        if (unpaired != length)
            failCharacter("KelConverter::convertFromUnicode", iCcsid, static_cast<long>(unpaired),
                          unitText(text + unpaired, 1));
        writeUtf16(text, length, out, byteOrder == -1);
        return length * 2;
    }
    UConverter* icu = threadIcuConverter(*this);
    const long written =
        icuFromUnicode(icu, iCcsid, "KelConverter::convertFromUnicode", text, length, out, capacity, iRefusals);
    if (written < 0) failSize("KelConverter::convertFromUnicode", static_cast<long>(capacity));
    return static_cast<std::size_t>(written);
}

UConverter* KelConverter::openStrict(const char* name) {
    UErrorCode status = U_ZERO_ERROR;
    UConverter* converter = ucnv_open(name, &status);
    if (U_FAILURE(status) || converter == nullptr) return nullptr;
    ucnv_setToUCallBack(converter, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    ucnv_setFromUCallBack(converter, stopAtEveryUnmappable, nullptr, nullptr, nullptr, &status);
    ucnv_setFallback(converter, false);
    if (U_FAILURE(status)) {
        ucnv_close(converter);
        return nullptr;
    }
    return converter;
}
