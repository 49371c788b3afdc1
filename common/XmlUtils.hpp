// XmlUtils: the small text and encoding services around the host's code-page converters:
// conversions between bytes and UTF-16, the encoding name the scanner is told for a bitstream,
// escaping of the five XML special characters, ASCII case mapping, UTF-16 byte swapping, and the
// fields of the host's encoding value. Traces under its owner's name (not owned); owns nothing.
// Thread rules: no shared state; an object is used by one thread at a time like its owner.
#pragma once

#include "common/XmlConstants.hpp"
#include "host/KelOwnedLogSource.hpp"
#include "host/KelStringBase.hpp"

class XmlUtils : public KelOwnedLogSource, public XmlConstants {
public:
    // Byte strings on the "Ascii" side of the conversions are in this code page.
    static constexpr int kAsciiCcsid = 852;
    // The encoding value of this machine: little-endian integers and packed decimals, IEEE floats.
    static constexpr long kNativeEncoding = 546;

    XmlUtils() noexcept;
    XmlUtils(const XmlUtils& other) noexcept;
    XmlUtils& operator=(const XmlUtils& other) noexcept;
    ~XmlUtils() override;

    // True for the UTF-16 code pages 1200, 13488 and 17584.
    bool IsUnicode(long ccsid) const noexcept;

    // `out` becomes the `length` bytes converted from `ccsid`; returns `out`. Converter failures
    // (unknown ccsid, bytes invalid in the code page) pass through as host exceptions.
    KelStringBase& ConvertToUnicode(const char* bytes, int length, KelStringBase& out, int ccsid) const;
    // `out` becomes the zero-terminated `text`, read as code page 852; returns `out`.
    KelStringBase& ConvertFromAsciiToUnicode(const char* text, KelStringBase& out) const;
    // Zero-fills the `size` bytes of `buffer`, then writes `text` in `ccsid` into them, never
    // more than `size` bytes and never half a character; returns `buffer`. The result is
    // zero-terminated only when it is shorter than `size`.
    char* ConvertFromUnicode(const KelStringBase& text, char* buffer, long size, int ccsid) const;
    // Writes `text` in code page 852 into `buffer` (`size` bytes, terminator included) and
    // zero-terminates it: a text that does not fit is cut, and characters that 852 cannot
    // represent become '?', because the result goes into error reports that must not fail
    // themselves. Returns `buffer`.
    char* ConvertFromUnicodeToAscii(const KelStringBase& text, char* buffer, long size) const;

    // `out` becomes `in` with only the ASCII letters mapped; `in` and `out` may be one string.
    void MakeUpper(const KelStringBase& in, KelStringBase& out) const;
    void MakeLower(const KelStringBase& in, KelStringBase& out) const;

    // Appends `in` to `out` with < > & ' and the quotation mark replaced by their entity
    // references; everything else, an existing entity reference included, is copied as it is.
    static void ReplaceSpecialChars(const KelStringBase& in, KelStringBase& out);

    // Fields of the host's encoding value: bits 0-3 integer and UTF-16 byte order, bits 4-7
    // packed-decimal byte order ('L' for 2, else 'B'), bits 8-11 float format ('S' for 3, else 'I').
    char getEndian(long encoding) const;
    char getNativeEndian() const;
    char getPackedDecimalByteOrder(long encoding) const;
    char getNativePackedDecimalByteOrder() const;
    char getFloatFormat(long encoding) const;
    char getNativeFloatFormat() const;

    // Decimal text of `value` (radix is ignored), '-' first when negative, zero-terminated.
    // `out` needs room for 21 code units plus the terminator (LONG_MIN on a 64-bit long).
    static unsigned short* Kel_ltow(long value, unsigned short* out, int radix);
    // Code units before the terminating zero (0 for a null text).
    static unsigned int Kel_wcslen(const unsigned short* text);

    // Sets `out` to the encoding name the scanner is to be told for `length` bytes of `data` in
    // `ccsid` with the host encoding value `encoding`: nothing (out untouched) for UTF-16 data
    // that starts with a byte-order mark, since the scanner reads the mark itself; "utf-16be" or
    // "utf-16le" for other UTF-16 data as the byte-order field of the encoding says, else by its
    // sign (negative "utf-16le", 0 "utf-16", positive "utf-16be"); "cpx-<ccsid>" for other pages.
    void BuildEncodingString(KelStringBase& out, long ccsid, long encoding, const unsigned char* data,
                             long length) const;

    // Swaps the two bytes of every code unit of `text`.
    void EndianInvert(KelStringBase& text) const;
    // Byte i of `target` becomes byte length-1-i of `source`. Overlapping ranges are allowed.
    static void EndianInvert(const char* const source, char* target, long length);
};
