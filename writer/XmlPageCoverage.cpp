// XmlPageCoverage: probing the output code page for the characters it holds.
#include "writer/XmlPageCoverage.hpp"

#include "host/KelConverter.hpp"
#include "host/KelException.hpp"
#include "host/KelThrow.hpp"

#include <algorithm>

namespace {

bool isHighSurrogate(char16_t u) noexcept { return u >= 0xD800 && u <= 0xDBFF; }
bool isLowSurrogate(char16_t u) noexcept { return u >= 0xDC00 && u <= 0xDFFF; }

// A converter that met a character its code page cannot hold (as opposed to, say, an unknown
// code page, which must still travel out).
bool isUnmappable(const KelException& e) noexcept {
    return e.catalogueNumber() == (KelMsg::E_Kel_ConversionFailed.number & ~KelException::kSeverityMask);
}

// Characters without a look of their own (byte-order mark, joiners, variation selectors, tags,
// ...): a conversion may drop them silently when the output page lacks them.
bool isDefaultIgnorable(const char16_t* units, std::size_t count) noexcept {
    if (count == 2) {
        const unsigned long c = 0x10000ul + ((units[0] - 0xD800ul) << 10) + (units[1] - 0xDC00ul);
        return (c >= 0x1BCA0 && c <= 0x1BCA3) || (c >= 0x1D173 && c <= 0x1D17A) || (c >= 0xE0000 && c <= 0xE0FFF);
    }
    const char16_t u = units[0];
    return u == 0x00AD || u == 0x034F || u == 0x061C || u == 0x115F || u == 0x1160 || u == 0x17B4 || u == 0x17B5 ||
           (u >= 0x180B && u <= 0x180F) || (u >= 0x200B && u <= 0x200F) || (u >= 0x202A && u <= 0x202E) ||
           (u >= 0x2060 && u <= 0x206F) || u == 0x3164 || (u >= 0xFE00 && u <= 0xFE0F) || u == 0xFEFF ||
           u == 0xFFA0 || (u >= 0xFFF0 && u <= 0xFFF8);
}

} // namespace

bool XmlPageCoverage::coversUnicode() const noexcept {
    return KelConverter::isUtf16Ccsid(iCcsid) || iCcsid == 1208;
}

void XmlPageCoverage::prepareAscii() {
    if (iAsciiCcsid == iCcsid) return;
    const KelConverter* converter = KelConverter::setCodepage(iCcsid, 0);
    iProbe.resize(std::max<std::size_t>(converter->maxBytesFor(2), 16));
    iAscii.reset();
    for (char16_t u = 0; u < 0x80; ++u) {
        try {
            converter->convertFromUnicode(&u, 1, iProbe.data(), iProbe.size(), iByteOrder);
            iAscii.set(u);
        } catch (const KelException& e) {
            if (!isUnmappable(e)) throw;
        }
    }
    iAsciiCcsid = iCcsid;
}

bool XmlPageCoverage::canEncode(const char16_t* text, std::size_t length) {
    if (coversUnicode()) return true;
    prepareAscii();
    bool ascii = true;
    for (std::size_t i = 0; i < length && ascii; ++i) ascii = asciiCovered(text[i]);
    if (ascii) return true;
    prepareUnits();
    // A text whose every unit converts alone converts as a whole (the mapping is per character),
    // so the remembered answers per unit spare the probe conversion of the whole text.
    bool eachAlone = true;
    for (std::size_t i = 0; i < length && eachAlone; ++i) {
        const char16_t u = text[i];
        if (isC1Control(u)) return false;
        if (iUnitEncodes[u / 64] & (std::uint64_t(1) << (u % 64))) continue;
        eachAlone = !isHighSurrogate(u) && !isLowSurrogate(u) && unitEncodes(u);
    }
    if (eachAlone) return true;
    const KelConverter* converter = KelConverter::setCodepage(iCcsid, 0);
    iProbe.resize(std::max<std::size_t>(converter->maxBytesFor(length), 16));
    try {
        converter->convertFromUnicode(text, length, iProbe.data(), iProbe.size(), iByteOrder);
    } catch (const KelException& e) {
        if (!isUnmappable(e)) throw;
        return false;
    }
    // The conversion passes over characters that are invisible by nature without a word, even
    // where the page cannot hold them: those are checked one by one.
    for (std::size_t i = 0; i < length;) {
        const bool pair = isHighSurrogate(text[i]) && i + 1 < length && isLowSurrogate(text[i + 1]);
        const std::size_t count = pair ? 2 : 1;
        if (isDefaultIgnorable(text + i, count) && !encodesAlone(text + i, count)) return false;
        i += count;
    }
    return true;
}

bool XmlPageCoverage::encodesAlone(const char16_t* text, std::size_t length) {
    if (coversUnicode()) return true;
    if (length == 1 && !isHighSurrogate(text[0]) && !isLowSurrogate(text[0])) return unitEncodes(text[0]);
    return probeAlone(text, length);
}

void XmlPageCoverage::prepareUnits() {
    if (iUnitCcsid == iCcsid) return;
    iUnitProbed.assign(0x10000 / 64, 0);
    iUnitEncodes.assign(0x10000 / 64, 0);
    iUnitCcsid = iCcsid;
}

bool XmlPageCoverage::unitEncodes(char16_t unit) {
    if (isC1Control(unit)) return false;
    prepareUnits();
    const std::size_t word = unit / 64;
    const std::uint64_t bit = std::uint64_t(1) << (unit % 64);
    if (!(iUnitProbed[word] & bit)) {
        if (probeAlone(&unit, 1)) iUnitEncodes[word] |= bit;
        iUnitProbed[word] |= bit;
    }
    return (iUnitEncodes[word] & bit) != 0;
}

bool XmlPageCoverage::probeAlone(const char16_t* text, std::size_t length) {
    const KelConverter* converter = KelConverter::setCodepage(iCcsid, 0);
    iProbe.resize(std::max<std::size_t>(converter->maxBytesFor(length), 16));
    try {
        return converter->convertFromUnicode(text, length, iProbe.data(), iProbe.size(), iByteOrder) > 0;
    } catch (const KelException& e) {
        if (!isUnmappable(e)) throw;
        return false;
    }
}
