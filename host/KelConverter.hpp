// KelConverter: converts between the bytes of a coded character set (ccsid) and UTF-16.
// Converters are looked up by ccsid in the code-page table (KelCodePageTable, summarised below),
// created once and cached for the life of the process; a converter object is immutable and safe
// to use from many threads at once (ICU state lives in per-thread converter instances).
//
// The pages:
//   1200, 13488, 17584  UTF-16; byte order as asked (1 big-endian, -1 little-endian)
//   1208                UTF-8
//   819                 ISO-8859-1        367   US-ASCII        923  ISO-8859-15
//   437, 850, 852, 858  IBM PC pages      1250-1258  Windows pages
//   37, 273, 277, 278, 280, 284, 285, 297, 500, 871, 1047, 1140-1149  EBCDIC pages
//   932, 943 (Shift-JIS), 1386 (GBK), 5050 (EUC-JP)
//   any other ccsid that ICU knows as "ibm-<ccsid>"
// An unknown ccsid raises KelRecoverableException 2340 naming it.
//
// Conversions are strict: bytes that are not valid in the code page, and characters that the
// code page cannot represent, raise KelRecoverableException 2341 instead of being replaced.
#pragma once

#include "host/KelStringBase.hpp"

#include <cstddef>
#include <string>

struct UConverter;

class KelConverter {
public:
    static bool isUtf16Ccsid(int ccsid) noexcept { return ccsid == 1200 || ccsid == 13488 || ccsid == 17584; }

    // The cached converter for `ccsid`; raises KelRecoverableException 2340 when unknown.
    static const KelConverter* setCodepage(int ccsid, int flags = 0);
    static const KelConverter* createConverter(int ccsid, int flags = 0) { return setCodepage(ccsid, flags); }
    static bool isSupported(int ccsid) noexcept;
    // The ICU converter name for `ccsid` ("" when unknown).
    static std::string icuNameFor(int ccsid);
    // A new strict ICU converter for `icuName` (stops at the first invalid byte or unmappable
    // character, never maps through a fallback), owned by the caller; null when ICU lacks it.
    static UConverter* openStrict(const char* icuName);
    // Whether `converter` keeps a shift state between characters (any type but the plain
    // single-, double- and multi-byte tables and the Unicode forms): taking back a conversion
    // needs a snapshot of that state, and a stretch of its bytes may not say the state it starts in.
    static bool keepsState(UConverter* converter) noexcept;

    // The name of `ccsid` for an XML declaration: one that the scanner library, ICU and libxml2
    // all read as this page ("UTF-8", "UTF-16", "ISO-8859-1", "IBM037", "Windows-31J", ...).
    static std::string encodingNameFor(int ccsid);
    // Whether the encoding name `name` (as a declaration gives it, in any spelling or alias)
    // names this page. For UTF-16 pages every UTF-16 name does, whatever byte order it names.
    bool isNamedBy(const std::string& name) const;
    bool isNamedBy(const char* name, std::size_t length) const;

    // EBCDIC pages, whose lines end in NL (0x15, U+0085) as often as in LF (0x25): the tree
    // builder reads NL as a line end there, and the writer keeps a document's choice. U+0085 is
    // refused on the way out, as a character the page lacks is: its byte would be read back as a
    // line end, by quarn and by the mainframe readers of the page alike.
    bool hasNewLine() const noexcept { return iNewLinePage; }
    // True for the IBM PC pages whose tables give DEL the byte 0x1C (and rotate 0x1A, 0x1C and
    // 0x7F among U+001A, U+001C and U+007F), where every other reader of the page's name takes
    // 0x1C for U+001C. Those three characters are refused on the way out, as any character the
    // page lacks is, so that no output says one thing to quarn and another to its readers.
    bool rotatesControls() const noexcept { return iRotatesControls; }
    // The stateful double-byte EBCDIC pages (930, 939, 1390, 1399, ...): shift-out 0x0E opens
    // double-byte text and shift-in 0x0F closes it, and markup stands only in the single-byte
    // state, so a byte of markup is found by following the shifts from a place in that state.
    bool shiftsByCodes() const noexcept { return iShiftCodes; }
    // Pages whose state changes by escape sequences or shifts that need not stand beside the text
    // they open (ISO-2022-JP, ISO-2022-KR, ...): a stretch of such a message does not say the
    // state its first character is read in, so no stretch of one can be copied or read alone.
    bool shiftsAcrossMarkup() const noexcept { return iShiftsAcrossMarkup; }
    static bool hasNewLine(int ccsid) noexcept;

    int ccsid() const noexcept { return iCcsid; }
    const std::string& icuName() const noexcept { return iIcuName; }
    bool isUtf16() const noexcept { return isUtf16Ccsid(iCcsid); }
    // Upper bound of bytes needed for `units` UTF-16 code units.
    std::size_t maxBytesFor(std::size_t units) const noexcept;

    // Bytes to UTF-16. For UTF-16 pages the bytes are big-endian unless byteOrder is -1
    // (a byte-order mark in the bytes is kept as the character U+FEFF).
    KelStringBase toUnicode(const unsigned char* bytes, long length, bool flag = false, int byteOrder = 0) const;
    // Bytes to UTF-16 as the tree builder reads them: toUnicode, with every NL of a page that has
    // one (hasNewLine) given as the line end LF it stands for there. What shows a stretch of a
    // message as text in another page goes this way, so that it says what the tree holds.
    KelStringBase toUnicodeAsRead(const unsigned char* bytes, long length, int byteOrder = 0) const;
    // UTF-16 to bytes, writing at most `inOutLength` bytes and never splitting a character;
    // sets `inOutLength` to the number written. Returns false when the text was cut short.
    bool fromUnicode(unsigned char* out, long& inOutLength, const KelStringBase& text, bool flag = false,
                     int byteOrder = 0) const;
    // UTF-16 to bytes into a buffer of `capacity` bytes, which must hold maxBytesFor(length);
    // returns the number of bytes written. byteOrder as for toUnicode.
    std::size_t convertFromUnicode(const char16_t* text, std::size_t length, unsigned char* out,
                                   std::size_t capacity, int byteOrder = 0) const;

    KelConverter(int ccsid, std::string icuName, int maxBytesPerChar);
    KelConverter(const KelConverter&) = delete;
    KelConverter& operator=(const KelConverter&) = delete;

private:
    int iCcsid;
    std::string iIcuName;
    std::string iUsualName;   // encodingNameFor(iCcsid), which nearly every declaration gives
    int iMaxBytesPerChar;
    bool iNewLinePage;
    bool iRotatesControls = false;
    bool iShiftCodes = false;
    bool iShiftsAcrossMarkup = false;
    unsigned iRefusals = 0;   // characters refused on the way out (icuFromUnicode's bits)
};
