// KelSingleByteTable: the byte of each BMP character in one single-byte code page, taken from the
// strict converter and kept only where the character converts to that byte and back, so that the
// table never takes a character the converter would refuse; and the other way, the character the
// converter reads for each byte on its own. Characters and bytes without an entry are left to the
// converter by the caller.
// Ownership and threads: built once per code page and process under a lock, never destroyed, and
// read-only afterwards, so a table may be used from any number of threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class KelSingleByteTable {
public:
    // The table of `ccsid`, or null when the page is not one of one byte per character without
    // state, or is not known: such pages are left to the converter, which reports what it must.
    static const KelSingleByteTable* forCcsid(int ccsid);

    int ccsid() const noexcept { return iCcsid; }
    // The byte of `unit`, or -1 when the table has none for it (surrogates never have one).
    int byteFor(char16_t unit) const noexcept { return iBlocks[unit >> 8][unit & 0xFF]; }
    // The one UTF-16 unit the strict converter reads for `byte`, or -1 when it reads none (a byte
    // the page rejects) or more than one unit.
    int unitFor(unsigned char byte) const noexcept { return iUnits[byte]; }
    // Number of characters with an entry.
    std::size_t size() const noexcept { return iSize; }

    // Whether every unit of text[0, length) has an entry.
    bool holds(const char16_t* text, std::size_t length) const noexcept;
    // One byte per unit into out[0, length). True when every unit has an entry; otherwise false,
    // and `out` holds an unspecified part of the result.
    bool fromUtf16(const char16_t* text, std::size_t length, unsigned char* out) const noexcept;
    // Well-formed UTF-8 in in[0, length) to one byte per character into `out`, which must have
    // room for `length` bytes. Returns the bytes written, or -1 at the first ill-formed or cut-off
    // sequence or character without an entry (`out` then holds an unspecified part).
    long fromUtf8(const unsigned char* in, std::size_t length, unsigned char* out) const noexcept;

    explicit KelSingleByteTable(int ccsid);   // empty; filled by forCcsid
    KelSingleByteTable(const KelSingleByteTable&) = delete;
    KelSingleByteTable& operator=(const KelSingleByteTable&) = delete;

private:
    using Block = std::int16_t[256];
    // Fills the table from the converter; false when the page is not single-byte or not known.
    bool build();
    void set(char16_t unit, int byte);
    void clear(char16_t unit);

    int iCcsid;
    std::size_t iSize = 0;
    // Entry of unit u: iBlocks[u >> 8][u & 0xFF]. Every block without entries points at the one
    // shared empty block, so a page of 256 bytes needs only a handful of blocks of its own.
    const std::int16_t* iBlocks[256];
    std::vector<std::unique_ptr<std::int16_t[]>> iOwnBlocks;   // the blocks with entries
    // Reading: the unit of each byte, -1 for none.
    std::int32_t iUnits[256];
    // The bytes of ASCII, when every ASCII character has one.
    bool iAsciiComplete = false;
    unsigned char iAscii[128] = {};
};
