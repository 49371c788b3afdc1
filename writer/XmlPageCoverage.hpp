// XmlPageCoverage: which characters the output code page of a write can hold, remembered per page
// so that text is probed through the converter once per character rather than once per piece.
// Ownership: owned by the writer's output (XmlBufferedOutput); owns its coverage bits and a probe
// work area only; the converters it asks are the host's, shared and read-only.
// Thread rules: one write at a time, on the thread that owns the writer.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <vector>

class XmlPageCoverage {
public:
    // The page (and the byte order handed to its conversion) that the answers are for; what
    // was learnt of an earlier page is dropped as soon as a question comes for this one.
    void setPage(int ccsid, int byteOrder) noexcept {
        iCcsid = ccsid;
        iByteOrder = byteOrder;
    }

    // UTF-8 and UTF-16 hold every character.
    bool coversUnicode() const noexcept;
    // Makes asciiCovered valid for the page.
    void prepareAscii();
    bool asciiCovered(char16_t unit) const noexcept { return unit < 0x80 && iAscii[unit]; }
    // Whether the page holds all of `text`; encodesAlone for one character (a unit or a pair).
    bool canEncode(const char16_t* text, std::size_t length);
    bool encodesAlone(const char16_t* text, std::size_t length);
    // The C1 controls: a page other than UTF-8 and UTF-16 is not taken to hold them, whatever
    // its converter says. Readers of one page disagree on their bytes (0x8F in windows-1252 is
    // U+008F to ICU, no character to iconv and libxml2); a reference is read alike by all.
    static bool isC1Control(char16_t unit) noexcept { return unit >= 0x80 && unit <= 0x9F; }

private:
    // encodesAlone for one unit that is not a surrogate, probed once per unit and page.
    bool unitEncodes(char16_t unit);
    void prepareUnits();
    bool probeAlone(const char16_t* text, std::size_t length);

    int iCcsid = 0;
    int iByteOrder = 0;
    std::vector<unsigned char> iProbe;   // work area for the probe conversions
    // Which ASCII characters the page holds (valid for iAsciiCcsid).
    std::bitset<128> iAscii;
    int iAsciiCcsid = -1;
    // Per BMP unit: probed already / converts alone (valid for iUnitCcsid).
    std::vector<std::uint64_t> iUnitProbed;
    std::vector<std::uint64_t> iUnitEncodes;
    int iUnitCcsid = -1;
};
