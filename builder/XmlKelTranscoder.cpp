#include "builder/XmlKelTranscoder.hpp"

#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelSingleByteTable.hpp"

#include <xercesc/util/TranscodingException.hpp>
#include <xercesc/util/XMLExceptMsgs.hpp>

#include <unicode/ucnv.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

using namespace xercesc;

namespace {

// Decodes the well-formed UTF-8 at the start of `src` (the byte sequences of the Unicode
// standard, which is what the strict converter accepts), stopping before anything else: a
// sequence that is malformed or cut off, or one whose units would not fit. The converter then
// deals with what stopped it exactly as it always has.
std::size_t decodeWellFormedUtf8(const unsigned char* src, std::size_t count, XMLCh* out, std::size_t room,
                                 unsigned char* sizes, std::size_t& consumed) {
    std::size_t i = 0;
    std::size_t n = 0;
    while (i < count && n < room) {
        // Markup and most text are ASCII: many bytes at a time while none has its high bit set.
#if defined(__SSE2__)
        // Sixteen, widened to units by the processor in two steps.
        while (i + 16 <= count && n + 16 <= room) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
            if (_mm_movemask_epi8(bytes) != 0) break;
            const __m128i zero = _mm_setzero_si128();
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n), _mm_unpacklo_epi8(bytes, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n + 8), _mm_unpackhi_epi8(bytes, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(sizes + n), _mm_set1_epi8(1));
            i += 16;
            n += 16;
        }
#endif
        while (i + 8 <= count && n + 8 <= room) {
            std::uint64_t word;
            std::memcpy(&word, src + i, 8);
            if ((word & 0x8080808080808080ull) != 0) break;
            const unsigned char* from = src + i;
            XMLCh* to = out + n;
            for (int k = 0; k < 8; ++k) to[k] = static_cast<XMLCh>(from[k]);
            std::memset(sizes + n, 1, 8);
            i += 8;
            n += 8;
        }
        if (i >= count || n >= room) break;
        const unsigned b = src[i];
        if (b < 0x80) {
            out[n] = static_cast<XMLCh>(b);
            sizes[n++] = 1;
            ++i;
            continue;
        }
        if (b >= 0xC2 && b <= 0xDF) {
            if (i + 1 >= count || (src[i + 1] & 0xC0) != 0x80) break;
            out[n] = static_cast<XMLCh>(((b & 0x1F) << 6) | (src[i + 1] & 0x3F));
            sizes[n++] = 2;
            i += 2;
            continue;
        }
        if (b >= 0xE0 && b <= 0xEF) {
            if (i + 2 >= count) break;
            const unsigned b1 = src[i + 1];
            const unsigned low = b == 0xE0 ? 0xA0 : 0x80;
            const unsigned high = b == 0xED ? 0x9F : 0xBF;
            if (b1 < low || b1 > high || (src[i + 2] & 0xC0) != 0x80) break;
            out[n] = static_cast<XMLCh>(((b & 0x0F) << 12) | ((b1 & 0x3F) << 6) | (src[i + 2] & 0x3F));
            sizes[n++] = 3;
            i += 3;
            continue;
        }
        if (b >= 0xF0 && b <= 0xF4) {
            if (i + 3 >= count || n + 1 >= room) break;
            const unsigned b1 = src[i + 1];
            const unsigned low = b == 0xF0 ? 0x90 : 0x80;
            const unsigned high = b == 0xF4 ? 0x8F : 0xBF;
            if (b1 < low || b1 > high || (src[i + 2] & 0xC0) != 0x80 || (src[i + 3] & 0xC0) != 0x80) break;
            const unsigned c = (((b & 0x07) << 18) | ((b1 & 0x3F) << 12) | ((src[i + 2] & 0x3F) << 6) |
                                (src[i + 3] & 0x3F)) - 0x10000;
            out[n] = static_cast<XMLCh>(0xD800 + (c >> 10));
            sizes[n++] = 4;
            out[n] = static_cast<XMLCh>(0xDC00 + (c & 0x3FF));
            sizes[n++] = 0;
            i += 4;
            continue;
        }
        break;
    }
    consumed = i;
    return n;
}

// The same for UTF-16 in either byte order: every unit that is not a surrogate, and surrogate
// pairs whole (their first unit carries the four bytes, the second none, as the converter counts
// them). An unpaired surrogate, an odd byte or a pair cut off at the end is left to the converter.
template <bool BigEndian>
std::size_t decodeWellFormedUtf16(const unsigned char* src, std::size_t count, XMLCh* out, std::size_t room,
                                  unsigned char* sizes, std::size_t& consumed) {
    const auto unitAt = [src](std::size_t i) {
        return BigEndian ? static_cast<unsigned>((src[i] << 8) | src[i + 1])
                         : static_cast<unsigned>(src[i] | (src[i + 1] << 8));
    };
    std::size_t i = 0;
    std::size_t n = 0;
    while (i + 2 <= count && n < room) {
        // A run of units that are not surrogates, each two bytes.
        const std::size_t runStart = n;
        while (i + 2 <= count && n < room) {
            const unsigned u = unitAt(i);
            if (u - 0xD800u < 0x800u) break;
            out[n++] = static_cast<XMLCh>(u);
            i += 2;
        }
        std::memset(sizes + runStart, 2, n - runStart);
        if (i + 2 > count || n >= room) break;
        const unsigned high = unitAt(i);
        if (high > 0xDBFF || i + 4 > count || n + 1 >= room) break;
        const unsigned low = unitAt(i + 2);
        if (low < 0xDC00 || low > 0xDFFF) break;
        out[n] = static_cast<XMLCh>(high);
        sizes[n++] = 4;
        out[n] = static_cast<XMLCh>(low);
        sizes[n++] = 0;
        i += 4;
    }
    consumed = i;
    return n;
}

XmlKelTranscoder::Form formOf(const UConverter* converter) {
    switch (ucnv_getType(converter)) {
    case UCNV_UTF8: return XmlKelTranscoder::Form::Utf8;
    case UCNV_UTF16_LittleEndian: return XmlKelTranscoder::Form::Utf16Le;
    case UCNV_UTF16_BigEndian: return XmlKelTranscoder::Form::Utf16Be;
    default: return XmlKelTranscoder::Form::Other;
    }
}

UConverter* cloneConverter(const UConverter* converter) {
    UErrorCode status = U_ZERO_ERROR;
    UConverter* copy = ucnv_clone(converter, &status);
    return U_SUCCESS(status) ? copy : nullptr;
}

// EBCDIC pages: '<' at 0x4C, NL (U+0085) at 0x15 and LF at 0x25.
bool hasNewLine(const UConverter* converter) {
    UConverter* probe = cloneConverter(converter);
    if (probe == nullptr) return false;
    UErrorCode status = U_ZERO_ERROR;
    const char bytes[3] = {0x4C, 0x15, 0x25};
    UChar units[8];
    const int32_t n = ucnv_toUChars(probe, units, 8, bytes, 3, &status);
    ucnv_close(probe);
    return U_SUCCESS(status) && n == 3 && units[0] == u'<' && units[1] == 0x85 && units[2] == u'\n';
}

} // namespace

XmlKelTranscoder* XmlKelTranscoder::create(const XMLCh* encodingName, const char* icuName, XMLSize_t blockSize,
                                           MemoryManager* manager, int ccsid) {
    if (icuName == nullptr || *icuName == '\0') return nullptr;
    // The Unicode forms decode well-formed input themselves: their converter is opened only when
    // something else is asked of it, so that a message read without a fault opens none.
    const Form known = std::strcmp(icuName, "UTF-8") == 0      ? Form::Utf8
                       : std::strcmp(icuName, "UTF-16LE") == 0 ? Form::Utf16Le
                       : std::strcmp(icuName, "UTF-16BE") == 0 ? Form::Utf16Be
                                                               : Form::Other;
    if (known != Form::Other) return new XmlKelTranscoder(encodingName, icuName, known, blockSize, manager);
    // Strict both ways: a byte that is not valid in the code page is a fault in the document,
    // never something to paper over with a substitute character.
    UConverter* converter = KelConverter::openStrict(icuName);
    if (converter == nullptr) return nullptr;
    auto* transcoder = new XmlKelTranscoder(encodingName, converter, blockSize, manager);
    // The page's table is that of the same strict converter; it is used only when it is the
    // converter of this transcoder and the page has no state.
    const KelSingleByteTable* table = nullptr;
    if (ccsid > 0 && transcoder->iForm == Form::Other && !transcoder->iStateful) {
        try {
            if (KelConverter::setCodepage(ccsid, 0)->icuName() == icuName) table = KelSingleByteTable::forCcsid(ccsid);
        } catch (const KelException&) {
            table = nullptr;
        }
    }
    if (table != nullptr) {
        for (int b = 0; b < 256; ++b) {
            const int unit = table->unitFor(static_cast<unsigned char>(b));
            // NL ends a line in EBCDIC as LF does, as the converter's way below reads it.
            transcoder->iByteUnits[b] = transcoder->iNewLine && unit == 0x85 ? u'\n' : unit;
        }
        transcoder->iByteTable = true;
    }
    return transcoder;
}

XmlKelTranscoder::XmlKelTranscoder(const XMLCh* encodingName, UConverter* converter, XMLSize_t blockSize,
                                   MemoryManager* manager)
    : XMLTranscoder(encodingName, blockSize, manager), iConverter(converter), iSaved(nullptr),
      iStateful(KelConverter::keepsState(converter)), iShiftCodes(ucnv_getType(converter) == UCNV_EBCDIC_STATEFUL),
      iNewLine(formOf(converter) == Form::Other && hasNewLine(converter)), iForm(formOf(converter)) {}

XmlKelTranscoder::XmlKelTranscoder(const XMLCh* encodingName, const char* icuName, Form form, XMLSize_t blockSize,
                                   MemoryManager* manager)
    : XMLTranscoder(encodingName, blockSize, manager), iConverter(nullptr), iIcuName(icuName), iSaved(nullptr),
      iStateful(false), iShiftCodes(false), iNewLine(false), iForm(form) {}

XmlKelTranscoder::~XmlKelTranscoder() {
    if (iSaved) ucnv_close(iSaved);
    if (iConverter) ucnv_close(iConverter);
}

UConverter* XmlKelTranscoder::converter() {
    if (iConverter == nullptr) iConverter = KelConverter::openStrict(iIcuName.c_str());
    if (iConverter == nullptr)   // ICU cannot open a converter it opened before: out of memory
        ThrowXMLwithMemMgr(TranscodingException, XMLExcepts::Trans_CantCreateCvtrFor, getMemoryManager());
    return iConverter;
}

void XmlKelTranscoder::saveState() {
    if (!iStateful) return;
    if (iSaved) ucnv_close(iSaved);
    iSaved = cloneConverter(iConverter);
}

void XmlKelTranscoder::restoreState() {
    if (!iStateful || iSaved == nullptr) {
        if (iConverter) ucnv_resetToUnicode(iConverter);
        return;
    }
    if (UConverter* copy = cloneConverter(iSaved)) {
        ucnv_close(iConverter);
        iConverter = copy;
    } else {
        ucnv_resetToUnicode(iConverter);
    }
}

std::size_t XmlKelTranscoder::decodeDirect(const unsigned char* src, std::size_t count, XMLCh* out, std::size_t room,
                                           unsigned char* sizes, std::size_t& consumed) const {
    consumed = 0;
    switch (iForm) {
    case Form::Utf8: return decodeWellFormedUtf8(src, count, out, room, sizes, consumed);
    case Form::Utf16Be: return decodeWellFormedUtf16<true>(src, count, out, room, sizes, consumed);
    case Form::Utf16Le: return decodeWellFormedUtf16<false>(src, count, out, room, sizes, consumed);
    case Form::Other: break;
    }
    if (!iByteTable) return 0;
    // One byte, one unit, up to the first byte the table has no single unit for.
    const std::size_t limit = std::min(count, room);
    std::size_t i = 0;
    for (; i < limit; ++i) {
        const std::int32_t unit = iByteUnits[src[i]];
        if (unit < 0) break;
        out[i] = static_cast<XMLCh>(unit);
    }
    std::memset(sizes, 1, i);
    consumed = i;
    return i;
}

XMLSize_t XmlKelTranscoder::transcodeFrom(const XMLByte* const srcData, const XMLSize_t srcCount, XMLCh* const toFill,
                                          const XMLSize_t maxChars, XMLSize_t& bytesEaten,
                                          unsigned char* const charSizes) {
    bytesEaten = 0;
    if (srcCount == 0 || maxChars == 0) return 0;
    const std::size_t room = std::min<std::size_t>(maxChars, INT32_MAX / 2);
    // Documents are nearly always UTF-8, UTF-16 or a single-byte page: decoded here, without the
    // converter's offsets.
    std::size_t consumed = 0;
    const std::size_t produced = decodeDirect(srcData, srcCount, toFill, room, charSizes, consumed);
    if (produced > 0) {
        bytesEaten = consumed;
        return produced;
    }
    // A surrogate that is not half of a pair is no character, as an encoded surrogate is none in
    // UTF-8. The scanner checks pairs only in some places (not before a closing quote or '?>',
    // nor in a literal), so it is refused here, once, for every place and every entry point.
    if ((iForm == Form::Utf16Le || iForm == Form::Utf16Be) && srcCount >= 2) {
        const auto unitAt = [&](std::size_t i) {
            return iForm == Form::Utf16Be ? static_cast<unsigned>((srcData[i] << 8) | srcData[i + 1])
                                          : static_cast<unsigned>(srcData[i] | (srcData[i + 1] << 8));
        };
        const unsigned unit = unitAt(0);
        const bool lowFirst = unit >= 0xDC00 && unit <= 0xDFFF;
        const bool highAlone = unit >= 0xD800 && unit <= 0xDBFF && srcCount >= 4 &&
                               (unitAt(2) < 0xDC00 || unitAt(2) > 0xDFFF);
        if (lowFirst || highAlone)
            ThrowXMLwithMemMgr(TranscodingException, XMLExcepts::Trans_BadSrcSeq, getMemoryManager());
    }
    return transcodeByConverter(srcData, srcCount, toFill, room, bytesEaten, charSizes);
}

XMLSize_t XmlKelTranscoder::transcodeByConverter(const XMLByte* const srcData, const std::size_t srcCount,
                                                 XMLCh* const toFill, const std::size_t room, XMLSize_t& bytesEaten,
                                                 unsigned char* const charSizes) {
    if (iOffsets.size() < room) iOffsets.resize(room);
    converter();   // opened now if it was not yet
    // A character yields at most as many code units as it has bytes in every table code page,
    // so this much input fits; should a code page ever yield more, the input is halved below.
    std::size_t limit = std::min<std::size_t>(srcCount, room);
    saveState();
    for (;;) {
        const char* const begin = reinterpret_cast<const char*>(srcData);
        const char* source = begin;
        UChar* target = reinterpret_cast<UChar*>(toFill);
        UErrorCode status = U_ZERO_ERROR;
        ucnv_toUnicode(iConverter, &target, target + room, &source, begin + limit, iOffsets.data(), false, &status);
        const std::size_t produced = static_cast<std::size_t>(target - reinterpret_cast<UChar*>(toFill));
        const std::size_t consumed = static_cast<std::size_t>(source - begin);

        if (status == U_BUFFER_OVERFLOW_ERROR) {
            // Units that did not fit would wait inside the converter and lose their byte counts.
            restoreState();
            if (limit <= 1) ThrowXMLwithMemMgr(TranscodingException, XMLExcepts::Trans_BadSrcSeq, getMemoryManager());
            limit /= 2;
            continue;
        }
        if (U_FAILURE(status)) {
            // Invalid bytes: hand over the characters before them first, so that the error is
            // reported at the line and column where the bad bytes stand.
            char invalid[32];
            int8_t invalidLength = sizeof invalid;
            UErrorCode ignored = U_ZERO_ERROR;
            ucnv_getInvalidChars(iConverter, invalid, &invalidLength, &ignored);
            const std::size_t good =
                U_SUCCESS(ignored) && consumed >= static_cast<std::size_t>(invalidLength) ? consumed - invalidLength : 0;
            restoreState();
            if (good == 0 || produced == 0 || good >= limit)
                ThrowXMLwithMemMgr(TranscodingException, XMLExcepts::Trans_BadSrcSeq, getMemoryManager());
            limit = good;
            continue;
        }
        UErrorCode pendingStatus = U_ZERO_ERROR;
        const int32_t pending = ucnv_toUCountPending(iConverter, &pendingStatus);
        if (U_SUCCESS(pendingStatus) && pending > 0) {
            // A character cut off by the end of the bytes: leave its bytes for the next call,
            // which gets them again with the rest of the character.
            restoreState();
            const std::size_t whole = consumed >= static_cast<std::size_t>(pending) ? consumed - pending : 0;
            if (whole == 0) return 0;
            limit = whole;
            continue;
        }

        if (produced == 0) {
            // Only shift codes: they go with the character that follows them, so that no byte
            // goes uncounted. (At the very end of the input there is none, and none is needed.)
            restoreState();
            return 0;
        }

        // A shift-out at the very end opens text that has not come yet: it is left for the next
        // call, which reads it with that text, in the single-byte state it was found in.
        std::size_t eaten = consumed;
        if (iShiftCodes)
            while (eaten > 0 && srcData[eaten - 1] == kShiftOut) --eaten;
        if (eaten < consumed) ucnv_resetToUnicode(iConverter);

        sizesFromOffsets(srcData, produced, eaten, charSizes);
        if (iNewLine) {
            // NL ends a line in EBCDIC as LF does: read as a line end, never as a character.
            for (std::size_t k = 0; k < produced; ++k)
                if (toFill[k] == 0x85) toFill[k] = u'\n';
        }
        bytesEaten = eaten;
        return produced;
    }
}

void XmlKelTranscoder::sizesFromOffsets(const XMLByte* const srcData, const std::size_t produced,
                                        const std::size_t eaten, unsigned char* const charSizes) const {
    // Bytes per code unit. A character's bytes run from its offset to the next character's;
    // bytes that yield no unit go to the character before them, or to the first one, so
    // that the sizes add up to the bytes eaten. A shift-in thus goes with the text it
    // closes; a shift-out goes with the text it opens, so that every span (which ends and
    // starts at markup) lies in the single-byte state.
    const auto startOf = [&](std::size_t k) {
        std::size_t start = static_cast<std::size_t>(std::max<int32_t>(iOffsets[k], 0));
        if (iShiftCodes) {
            const std::size_t floor = static_cast<std::size_t>(std::max<int32_t>(iOffsets[k - 1], 0)) + 1;
            while (start > floor && srcData[start - 1] == kShiftOut) --start;
        }
        return start;
    };
    std::size_t i = 0;
    while (i < produced) {
        std::size_t j = i + 1;
        while (j < produced && iOffsets[j] == iOffsets[i]) ++j;
        const std::size_t start = i == 0 ? 0 : startOf(i);
        const std::size_t end = j < produced ? startOf(j) : eaten;
        const std::size_t size = end > start ? end - start : 0;
        charSizes[i] = static_cast<unsigned char>(std::min<std::size_t>(size, UCHAR_MAX));
        for (std::size_t k = i + 1; k < j; ++k) charSizes[k] = 0;
        i = j;
    }
}

XMLSize_t XmlKelTranscoder::transcodeTo(const XMLCh* const srcData, const XMLSize_t srcCount, XMLByte* const toFill,
                                        const XMLSize_t maxBytes, XMLSize_t& charsEaten, const UnRepOpts options) {
    charsEaten = 0;
    if (srcCount == 0 || maxBytes == 0) return 0;
    UErrorCode status = U_ZERO_ERROR;
    ucnv_setFromUCallBack(converter(),
                          options == UnRep_Throw ? UCNV_FROM_U_CALLBACK_STOP : UCNV_FROM_U_CALLBACK_SUBSTITUTE,
                          nullptr, nullptr, nullptr, &status);
    const UChar* source = reinterpret_cast<const UChar*>(srcData);
    char* target = reinterpret_cast<char*>(toFill);
    ucnv_fromUnicode(iConverter, &target, target + std::min<std::size_t>(maxBytes, INT32_MAX), &source,
                     source + std::min<std::size_t>(srcCount, INT32_MAX / 2), nullptr, false, &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) status = U_ZERO_ERROR; // the rest comes with the next call
    if (U_FAILURE(status))
        ThrowXMLwithMemMgr(TranscodingException, XMLExcepts::Trans_Unrepresentable, getMemoryManager());
    charsEaten = static_cast<XMLSize_t>(source - reinterpret_cast<const UChar*>(srcData));
    return static_cast<XMLSize_t>(target - reinterpret_cast<char*>(toFill));
}

bool XmlKelTranscoder::canTranscodeTo(const unsigned int toCheck) {
    if (toCheck > 0x10FFFF) return false;
    UChar units[2];
    int32_t count = 0;
    if (toCheck > 0xFFFF) {
        units[0] = static_cast<UChar>(0xD7C0 + (toCheck >> 10));
        units[1] = static_cast<UChar>(0xDC00 | (toCheck & 0x3FF));
        count = 2;
    } else {
        units[0] = static_cast<UChar>(toCheck);
        count = 1;
    }
    UConverter* probe = cloneConverter(converter());
    if (probe == nullptr) return false;
    UErrorCode status = U_ZERO_ERROR;
    ucnv_setFromUCallBack(probe, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    char out[16];
    ucnv_fromUChars(probe, out, sizeof out, units, count, &status);
    ucnv_close(probe);
    return U_SUCCESS(status) || status == U_STRING_NOT_TERMINATED_WARNING;
}

bool XmlKelTranscoder::decode(const unsigned char* bytes, std::size_t length, std::vector<char16_t>& chars,
                              std::vector<unsigned char>& sizes) {
    chars.clear();
    sizes.clear();
    ucnv_resetToUnicode(converter());
    if (iSaved) {
        ucnv_close(iSaved);
        iSaved = nullptr;
    }
    std::size_t done = 0;
    const std::size_t step = 4096;
    try {
        while (done < length) {
            const std::size_t base = chars.size();
            // Two units per byte is more than any page yields (transcodeFrom takes less input
            // when it would not fit); a short tag is not given a whole step of zeroed room.
            const std::size_t room = std::max<std::size_t>(16, 2 * std::min(length - done, step));
            chars.resize(base + room);
            sizes.resize(base + room);
            XMLSize_t eaten = 0;
            const XMLSize_t made = transcodeFrom(bytes + done, length - done, reinterpret_cast<XMLCh*>(chars.data() + base),
                                                 room, eaten, sizes.data() + base);
            chars.resize(base + made);
            sizes.resize(base + made);
            if (eaten == 0) return false; // a character cut off at the end
            done += eaten;
        }
    } catch (const XMLException&) {
        return false;
    }
    return true;
}
